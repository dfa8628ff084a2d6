#!/usr/bin/env bash
# The builder end to end under Wine: sign a stub, pack it, sign the installer, write settings into
# it (behind the signature and inside it), inspect it; the system's signature check must hold
# before and after the settings were written and fail once a signed byte changes.
# The install unpacker then turns the signed installer back into a validly signed InstStub.exe.
#   builder_roundtrip.sh WINE_RUNNER PREFIX BUILDER_EXE STUB_EXE VERIFYTRUST_EXE UNPACK_EXE WORK_DIR
set -euo pipefail
runner=$1 prefix=$2 builder=$3 stub=$4 verifytrust=$5 unpack=$6 work_root=$7

mkdir -p "$work_root"
work=$(mktemp -d "$work_root/roundtrip.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
win() { local p; p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); echo "Z:${p//\//\\}"; }
wrun() { "$runner" --prefix "$prefix" "$@"; }
build() { wrun "$builder" "$@"; }
trust() { wrun "$verifytrust" "$(win "$1")" | tr -d '\r' | sed -n 's/^trust=//p'; }
json() { python3 -c "import json,sys; d=json.load(open(sys.argv[1])); print(eval(sys.argv[2]))" "$1" "$2"; }
sign() { osslsigncode sign -certs cert.pem -key key.pem -n "MiniStub test" -in "$1" -out "$2" >/dev/null; }

openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=MiniStub Test Signing" -days 2 \
  -keyout key.pem -out cert.pem >/dev/null 2>&1
sign "$stub" stub-signed.exe

