#!/usr/bin/env bash
# The bootstrap's package steps against a stand-in apt-get that behaves like a mirror caught
# mid-sync: update fails on one suite's index, the first install cannot resolve, and only an
# install with that suite pinned down goes through. No network is used.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
steps="$here/../../scripts/apt-steps.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$work/bin" "$work/lists"
touch "$work/lists/mirror_dists_bookworm_main_binary-amd64_Packages"
cat >"$work/bin/apt-get" <<'STAND_IN'
#!/usr/bin/env bash
# Records each call; MODE=midsync heals once the failed suite is pinned, MODE=broken never does.
echo "$*" >>"$APT_LOG"
pin=""
for a in "$@"; do case $a in Dir::Etc::Preferences=*) pin=${a#*=} ;; esac; done
case " $* " in
  *" update "*)
    echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  *" install "*)
    if [ "$MODE" = midsync ] && [ -n "$pin" ] && grep -q 'Pin: release n=bookworm-security' "$pin" \
       && grep -q 'Pin-Priority: 100' "$pin"; then
      cp "$pin" "$APT_LOG.pin"; exit 0
    fi
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100 ;;
  *" source "*)
    n=$(grep -cw source "$APT_LOG")
    [ "$MODE" = midsync ] && [ "$n" -ge 2 ] && exit 0
    exit 100 ;;
esac
exit 0
STAND_IN
chmod +x "$work/bin/apt-get"

run() {  # MODE, then a command line run inside a shell that sourced the steps
  local mode=$1; shift
  rm -f "$work/log" "$work/log.pin"
  env PATH="$work/bin:$PATH" APT_LOG="$work/log" MODE="$mode" MINISTUB_APT_TRIES=3 MINISTUB_APT_PAUSE=0 \
    MINISTUB_APT_LISTS="$work/lists" bash -c ". '$steps'; $*" 2>"$work/err"
}

# Mid-sync: update tried three times then accepted with a warning; the install retried once, with
# the failed suite pinned for that call only; the source download retried.
run midsync 'apt_update_with_retry && apt_install_with_pin wine32:i386 zlib1g && apt_retry apt-get source 7zip' \
  || { cat "$work/err" >&2; fail "mid-sync mirror: steps did not succeed"; }
[ "$(grep -cw update "$work/log")" = 3 ] || fail "update was not retried three times"
grep -q 'warning' "$work/err" || fail "no warning for the partial update"
installs=$(grep 'install' "$work/log")
[ "$(echo "$installs" | wc -l)" = 2 ] || fail "install was not tried exactly twice"
[[ "${installs%%$'\n'*}" == *Preferences* ]] && fail "the first install already had a pin"
[[ "${installs##*$'\n'}" == *Dir::Etc::Preferences=* ]] || fail "the second install had no pin"
grep -q 'Pin: release a=bookworm-security' "$work/log.pin" || fail "suite not pinned as an archive name"
[ "$(grep -cw source "$work/log")" = 2 ] || fail "the source download was not retried"

# A mirror that never heals: one clear message naming the packages, and a non-zero status.
if run broken 'apt_update_with_retry && apt_install_with_pin wine32:i386 zlib1g'; then
  fail "a broken mirror was reported as success"
fi
grep -q 'could not install: wine32:i386 zlib1g' "$work/err" || fail "no message naming the packages"
grep -q 'try again' "$work/err" || fail "no advice in the failure message"
if run broken 'apt_retry apt-get source 7zip'; then fail "a failing source download succeeded"; fi

# No package lists at all: a failed update is the end.
rm -f "$work/lists/"*
if run midsync 'apt_update_with_retry'; then fail "update without any lists was accepted"; fi
echo "apt steps: ok"
