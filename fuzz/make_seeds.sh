#!/usr/bin/env bash
# Makes the seed corpus of every harness (fuzz/corpus/READER/) with the project's own builder,
# the 7-Zip tool and a throwaway signing certificate:
#   bash fuzz/make_seeds.sh BUILD-DIR
# The seeds are small on purpose (a 1 KiB image stands for the stub): mutations of small inputs
# reach the interesting fields far more often, and one Wine start runs thousands of them.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:?usage: make_seeds.sh BUILD-DIR}" && pwd)
corpus=$root/fuzz/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run() { "$root/scripts/wine-run.sh" --prefix "$build/wineprefix" "$@"; }
winpath() { printf 'Z:%s' "$(echo "$1" | tr / \\\\)"; }
builder=$build/tools/ministub-build/ministub-build.exe
rm -rf "$corpus"
mkdir -p "$corpus"/{archive,settings-block,package-index,pe-helper,7z,unpackers,settings-text,manifest,language-map,signer-attribute}

# A minimal 32-bit image: headers and one section, nothing behind it.
python3 - "$work/tiny.exe" <<'PY'
import struct, sys
dos = bytearray(0x80); dos[0:2] = b"MZ"; struct.pack_into("<I", dos, 0x3C, 0x80)
coff = struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 0xE0, 0x0102)
opt = bytearray(0xE0)
struct.pack_into("<HBBIIIIIII", opt, 0, 0x10B, 14, 0, 0x200, 0, 0, 0x1000, 0x1000, 0x2000, 0x400000)
struct.pack_into("<IIHHHHHHIIIIHHIIIIII", opt, 32, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0, 0x2000, 0x200, 0, 2, 0x8140,
                 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
sect = struct.pack("<8sIIIIIIHHI", b".text", 0x10, 0x1000, 0x200, 0x200, 0, 0, 0, 0, 0x60000020)
head = bytes(dos) + b"PE\0\0" + coff + bytes(opt) + sect
body = head + bytes(0x200 - len(head)) + b"\xC3" + bytes(0x1FF)
open(sys.argv[1], "wb").write(body)
PY
cp "$work/tiny.exe" "$corpus/pe-helper/tiny.exe"

# Settings with every value type the text knows.
cat > "$work/settings.txt" <<'TEXT'
0 = wstring:FUZZ
1 = dword:2014
2 = bool:true
3 = int8:-5
4 = byte:200
5 = int16:-300
6 = word:60000
7 = long:-70000
8 = int64:-5000000000
9 = wstring:{5D1E7A00-0DE1-4C0D-9E11-F0220000000A}
10 = uint64:0x123456789
11 = double:2.5
12 = guid:{00112233-4455-6677-8899-AABBCCDDEEFF}
13 = opaque16:00112233445566778899AABBCCDDEEFF
14 = hex:DEADBEEF
15 = string:Software\Korvanta
16 = wstring:" spaced \"quoted\" \x41 "
18 = wstring:Software\\Korvanta\\Isolation
TEXT
cp "$work/settings.txt" "$corpus/settings-text/all-types.txt"
printf '# comments and blanks\r\n\r\n0 = wstring:P\r\n20520 = bool:false\r\n' > "$corpus/settings-text/crlf.txt"

# Small archives of the shapes installers use.
mkdir -p "$work/tree/InstallPackage/sub" "$work/tree/09/01"
printf 'payload\n' > "$work/tree/InstallPackage/a.txt"
printf '' > "$work/tree/InstallPackage/empty.txt"
printf 'deeper\n' > "$work/tree/InstallPackage/sub/b.txt"
printf 'module' > "$work/tree/09/01/InsMUI.loc"
cp "$work/tiny.exe" "$work/tree/InstallPackage/tool.exe"
(cd "$work/tree" && 7zz a -t7z -m0=LZMA "$corpus/7z/lzma.7z" . >/dev/null)
(cd "$work/tree" && 7zz a -t7z -m0=LZMA2 -ms=off "$corpus/7z/lzma2-nonsolid.7z" . >/dev/null)
(cd "$work/tree" && 7zz a -t7z -m0=BCJ2 -m1=LZMA -m2=LZMA -m3=LZMA -mb0:1 -mb0s1:2 -mb0s2:3 \
  "$corpus/7z/bcj2.7z" InstallPackage/tool.exe InstallPackage/a.txt >/dev/null)
(cd "$work/tree" && 7zz a -t7z -m0=Copy "$corpus/7z/copy.7z" . >/dev/null)
(cd "$work/tree" && 7zz a -t7z -m0=BCJ -m1=LZMA "$corpus/7z/bcj.7z" InstallPackage >/dev/null)
# The filters 7-Zip's tool picks by content: delta, and branch converters with and without
# their start offset (ARM64 stands for the converters of one C file; IA64 has its own).
(cd "$work/tree" && 7zz a -t7z -mf=Delta:4 "$corpus/7z/delta.7z" InstallPackage >/dev/null)
(cd "$work/tree" && 7zz a -t7z -mf=ARM64:4096 "$corpus/7z/arm64.7z" InstallPackage >/dev/null)
(cd "$work/tree" && 7zz a -t7z -mf=IA64 "$corpus/7z/ia64.7z" InstallPackage >/dev/null)

# Installers: the tiny image, a UI archive, an install package, a plain file and settings;
# unsigned, and signed with the settings behind and inside the signature.
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=MiniStub Fuzz Seeds" -days 1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
(cd "$work/tree" && 7zz a -t7z "$work/ui.7z" 09 >/dev/null && 7zz a -t7z "$work/install.7z" InstallPackage >/dev/null)
run "$builder" pack --stub "$(winpath "$work/tiny.exe")" \
  --ui-package "$(winpath "$work/ui.7z")=QDX-TRRootuiPackage.7z" \
  --install-package "$(winpath "$work/install.7z")=QDX-TRRootInstallPackage.7z" \
  --file "$(winpath "$work/tree/InstallPackage/a.txt")=docs\\a.txt" \
  --out "$(winpath "$work/unsigned.exe")" >/dev/null
cp "$work/unsigned.exe" "$work/unsigned-settings.exe"
run "$builder" settings "$(winpath "$work/unsigned-settings.exe")" --from "$(winpath "$work/settings.txt")" >/dev/null
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "seed" -in "$work/unsigned.exe" \
  -out "$work/signed.exe" >/dev/null
cp "$work/signed.exe" "$work/signed-table.exe"
run "$builder" settings "$(winpath "$work/signed-table.exe")" --from "$(winpath "$work/settings.txt")" \
  --placement table >/dev/null
cp "$work/signed.exe" "$work/signed-attribute.exe"
run "$builder" settings "$(winpath "$work/signed-attribute.exe")" --from "$(winpath "$work/settings.txt")" \
  --placement signature >/dev/null
for f in unsigned unsigned-settings signed-table signed-attribute; do
  cp "$work/$f.exe" "$corpus/settings-block/$f.exe"
  cp "$work/$f.exe" "$corpus/package-index/$f.exe"
done
cp "$work/unsigned-settings.exe" "$work/signed-table.exe" "$corpus/unpackers/"
cp "$work/signed-attribute.exe" "$corpus/pe-helper/"

# The settings block's serialised collection (behind the unsigned installer's image), and the
# PKCS#7 messages of the two signatures.
python3 - "$work" "$corpus" <<'PY'
import struct, sys
work, corpus = sys.argv[1], sys.argv[2]
data = open(f"{work}/unsigned-settings.exe", "rb").read()
at = data.rindex(b"bpAP") - 4
size = struct.unpack_from("<I", data, at + 16)[0]
open(f"{corpus}/archive/settings.bin", "wb").write(data[at + 20:at + size])
for name in ("signed-table", "signed-attribute"):
    pe = open(f"{work}/{name}.exe", "rb").read()
    lfanew = struct.unpack_from("<I", pe, 0x3C)[0]
    magic = struct.unpack_from("<H", pe, lfanew + 24)[0]
    entry = lfanew + 24 + (96 if magic == 0x10B else 112) + 4 * 8
    offset, length = struct.unpack_from("<II", pe, entry)
    cert_len = struct.unpack_from("<I", pe, offset)[0]
    open(f"{corpus}/signer-attribute/{name}.p7", "wb").write(pe[offset + 8:offset + cert_len])
PY

cp "$root/samples/product/Install.mft" "$corpus/manifest/product.mft"
cat > "$corpus/manifest/sections.mft" <<'TEXT'
[Product]
Name=Fuzz
Target=%ProgramFiles%\Fuzz
[Files]
a.txt
sub\b.txt|c\d.txt
[Registry]
HKLM\Software\Fuzz|Version|REG_SZ|1.0
HKCU\Software\Fuzz|Count|REG_DWORD|0x7
[Shortcuts]
%Target%\Fuzz.lnk|a.txt
[Outcome]
Result=0x00047C02
RebootTray=1
FollowUp=cmd.exe /c exit
RemoveCache=1
ReturnCode=5
DelayMs=1
TEXT
printf '0409 = en\\us\r\n0407=de\r\n# not a language\r\n0C = fr\\\r\nzz = x\r\n' > "$corpus/language-map/map.txt"
printf '\xff\xfe0\x004\x000\x009\x00=\x00e\x00n\x00' > "$corpus/language-map/utf16.txt"
find "$corpus" -type f | sort | while read -r f; do printf '%8d %s\n' "$(stat -c %s "$f")" "${f#$root/}"; done