mkdir -p ui/strings layout
printf 'hello\r\n' > ui/strings/en.txt
head -c 100000 /dev/urandom > layout/big.bin
7zz a -t7z ui.7z ./ui/* >/dev/null
7zz a -t7z layout.7z ./layout/* >/dev/null
printf 'readme\n' > readme.txt
cat > settings.txt <<'TEXT'
# demo product
0 = wstring:PRODUCT
1 = dword:2014
11 = bool:false
20 = wstring:"  spaced  "
TEXT

echo "== pack a signed stub"
build pack --stub "$(win stub-signed.exe)" --ui-package "$(win ui.7z)=QDX-TRRootuiPackage.7z" \
  --layout "$(win layout.7z)=QDX-TRRoot.7z" --file "$(win readme.txt)=docs\\readme.txt" \
  --out "$(win installer.exe)" >/dev/null
build inspect "$(win installer.exe)" --json | tr -d '\r' > packed.json
sig_len=$(python3 -c "import struct,sys; b=open(sys.argv[1],'rb').read(); o=struct.unpack_from('<I',b,0x3c)[0]; m=struct.unpack_from('<H',b,o+24)[0]; d=o+(152 if m==0x10b else 168); off,size=struct.unpack_from('<II',b,d); print(struct.unpack_from('<I',b,off)[0])" stub-signed.exe)
[ "$(json packed.json "d['package']['buildSignatureLength']")" = "$sig_len" ] || fail "build signature length"
[ "$(json packed.json "d['package']['offset'] - d['endOfModule']")" = "$sig_len" ] || fail "package offset"
[ "$(json packed.json "[e['name'] for e in d['package']['entries']]")" = "['QDX-TRRootuiPackage.7z', 'QDX-TRRoot.7z', 'docs\\\\readme.txt']" ] \
  || fail "index names: $(json packed.json "d['package']['entries']")"
[ "$(json packed.json "[e['type'] for e in d['package']['entries']]")" = "[5, 1, 0]" ] || fail "index types"
[ "$(json packed.json "d['certificateTable']")" = "{'offset': 0, 'size': 0}" ] || fail "unsigned installer has a certificate table"
[ "$(json packed.json "d['checksum'] == d['computedChecksum']")" = True ] || fail "checksum"
# The entries' bytes are the archives' bytes.
python3 - installer.exe packed.json <<'PY' || fail "entry bytes"
import json, sys
data = open(sys.argv[1], 'rb').read()
d = json.load(open(sys.argv[2]))
for e, src in zip(d['package']['entries'], ['ui.7z', 'layout.7z', 'readme.txt']):
    assert data[e['offset']:e['offset'] + e['size']] == open(src, 'rb').read(), e['name']
assert len(data) % 8 == 0
PY

echo "== sign the installer"
sign installer.exe signed.exe
[ "$(trust signed.exe)" = "0x00000000" ] || fail "signed installer does not verify: $(trust signed.exe)"

echo "== settings into the signed installer"
build settings "$(win signed.exe)" --from "$(win settings.txt)"
[ "$(trust signed.exe)" = "0x00000000" ] || fail "settings broke the signature: $(trust signed.exe)"
build inspect "$(win signed.exe)" --json | tr -d '\r' > signed.json
[ "$(json signed.json "d['signed']")" = True ] || fail "not seen as signed"
[ "$(json signed.json "d['block']['version']")" = 1 ] || fail "block version"
[ "$(json signed.json "d['block']['storedHash'] == d['block']['computedHash']")" = True ] || fail "block hash"
[ "$(json signed.json "d['block']['position'] == d['certificateTable']['offset'] + d['signatureLength']")" = True ] \
  || fail "block position"
[ "$(json signed.json "d['certificateTable']['size'] == d['signatureLength'] + d['block']['length']")" = True ] \
  || fail "certificate table size"
[ "$(json signed.json "d['checksum'] == d['computedChecksum']")" = True ] || fail "checksum after settings"
[ "$(json signed.json "d['settings']")" = "{'0': 'wstring:PRODUCT', '1': 'dword:2014', '11': 'bool:false', '20': 'wstring:\"  spaced  \"'}" ] \
  || fail "settings read back: $(json signed.json "d['settings']")"
[ "$(json signed.json "len(d['package']['entries'])")" = 3 ] || fail "package lost"

echo "== edit settings again: set, remove, replace"
build settings "$(win signed.exe)" --set "1=dword:2015" --remove 11 --set "30 = hex:0102"
build inspect "$(win signed.exe)" --json | tr -d '\r' > edited.json
[ "$(json edited.json "d['settings']")" = "{'0': 'wstring:PRODUCT', '1': 'dword:2015', '20': 'wstring:\"  spaced  \"', '30': 'hex:0102'}" ] \
  || fail "edited settings: $(json edited.json "d['settings']")"
[ "$(trust signed.exe)" = "0x00000000" ] || fail "second edit broke the signature"
build settings "$(win signed.exe)" --replace --set "5=bool:true"
build inspect "$(win signed.exe)" --json | tr -d '\r' > replaced.json
[ "$(json replaced.json "d['settings']")" = "{'5': 'bool:true'}" ] || fail "replaced settings"
text=$(build inspect "$(win signed.exe)" | tr -d '\r')
grep -q '^block version  *1$' <<<"$text" || fail "text inspect: $text"
grep -q '^  5 = bool:true$' <<<"$text" || fail "text inspect settings: $text"

echo "== the install unpacker restores the stub's own signature"
unpacked=$(wrun "$unpack" "$(win signed.exe)" "$(win unpacked)" | tr -d '\r')
grep -q '^hr=0x00000000$' <<<"$unpacked" || fail "unpacking: $unpacked"
grep -q '^streams=1$' <<<"$unpacked" || fail "registered streams: $unpacked"
[ -f unpacked/extract.dat ] && [ -f unpacked/strings/en.txt ] || fail "UI package not unpacked"
cmp -s unpacked/InstStub.exe stub-signed.exe || fail "InstStub.exe differs from the signed stub"
[ "$(trust unpacked/InstStub.exe)" = "0x00000000" ] || fail "InstStub.exe signature: $(trust unpacked/InstStub.exe)"
build inspect "$(win unpacked/InstStub.exe)" --json | tr -d '\r' > inststub.json
[ "$(json inststub.json "d['certificateTable'] == {'offset': d['endOfModule'], 'size': $sig_len}")" = True ] \
  || fail "InstStub.exe security directory: $(json inststub.json "d['certificateTable']")"
[ "$(json inststub.json "d['checksum'] == d['computedChecksum']")" = True ] || fail "InstStub.exe checksum"

echo "== a changed signed byte is seen"
cp signed.exe tampered.exe
python3 - tampered.exe packed.json <<'PY'
import json, sys
d = json.load(open(sys.argv[2]))
at = d['package']['entries'][1]['offset'] + 17
b = bytearray(open(sys.argv[1], 'rb').read()); b[at] ^= 0xFF
open(sys.argv[1], 'wb').write(bytes(b))
PY
[ "$(trust tampered.exe)" = "0x80096010" ] || fail "tampering not detected: $(trust tampered.exe)"

echo "== settings in the signature: the strict check (osslsigncode) accepts them, not behind it"
osslsigncode verify -CAfile cert.pem -in signed.exe >verify-table.log 2>&1 && fail "osslsigncode accepts data behind the signature"
build settings "$(win signed.exe)" --placement signature --set "6=wstring:moved"
build inspect "$(win signed.exe)" --json | tr -d '\r' > insig.json
[ "$(json insig.json "d['placement']")" = signature ] || fail "placement: $(json insig.json "d['placement']")"
[ "$(json insig.json "d['settings']")" = "{'5': 'bool:true', '6': 'wstring:moved'}" ] || fail "settings in the signature"
[ "$(json insig.json "d['block']['storedHash'] == d['block']['computedHash'] and d['block']['version'] == 1")" = True ] \
  || fail "block in the signature: $(json insig.json "d['block']")"
[ "$(json insig.json "d['certificateTable']['size'] == d['signatureLength'] and d['certificateTable']['offset'] + d['signatureLength'] == d['fileLength']")" = True ] \
  || fail "certificate table holds more than the signature"
[ "$(json insig.json "d['checksum'] == d['computedChecksum']")" = True ] || fail "checksum in signature placement"
osslsigncode verify -CAfile cert.pem -in signed.exe >verify-signature.log 2>&1 || fail "osslsigncode: $(cat verify-signature.log)"
[ "$(trust signed.exe)" = "0x00000000" ] || fail "settings in the signature broke it: $(trust signed.exe)"
build settings "$(win signed.exe)" --remove 6   # the placement it has stays
build inspect "$(win signed.exe)" | tr -d '\r' > insig.txt
grep -q '^placement  *signature$' insig.txt && grep -q '^  5 = bool:true$' insig.txt || fail "text inspect: $(cat insig.txt)"
build settings "$(win signed.exe)" --placement table
build inspect "$(win signed.exe)" --json | tr -d '\r' > back.json
[ "$(json back.json "d['placement']")" = table ] && [ "$(json back.json "d['settings']")" = "{'5': 'bool:true'}" ] \
  || fail "back behind the signature: $(json back.json "d['placement'], d['settings']")"
[ "$(trust signed.exe)" = "0x00000000" ] || fail "moving back broke the signature"

echo "== an unsigned installer keeps its settings at its end"
build settings "$(win installer.exe)" --from "$(win settings.txt)"
build inspect "$(win installer.exe)" --json | tr -d '\r' > unsigned.json
[ "$(json unsigned.json "d['signed']")" = False ] || fail "unsigned seen as signed"
[ "$(json unsigned.json "d['block']['position'] == d['certificateTable']['offset']")" = True ] || fail "unsigned block position"
[ "$(json unsigned.json "d['certificateTable']['offset'] + d['certificateTable']['size'] == d['fileLength']")" = True ] \
  || fail "unsigned block not at the end"
[ "$(json unsigned.json "len(d['settings'])")" = 4 ] || fail "unsigned settings"

echo "== --folder walks its own tree only; --entry takes any type and a source with '='"
mkdir -p tree/sub tree/subX 'eq=dir'
printf a > tree/a.txt; printf b > tree/sub/b.txt; printf x > tree/subX/x.txt
ln -s .. tree/sub/loop            # a link back up: walked, it would never end
ln -s "$work/layout" tree/outside # a link out of the tree
printf e > 'eq=dir/e.bin'
build pack --stub "$(win stub-signed.exe)" --folder "$(win tree)" --entry "9:$(win 'eq=dir/e.bin')" \
  --entry "7:$(win 'eq=dir/e.bin')=named.bin" --out "$(win folder.exe)" | tr -d '\r' > folder.txt
grep -q 'skipped link .*\\sub\\loop$' folder.txt && grep -q 'skipped link .*\\outside$' folder.txt \
  || fail "links not reported as skipped: $(cat folder.txt)"
build inspect "$(win folder.exe)" --json | tr -d '\r' > folder.json
[ "$(json folder.json "[(e['name'], e['type']) for e in d['package']['entries']]")" = \
  "[('a.txt', 0), ('sub\\\\b.txt', 0), ('subX\\\\x.txt', 0), ('e.bin', 9), ('named.bin', 7)]" ] \
  || fail "folder entries: $(json folder.json "d['package']['entries']")"
set +e
build pack --stub "$(win stub-signed.exe)" --file "$(win readme.txt)=..\\up.txt" --out "$(win never.exe)" \
  >/dev/null 2>err.txt
rc=$?
set -e
[ $rc = 1 ] && grep -q '"..\\up.txt" is not a relative path that stays inside its folder' err.txt \
  || fail "a name the stub refuses was packed ($rc): $(cat err.txt)"
[ ! -e never.exe ] || fail "a refused pack left a file"

echo "== errors are one line and a non-zero exit"
set +e
build pack --stub "$(win stub-signed.exe)" --file "$(win missing.bin)" --out "$(win never.exe)" >out.txt 2>err.txt
rc=$?
set -e
[ $rc = 1 ] || fail "missing entry exit $rc"
[ "$(wc -l < err.txt)" = 1 ] || fail "missing entry message: $(cat err.txt)"
[ ! -e never.exe ] && [ ! -e never.exe.partial ] || fail "a failed pack left a file"
set +e
build frobnicate >/dev/null 2>err.txt; rc=$?
build settings "$(win signed.exe)" --set "1=dword:x" >/dev/null 2>>err.txt; rc2=$?
build settings "$(win installer.exe)" --placement signature >/dev/null 2>unsigned.txt; rc3=$?
set -e
[ $rc = 2 ] && [ $rc2 = 2 ] || fail "usage errors exit $rc $rc2"
[ $rc3 = 1 ] && [ "$(wc -l < unsigned.txt)" = 1 ] || fail "signature placement of an unsigned installer: $rc3 $(cat unsigned.txt)"
build --help | tr -d '\r' > help.txt
for word in pack settings inspect --stub --out --ui-package --layout --install-package --scanner --file --folder \
            --entry --settings --from --set --remove --replace --placement --json; do
  grep -q -- "$word" help.txt || fail "--help does not mention $word"
done
echo "builder round trip: ok"
