#!/usr/bin/env bash
# `make` end to end: a product file with both folders, a plain file, settings and a signing
# command becomes an installer whose signature holds (settings inside it), that inspect reads as
# the product file says, and that a quiet install under Wine installs. Folders the stub would
# refuse, and product files that cannot be used, end before any output is written.
#   make_installer.sh WINE_RUNNER PREFIX BUILDER_EXE STUB_EXE VERIFYTRUST_EXE RUNEXIT_EXE ENGINE_DLL
#                     INSTALLUI_DIR WORK_DIR
set -euo pipefail
runner=$1 prefix=$2 builder=$3 stub=$4 verifytrust=$5 runexit=$6 engine=$7 ui_dir=$8 work_root=$9

mkdir -p "$work_root"
work=$(mktemp -d "$work_root/make.XXXXXX")
silo="{$(python3 -c 'import uuid; print(str(uuid.uuid4()).upper())')}"
product="M${silo:1:8}"
target_name="MiniStub Make Test $product"
cleanup() {
  rm -rf "$work"
  find "$prefix/drive_c" -maxdepth 3 -type d \( -name VelmorInstaller -o -name "$target_name" \) 2>/dev/null |
    while read -r found; do
      case "$found" in *"$target_name") rm -rf "$found" ;; *) rm -rf "${found:?}/$silo" ;; esac
    done
  return 0
}
trap cleanup EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
win() { local p; p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); echo "Z:${p//\//\\}"; }
wrun() { "$runner" --prefix "$prefix" "$@"; }
build() { wrun "$builder" "$@"; }
json() { python3 -c "import json,sys; d=json.load(open(sys.argv[1])); print(eval(sys.argv[2]))" "$1" "$2"; }
# make that must fail: exit code, and one message naming what is wrong; nothing written.
refused() {
  local want=$1 pattern=$2 file=$3 rc=0
  printf 'old' > out.exe
  build make "$(win "$file")" --define "stub=$(win "$stub")" --out "$(win out.exe)" >/dev/null 2>err.txt || rc=$?
  [ "$rc" = "$want" ] || fail "$file: exit $rc, not $want: $(cat err.txt)"
  grep -q -- "$pattern" err.txt || fail "$file: message $(cat err.txt), not $pattern"
  [ "$(cat out.exe)" = old ] && [ ! -e out.exe.make ] && [ ! -e out.exe.partial ] || fail "$file: output touched"
}

openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=MiniStub Test Signing" -days 2 \
  -keyout key.pem -out cert.pem >/dev/null 2>&1
mkdir -p product/ui/09/01 product/install/InstallPackage/files product/docs
cp "$ui_dir/InstUI.dll" product/ui/
cp "$ui_dir/09/01/InsMUI.loc" product/ui/09/01/
cp "$engine" product/install/InstallPackage/
printf 'made by make\r\n' > product/install/InstallPackage/files/ReadMe.txt
cat > product/install/InstallPackage/Install.mft <<MFT
[Product]
Name=$target_name
Target=%ProgramFiles%\\$target_name
[Files]
files\\ReadMe.txt|ReadMe.txt
MFT
printf 'notes\n' > product/docs/notes.txt
# The sign command leaves its trace: it must see the packed installer without settings.
cat > product/sign.sh <<'SH'
#!/bin/sh
python3 -c "import struct,sys; b=open(sys.argv[1],'rb').read(); o=struct.unpack_from('<I',b,0x3c)[0]; m=struct.unpack_from('<H',b,o+24)[0]; d=o+(152 if m==0x10b else 168); sys.exit(1 if struct.unpack_from('<II',b,d) != (0, 0) else 0)" "$5" || { echo "input already has a certificate table" >&2; exit 3; }
exec osslsigncode sign -certs "$1" -key "$2" -n "MiniStub test" -in "$5" -out "$6"
SH
chmod +x product/sign.sh
cat > product/product.ini <<INI
[installer]
stub = \${stub}
sign = ./sign.sh ../cert.pem ../key.pem unused unused {in} {out}
placement = signature
[payload]
ui-package = ui
install-package = install
file = docs/notes.txt | docs\\notes.txt
[settings]
product = $product
version = 1.0.0.3
isolation = $silo
isolation-root = Software\\Korvanta\\Isolation
language = en-US
30 = hex:0102
INI

echo "== make: compress, pack, sign, settings, verify"
build make "$(win product/product.ini)" --define "stub=$(win "$stub")" --out "$(win setup.exe)" --json \
  | tr -d '\r' > report.json
[ "$(json report.json "[(e['name'], e['type']) for e in d['entries']]")" = \
  "[('QDX-TRRootuiPackage.7z', 5), ('QDX-TRRootInstallPackage.7z', 3), ('docs\\\\notes.txt', 0)]" ] \
  || fail "report entries: $(json report.json "d['entries']")"
