#!/usr/bin/env bash
# Folder deletion across a restart, and links inside a deleted tree, under Wine:
#  - a folder with a held file, restart deletion allowed: the file and its folders are scheduled
#    (PendingFileRenameOperations), the result is 0x80070BC2, and a simulated restart
#    (wineboot -r) removes them;
#  - a folder link and a file link inside a tree, and a folder link given as the tree: what they
#    point at stays, also through the restart.
# Wine 8 cannot remove a folder link by any Win32 call and shows a Unix link to a file as a plain
# file that it follows on open (deleting through it deletes what it points at): the links
# themselves are not expected to go.
# wineboot -r carries out every pending rename of the prefix: the test runs alone (RUN_SERIAL).
#   restart_delete.sh WINE_RUNNER PREFIX DELETETREE_EXE WORK_DIR
set -euo pipefail
runner=$1 prefix=$2 deletetree=$3 work_root=$4

mkdir -p "$work_root"
work=$(mktemp -d "$work_root/restart.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
win() { echo "Z:${1//\//\\}"; }
wrun() { "$runner" --prefix "$prefix" "$@" | tr -d '\r'; }
# The deletions pending for the restart, one path a line (reg prints the strings joined by \0).
pending() {
  { wrun reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations || true; } |
    sed -n 's/.*REG_MULTI_SZ *//p' | sed 's/\\0/\n/g' | sed -n 's/^\\??\\//p'
}

mkdir -p held/a held/b outside linked/inner
echo keep > outside/keep.txt
echo locked > held/a/locked.txt
echo x > held/a/other.txt
echo y > held/b/y.txt
echo f > linked/inner/f.txt
ln -s "$work/outside" linked/inner/link
ln -s "$work/outside/keep.txt" linked/inner/filelink
ln -s "$work/outside" toplink

echo "== a held file with restart deletion allowed"
out=$(wrun "$deletetree" "$(win "$work/held")" 1 0 "$(win "$work/held/a/locked.txt")")
[ "$out" = "hr=0x80070BC2" ] || fail "held tree: $out"
[ -f held/a/locked.txt ] || fail "the held file is gone already"
[ ! -e held/a/other.txt ] && [ ! -e held/b ] || fail "deletable entries stayed: $(find held)"
list=$(pending)
for p in held/a/locked.txt held/a held; do
  grep -qxF "$(win "$work/$p")" <<<"$list" || fail "$p is not pending: $list"
done

echo "== links inside the tree, and a link as the tree"
out=$(wrun "$deletetree" "$(win "$work/linked")" 0 0)
[ "$out" = "hr=0x00000000" ] || fail "linked tree: $out"
[ ! -e linked/inner/f.txt ] || fail "the tree's own file stayed"
out=$(wrun "$deletetree" "$(win "$work/toplink")" 1 0)
[ "$out" = "hr=0x80070BC2" ] || fail "link as the tree: $out"
[ "$(cat outside/keep.txt)" = keep ] || fail "deleting through a link reached its target"

echo "== restart"
wrun wineboot -r >/dev/null
[ ! -e held ] || fail "the restart left: $(find held)"
[ "$(cat outside/keep.txt)" = keep ] || fail "the restart deleted through a link"
list=$(pending)
! grep -qF "$(win "$work")" <<<"$list" || fail "still pending after the restart: $list"
echo "ok"
