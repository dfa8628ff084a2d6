#!/usr/bin/env bash
# Ready 7z archives, as 7-Zip's own tool makes them, handed to the builder:
#   ready_archives.sh CASE WINE_RUNNER PREFIX BUILDER_EXE STUB_EXE RUNEXIT_EXE WORK_DIR DLL...
# CASE: default-settings (a WAV file and x86 DLLs packed by `7zz a -t7z` with its default
# settings, which picks Delta and BCJ by content: make takes the archive and the stub extracts
# every file byte for byte), refused (archives with a method the stub has no decoder for, or
# encrypted: make and pack end with exit code 2 naming the entry and the method, and write
# nothing).
set -euo pipefail
case=$1 runner=$2 prefix=$3 builder=$4 stub=$5 runexit=$6 work_root=$7
shift 7
dlls=("$@")

mkdir -p "$work_root"
work=$(mktemp -d "$work_root/ready.XXXXXX")
silo="{$(python3 -c 'import uuid; print(str(uuid.uuid4()).upper())')}"
product="R${silo:1:8}"
# A dump (/TEST) leaves nothing in the prefix: no cache, no log.
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL ($case): $*" >&2; exit 1; }
win() { local p; p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); echo "Z:${p//\//\\}"; }
wrun() { "$runner" --prefix "$prefix" "$@"; }
build() { wrun "$builder" "$@"; }
# A product file whose UI package is the ready archive $1.
product_file() {
  cat > "$2" <<INI
[installer]
stub = $(win "$stub")
[payload]
ui-package = $1
[settings]
product = $product
version = 1.0.0.1
isolation = $silo
INI
}

# A PCM WAV file (7-Zip's tool puts it through Delta) and the DLLs (BCJ).
mkdir product
python3 - product/sound.wav <<'PY'
import math, struct, sys
frames = b"".join(struct.pack("<hh", int(9000 * math.sin(i / 9)), int(7000 * math.sin(i / 13))) for i in range(30000))
head = b"RIFF" + struct.pack("<I", 36 + len(frames)) + b"WAVE" + b"fmt " + \
       struct.pack("<IHHIIHH", 16, 1, 2, 44100, 44100 * 4, 4, 16) + b"data" + struct.pack("<I", len(frames))
open(sys.argv[1], "wb").write(head + frames)
PY
cp "${dlls[@]}" product/

case $case in
default-settings)
  (cd product && 7zz a -t7z ../product.7z . >/dev/null)
  7zz l -slt product.7z > listing.txt
  grep -q '^Method = Delta:4 LZMA2' listing.txt && grep -q '^Method = BCJ LZMA2' listing.txt \
    || fail "7zz chose other methods: $(grep '^Method' listing.txt)"
  product_file product.7z product.ini
  build make "$(win product.ini)" --out "$(win setup.exe)" >make.txt 2>&1 || fail "make: $(cat make.txt)"
  code=$(wrun "$runexit" "$(win setup.exe)" /qn /TEST "$(win dump)" /TESTMODE 1 | tr -d '\r' | sed -n 's/^exitcode=//p')
  [ "$code" = 0x00000000 ] || fail "the stub's extraction ended with $code"
  for file in product/*; do
    cmp "$file" "dump/InstallUI/$(basename "$file")" || fail "$(basename "$file") extracted differently"
  done
  ;;
refused)
  (cd product && 7zz a -t7z -m0=PPMd ../ppmd.7z . >/dev/null)
  (cd product && 7zz a -t7z -psecret ../secret.7z . >/dev/null)
  product_file ppmd.7z product.ini
  printf 'old' > setup.exe
  rc=0
  build make "$(win product.ini)" --out "$(win setup.exe)" >/dev/null 2>err.txt || rc=$?
  [ "$rc" = 2 ] || fail "make: exit $rc, not 2: $(cat err.txt)"
  grep -q 'line 4: the stub cannot read .*ppmd.7z (entry QDX-TRRootuiPackage.7z): item .* (method [^)]*PPMD' err.txt \
    || fail "make: message $(cat err.txt)"
  [ "$(cat setup.exe)" = old ] && [ ! -e setup.exe.make ] || fail "make: output touched"
  rc=0
  build pack --stub "$(win "$stub")" --layout "$(win secret.7z)=QDX-TRRoot.7z" --out "$(win packed.exe)" \
    >/dev/null 2>err.txt || rc=$?
  [ "$rc" = 2 ] || fail "pack: exit $rc, not 2: $(cat err.txt)"
  grep -q 'secret.7z (entry QDX-TRRoot.7z): item .* (method .*7zAES.*encrypted' err.txt \
    || fail "pack: message $(cat err.txt)"
  [ ! -e packed.exe ] && [ ! -e packed.exe.check ] || fail "pack: output written"
  ;;
*)
  fail "unknown case"
  ;;
esac
echo "$case: ok"