[ "$(json report.json "[e['executables'] for e in d['entries'][:2]]")" = "[1, 1]" ] || fail "BCJ2 files"
[ "$(json report.json "d['signed'] and d['placement'] == 'signature' and d['entries'][1]['ratio'] < 0.9")" = True ] \
  || fail "report: $(cat report.json)"
[ ! -e setup.exe.make ] || fail "work folder left behind"

build inspect "$(win setup.exe)" --json | tr -d '\r' > inspect.json
[ "$(json inspect.json "d['settings']")" = "{'0': 'wstring:$product', '1': 'dword:1', '2': 'dword:0', '3': 'dword:0', '4': 'dword:3', '5': 'wstring:en-US', '9': 'wstring:$silo', '18': 'wstring:Software\\\\Korvanta\\\\Isolation', '30': 'hex:0102'}" ] \
  || fail "settings: $(json inspect.json "d['settings']")"
[ "$(json inspect.json "[e['size'] for e in d['package']['entries']] == [e['bytes'] for e in json.load(open('report.json'))['entries']]")" = True ] \
  || fail "inspect and report disagree"
osslsigncode verify -CAfile cert.pem -in setup.exe >verify.log 2>&1 || fail "osslsigncode: $(cat verify.log)"
[ "$(wrun "$verifytrust" "$(win setup.exe)" | tr -d '\r' | sed -n 's/^trust=//p')" = 0x00000000 ] || fail "trust"

echo "== the installer installs quietly"
code=$(wrun "$runexit" "$(win setup.exe)" /qn | tr -d '\r' | sed -n 's/^exitcode=//p')
[ "$code" = 0x00000000 ] || fail "install exit code $code"
installed=$(find "$prefix/drive_c" -maxdepth 3 -path "*/$target_name/ReadMe.txt" -print -quit)
[ -n "$installed" ] && [ "$(cat "$installed")" = "$(printf 'made by make\r\n')" ] || fail "product not installed"

echo "== SOURCE_DATE_EPOCH: copies with other file times make the same bytes"
# Unsigned, since a signature holds its own time. The one file older than the epoch keeps its time.
for copy in early late; do
  cp -r product "$copy"
  sed -e '/^sign = /d' -e '/^placement = /d' product/product.ini > "$copy/product.ini"
done
find early -exec touch -d '2024-05-01 10:00:00' {} +
find late -exec touch -d '2024-06-02 11:30:00' {} +
touch -d '2010-01-01 00:00:00' {early,late}/install/InstallPackage/files/ReadMe.txt
reproducible() {
  local copy=$1 out=$2
  build make "$(win "$copy/product.ini")" --define "stub=$(win "$stub")" --out "$(win "$out")" >/dev/null
}
export SOURCE_DATE_EPOCH=1577836800   # 2020-01-01
reproducible early early.exe
reproducible late late.exe
cmp -s early.exe late.exe || fail "SOURCE_DATE_EPOCH: the copies made different installers"
SOURCE_DATE_EPOCH=4102444800          # 2100-01-01: later than every time, so it changes nothing
reproducible early early-2100.exe
unset SOURCE_DATE_EPOCH
reproducible early early-kept.exe
reproducible late late-kept.exe
cmp -s early-2100.exe early-kept.exe || fail "SOURCE_DATE_EPOCH after every time changed the installer"
! cmp -s early-kept.exe late-kept.exe || fail "without SOURCE_DATE_EPOCH the file times were not kept"
printf 'old' > out.exe
rc=0
SOURCE_DATE_EPOCH=tomorrow build make "$(win early/product.ini)" --define "stub=$(win "$stub")" \
  --out "$(win out.exe)" >/dev/null 2>err.txt || rc=$?
[ "$rc" = 2 ] && grep -q 'SOURCE_DATE_EPOCH is "tomorrow"' err.txt && [ "$(cat out.exe)" = old ] \
  || fail "SOURCE_DATE_EPOCH=tomorrow: exit $rc, $(cat err.txt)"

echo "== refused before anything is written"
ln -s .. product/ui/loop
refused 1 'ui\\loop is a link' product/product.ini
rm product/ui/loop
printf x > product/install/aux.txt
refused 1 'aux.txt" is not a name the stub accepts' product/product.ini
rm product/install/aux.txt
sed 's|^ui-package = ui$|ui-package = missing-ui|' product/product.ini > product/missing.ini
refused 2 'missing.ini:6: no such file or folder' product/missing.ini
sed 's|^30 = hex:0102$|colour = blue|' product/product.ini > product/unknown.ini
refused 2 'unknown.ini:15: unknown key colour' product/unknown.ini
sed 's|^sign = .*|sign = ./sign.sh ../cert.pem ../nokey.pem x x {in} {out}|' product/product.ini > product/badsign.ini
refused 1 'the sign command failed' product/badsign.ini
echo "make: ok"
