#!/usr/bin/env bash
# A re-run with "x" moves the run's settings into the cached stub, and the cached stub's own
# signature still holds: a signed stub is packed, installed quietly, then run again with /x.
# With PLACEMENT "signature" the installer is signed and carries its settings inside its
# signature; the run reads them there, and the cached stub gets them there too.
#   cached_stub_settings.sh WINE_RUNNER PREFIX BUILDER_EXE STUB_EXE VERIFYTRUST_EXE RUNEXIT_EXE ARCHIVES_DIR
#                           ENGINE_ARCHIVES_DIR WORK_DIR [PLACEMENT]
set -euo pipefail
runner=$1 prefix=$2 builder=$3 stub=$4 verifytrust=$5 runexit=$6 archives=$7 engine_archives=$8 work_root=$9
placement=${10:-table}

mkdir -p "$work_root"
work=$(mktemp -d "$work_root/cachedstub.XXXXXX")
silo="{$(python3 -c 'import uuid; print(str(uuid.uuid4()).upper())')}"
product="X${silo:1:8}"
cleanup() {
  rm -rf "$work"
  find "$prefix/drive_c" -maxdepth 3 -type d -name VelmorInstaller 2>/dev/null | while read -r root; do
    rm -rf "${root:?}/$silo"
    # The run logs (UTF-16) that name this silo go with their folders.
    python3 - "$root/Logs" "$silo" <<'PY' || true
import os, shutil, sys
logs, silo = sys.argv[1], sys.argv[2]
for name in (os.listdir(logs) if os.path.isdir(logs) else []):
    folder = os.path.join(logs, name)
    for f in os.listdir(folder) if os.path.isdir(folder) else []:
        if f.endswith('.log') and silo in open(os.path.join(folder, f), 'rb').read().decode('utf-16', 'ignore'):
            shutil.rmtree(folder, ignore_errors=True)
            break
PY
  done
  return 0
}
trap cleanup EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
win() { local p; p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); echo "Z:${p//\//\\}"; }
wrun() { "$runner" --prefix "$prefix" "$@"; }
build() { wrun "$builder" "$@"; }
trust() { wrun "$verifytrust" "$(win "$1")" | tr -d '\r' | sed -n 's/^trust=//p'; }
run() { wrun "$runexit" "$@" | tr -d '\r' | sed -n 's/^exitcode=//p'; }
json() { python3 -c "import json,sys; d=json.load(open(sys.argv[1])); print(eval(sys.argv[2]))" "$1" "$2"; }

openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=MiniStub Test Signing" -days 2 \
  -keyout key.pem -out cert.pem >/dev/null 2>&1
osslsigncode sign -certs cert.pem -key key.pem -n "MiniStub test" -in "$stub" -out stub-signed.exe >/dev/null
build pack --stub "$(win stub-signed.exe)" --ui-package "$(win "$archives/ui.7z")=QDX-TRRootuiPackage.7z" \
  --layout "$(win "$archives/layout.7z")=QDX-TRRoot.7z" \
  --install-package "$(win "$engine_archives/install.7z")=QDX-TRRootInstallPackage.7z" --out "$(win setup.exe)" >/dev/null
cat > settings.txt <<TEXT
0 = wstring:$product
9 = wstring:$silo
18 = wstring:Software\\Korvanta\\Isolation
1 = dword:1
2 = dword:0
3 = dword:0
4 = dword:7
TEXT
if [ "$placement" = signature ]; then
  osslsigncode sign -certs cert.pem -key key.pem -n "MiniStub test" -in setup.exe -out setup-signed.exe >/dev/null
  mv setup-signed.exe setup.exe
fi
build settings "$(win setup.exe)" --from "$(win settings.txt)" --placement "$placement" >/dev/null
if [ "$placement" = signature ]; then
  osslsigncode verify -CAfile cert.pem -in setup.exe >verify.log 2>&1 || fail "installer: $(cat verify.log)"
fi

echo "== first run extracts the signed stub into the cache"
[ "$(run "$(win setup.exe)" /qn)" = "0x00000000" ] || fail "first run"
cached=$(find "$prefix/drive_c" -path "*/VelmorInstaller/$silo/$product/1.0.0.7/InstStub.exe" -print -quit)
[ -n "$cached" ] || fail "no cached stub"
[ "$(trust "$cached")" = "0x00000000" ] || fail "cached stub signature after extraction: $(trust "$cached")"

echo "== /x writes this run's settings into the cached stub"
[ "$(run "$(win setup.exe)" /x /qn /DEFLANG de-DE)" = "0x00000000" ] || fail "x run"
build inspect "$(win "$cached")" --json | tr -d '\r' > cached.json
[ "$(json cached.json "d['settings']['0']")" = "wstring:$product" ] || fail "product: $(json cached.json "d['settings']")"
[ "$(json cached.json "d['settings']['5']")" = "wstring:de-DE" ] || fail "language: $(json cached.json "d['settings']")"
[[ "$(json cached.json "d['settings']['20002']")" == *'/x /qn /DEFLANG de-DE'* ]] || fail "command line: $(json cached.json "d['settings']")"
[ "$(json cached.json "d['settings']['20022']")" = "bool:true" ] || fail "normal path: $(json cached.json "d['settings']")"
[ "$(trust "$cached")" = "0x00000000" ] || fail "cached stub signature after /x: $(trust "$cached")"
[ "$(json cached.json "d['placement']")" = "$placement" ] || fail "cached stub placement: $(json cached.json "d['placement']")"
if [ "$placement" = signature ]; then
  osslsigncode verify -CAfile cert.pem -in "$cached" >verify.log 2>&1 || fail "cached stub: $(cat verify.log)"
fi

echo "== other switches are written again; the same switches leave the cached stub as it is"
[ "$(run "$(win setup.exe)" /x /qn /DEFLANG fr-FR)" = "0x00000000" ] || fail "second x run"
build inspect "$(win "$cached")" --json | tr -d '\r' > cached.json
[ "$(json cached.json "d['settings']['5']")" = "wstring:fr-FR" ] || fail "language: $(json cached.json "d['settings']")"
cp "$cached" written.exe
touch -d '2001-02-03 04:05:06' "$cached"
[ "$(run "$(win setup.exe)" /x /qn /DEFLANG fr-FR)" = "0x00000000" ] || fail "third x run"
cmp -s written.exe "$cached" || fail "the same settings changed the cached stub"
[ "$(stat -c %Y "$cached")" = "$(date -d '2001-02-03 04:05:06' +%s)" ] || fail "the same settings rewrote the cached stub"
[ "$(trust "$cached")" = "0x00000000" ] || fail "cached stub signature after the last /x: $(trust "$cached")"
echo "ok"
