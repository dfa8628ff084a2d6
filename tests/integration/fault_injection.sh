#!/usr/bin/env bash
# Faults while the install cache is written, and the run after the fault is gone:
#   fault_injection.sh CASE WINE_RUNNER PREFIX BUILDER_EXE STUB_EXE RUNEXIT_EXE HOLDFILE_EXE
#                      ARCHIVES_DIR ENGINE_ARCHIVES_DIR WORK_DIR
# CASE: disk-full (the cache on a small tmpfs that fills during extraction), killed (the stub
# killed during extraction), held (a cache file held open without sharing by another process),
# read-only (a read-only cache file), marker (the extraction marker cut short or garbage while a
# cache file is missing). A clean run first records the cache; the fault run must fail with a
# failure code (never an exception code, never success over an incomplete cache), and the next
# run without the fault must succeed and leave a byte-identical cache.
set -euo pipefail
case=$1 runner=$2 prefix=$3 builder=$4 stub=$5 runexit=$6 holdfile=$7 archives=$8 engine_archives=$9
work_root=${10}

mkdir -p "$work_root"
work=$(mktemp -d "$work_root/fault.XXXXXX")
silo="{$(python3 -c 'import uuid; print(str(uuid.uuid4()).upper())')}"
product="F${silo:1:8}"
mounted=""
holder=""
cleanup() {
  [ -n "$holder" ] && kill "$holder" 2>/dev/null || true
  pkill -f "HoldFile.exe.*$product" 2>/dev/null || true
  [ -n "$mounted" ] && umount "$mounted" 2>/dev/null || true
  find "$prefix/drive_c" -maxdepth 3 -type d -name VelmorInstaller 2>/dev/null | while read -r root; do
    chmod -R u+w "${root:?}/$silo" 2>/dev/null || true
    rm -rf "${root:?}/$silo"
  done
  rm -rf "$work"
  return 0
}
trap cleanup EXIT
cd "$work"

fail() { echo "FAIL ($case): $*" >&2; exit 1; }
win() { local p; p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); echo "Z:${p//\//\\}"; }
wrun() { "$runner" --prefix "$prefix" "$@"; }
run() { wrun "$runexit" "$(win setup.exe)" /qn /NOREBOOT 2>/dev/null | tr -d '\r' | sed -n 's/^exitcode=//p'; }
# Every file of the cache with its hash (the run's own notes about itself left out).
snapshot() { (cd "$cache" && find . -type f ! -name complete.dat ! -name engine.calls -print0 | sort -z | xargs -0 sha256sum); }
is_exception() { case "$1" in 0xC*|0x4000001*|0x80000003) return 0 ;; *) return 1 ;; esac; }
# The newest run log of this product (other tests' runs share the log folder). Pipes are never
# cut short here: under pipefail a writer that a closing reader kills would fail the check.
log_text() {
  local folder text folders
  mapfile -t folders < <(ls -td "$logs"/*/ 2>/dev/null)
  for folder in "${folders[@]:0:30}"; do
    text=$(iconv -f UTF-16 -t UTF-8 "$folder"*.log 2>/dev/null | tr -d '\r')
    if grep -q "$silo" <<<"$text"; then printf '%s\n' "$text"; return; fi
  done
}
# Whether the newest run log has a line matching the extended pattern; its lines of interest
# otherwise, for the failure message.
log_has() { local text; text=$(log_text); grep -Eq -- "$1" <<<"$text"; }
log_lines() { local text; text=$(log_text); grep -E -- "$1" <<<"$text" | sed -n 1,8p; }

# The UI package carries 48 MB beside its files, so that extraction takes a while and needs room.
mkdir -p ui
(cd ui && 7zz x -y "$archives/ui.7z" >/dev/null)
head -c 48000000 /dev/urandom > ui/big.bin
(cd ui && 7zz a -t7z -m0=Copy ../ui-big.7z . >/dev/null)
wrun "$builder" pack --stub "$(win "$stub")" --ui-package "$(win ui-big.7z)=QDX-TRRootuiPackage.7z" \
  --layout "$(win "$archives/layout.7z")=QDX-TRRoot.7z" \
  --install-package "$(win "$engine_archives/install.7z")=QDX-TRRootInstallPackage.7z" \
  --out "$(win setup.exe)" >/dev/null
printf '0 = wstring:%s\n9 = wstring:%s\n18 = wstring:Software\\\\Korvanta\\\\Isolation\n1 = dword:1\n2 = dword:0\n3 = dword:0\n4 = dword:9\n' \
  "$product" "$silo" > settings.txt
wrun "$builder" settings "$(win setup.exe)" --from "$(win settings.txt)" >/dev/null

echo "== a clean run records the cache"
[ "$(run)" = "0x00000000" ] || fail "clean run"
cache=$(find "$prefix/drive_c" -type d -path "*/VelmorInstaller/$silo/$product/1.0.0.9" -print -quit)
[ -n "$cache" ] && [ -f "$cache/extract.dat" ] || fail "no cache"
logs=$(cd "$cache/../../.." && pwd)
[ -d "$logs/Logs" ] && logs=$logs/Logs || logs=$(find "$prefix/drive_c" -type d -path "*/VelmorInstaller/Logs" -print -quit)
snapshot > reference.txt
silo_dir=$(cd "$cache/../.." && pwd)

expect_failure() {
  local code=$1 what=$2
  [ -n "$code" ] || fail "$what: no exit code"
  [ "$code" != "0x00000000" ] || fail "$what: reported success"
  is_exception "$code" && fail "$what: ended with exception code $code"
  echo "   fault run: $code"
}

case $case in
disk-full)
  rm -rf "$silo_dir"
  mkdir -p "$silo_dir"
  mount -t tmpfs -o size=8m tmpfs "$silo_dir" 2>/dev/null || { echo "SKIP: cannot mount a tmpfs here"; exit 77; }
  mounted=$silo_dir
  code=$(run)
  expect_failure "$code" "disk full"
  log_has "\(112\)|0x80070070" || fail "no line names the full disk: $(log_lines 'Error|Warning')"
  [ ! -f "$cache/extract.dat" ] || fail "a marker on the full disk"
  umount "$silo_dir"
  mounted=""
  ;;
killed)
  rm -rf "$silo_dir"
  wrun "$runexit" "$(win setup.exe)" /qn /NOREBOOT > killed.txt 2>/dev/null &
  launcher=$!
  killed=0
  # Killed once the big file is there: its bytes (and the marker) are still to come.
  for _ in $(seq 1 3000); do
    if [ -e "$cache/big.bin" ]; then
      pkill -9 -f "setup.exe /qn /NOREBOOT" && killed=1
      break
    fi
    sleep 0.01
  done
  wait "$launcher" || true
  [ "$killed" = 1 ] || fail "the run was not caught part-way through extraction"
  [ ! -f "$cache/extract.dat" ] || fail "a killed extraction left a marker"
  echo "   killed part-way: $(stat -c %s "$cache/big.bin" 2>/dev/null || echo 0) of 48000000 bytes"
  ;;
held)
  rm -f "$cache/extract.dat"
  wrun "$holdfile" "$(win "$cache/InstStub.exe")" "$product" > held.txt 2>&1 &
  holder=$!
  for _ in $(seq 1 600); do grep -q held held.txt 2>/dev/null && break; sleep 0.05; done
  grep -q held held.txt || fail "the file could not be held: $(cat held.txt)"
  code=$(run)
  expect_failure "$code" "held file"
  log_has "\(32\)|0x80070020" || fail "no line names the sharing violation: $(log_lines 'Error|error|fail')"
  [ ! -f "$cache/extract.dat" ] || fail "a marker over a cache that could not be written"
  pkill -f "HoldFile.exe.*$product" || true
  kill "$holder" 2>/dev/null || true
  wait "$holder" 2>/dev/null || true
  holder=""
  ;;
read-only)
  # A read-only file in a cache that must be extracted again: the extraction makes it writable.
  rm -f "$cache/extract.dat"
  chmod a-w "$cache/title.txt" "$cache/big.bin"
  code=$(run)
  [ "$code" = "0x00000000" ] || fail "read-only cache file: $code"
  ;;
marker)
  for damage in cut garbage; do
    sleep 1   # a log folder of its own (they are named to the second)
    rm -f "$cache/Lang/DE.txt"
    if [ "$damage" = cut ]; then
      head -c "$(( $(stat -c %s "$cache/extract.dat") / 2 ))" "$cache/extract.dat" > marker && cp marker "$cache/extract.dat"
    else
      head -c 300 /dev/urandom > "$cache/extract.dat"
    fi
    code=$(run)
    [ "$code" = "0x00000000" ] || fail "$damage marker: $code"
    log_has "extract.dat does not describe the folder" || fail "$damage marker: no line says so: $(log_lines "Warning|Error|extraction")"
    [ "$(snapshot)" = "$(cat reference.txt)" ] || fail "$damage marker: the cache was not extracted again"
  done
  echo "ok"
  exit 0
  ;;
*) fail "unknown case" ;;
esac

echo "== the run after the fault"
[ "$(run)" = "0x00000000" ] || fail "the run after the fault failed"
snapshot > after.txt
diff reference.txt after.txt >/dev/null || fail "the cache differs: $(diff reference.txt after.txt | sed -n 1,5p)"
echo "ok"
