#!/usr/bin/env python3
"""Makes the 7z archives the unit tests read: make_7z_archives.py SEVENZIP_TOOL OUTPUT_DIR

payload/          the tree that went into the tree archives (the tests compare against it)
tree-bcj2.7z      payload, LZMA + BCJ2 (what packages carry)
tree-lzma2.7z     payload, LZMA2
embedded.bin      4096 bytes, tree-lzma2.7z, 4096 bytes: an archive inside a larger file
damaged-store.7z  one stored file with flipped data bytes (CRC error)
damaged-lzma.7z   one LZMA file with flipped packed bytes
hostile-NN.7z     one stored item each, its name patched to HOSTILE_NAMES[NN]
"""
import os
import shutil
import struct
import subprocess
import sys
import zlib

# Names as the archive stores them ('/' separates folders). The tests keep the same list.
HOSTILE_NAMES = [
    "../evil.txt",
    "a/../../evil.txt",
    "InstallPackage/../../evil.txt",
    "/evil.txt",
    "C:/evil.txt",
    "C:evil.txt",
    "//srv/share/evil.txt",
    "//?/C:/evil.txt",
    "evil.txt:stream",
    "CON",
    "nul.txt",
    "sub/COM1",
    "lpt9.log",
    "AuX",
]

PAD = 4096
DATED = 1299215167  # 2011-03-04 05:06:07 UTC


def run_7z(tool, cwd, archive, names, *switches):
    subprocess.run([tool, "a", "-t7z", "-bd", "-y", archive, *switches, "--", *names], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL)


def code_like(size):
    """Bytes with plenty of x86 call/jump opcodes, so that BCJ2 has work to do."""
    out = bytearray()
    i = 0
    while len(out) < size:
        out += bytes([0x55, 0x8B, 0xEC, 0xE8]) + struct.pack("<i", (i * 7919) % 65536 - 32768)
        out += bytes([0x83, 0xC4, i % 256, 0xE9]) + struct.pack("<I", i * 13)
        out += b"text %06d " % i
        i += 1
    return bytes(out[:size])


def write(path, data, mode=None, mtime=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    if mtime is not None:
        os.utime(path, (mtime, mtime))
    if mode is not None:
        os.chmod(path, mode)


def make_payload(root):
    write(os.path.join(root, "installpackage", "Engine.dll"), code_like(300000))
    write(os.path.join(root, "installpackage", "lang", "en.txt"), b"English strings\r\n")
    write(os.path.join(root, "InstallPackageOld", "stale.txt"), b"not part of the install package\r\n")
    write(os.path.join(root, "docs", "readme.txt"), b"read me\r\n")
    write(os.path.join(root, "docs", "deep", "a", "b", "c.txt"), b"nested three levels down\r\n")
    write(os.path.join(root, "empty.bin"), b"")
    write(os.path.join(root, "dated.txt"), b"a fixed time\r\n", mtime=DATED)
    write(os.path.join(root, "readonly.txt"), b"do not change\r\n", mode=0o444)
    # Set-group-ID: its mode bits, taken for Windows flags, would ask for delete-on-close.
    write(os.path.join(root, "tools", "setgid.dat"), b"kept after closing\r\n", mode=0o2644)
    os.makedirs(os.path.join(root, "emptyfolder"))


def header_bounds(data):
    offset, size = struct.unpack_from("<QQ", data, 12)
    return 32 + offset, size


def fix_crcs(data):
    start, size = header_bounds(data)
    struct.pack_into("<I", data, 28, zlib.crc32(data[start:start + size]) & 0xFFFFFFFF)
    struct.pack_into("<I", data, 8, zlib.crc32(data[12:32]) & 0xFFFFFFFF)


def make_hostile(tool, work, out, index, name):
    folder = os.path.join(work, "hostile%02d" % index)
    os.makedirs(folder)
    placeholder = "q" * len(name)
    write(os.path.join(folder, placeholder), b"must never be written\r\n")
    archive = os.path.join(work, "hostile%02d.7z" % index)
    run_7z(tool, folder, archive, [placeholder], "-mx0", "-mhc=off")
    data = bytearray(open(archive, "rb").read())
    start, size = header_bounds(data)
    old = (placeholder + "\0").encode("utf-16-le")
    at = data.find(old, start, start + size)
    if at < 0 or data.find(old, at + 1, start + size) >= 0:
        sys.exit("make_7z_archives: placeholder name not found once in the header")
    data[at:at + len(old)] = (name + "\0").encode("utf-16-le")
    fix_crcs(data)
    open(os.path.join(out, "hostile-%02d.7z" % index), "wb").write(data)


def make_damaged(tool, work, out, name, *switches):
    folder = os.path.join(work, name)
    write(os.path.join(folder, "victim.bin"), code_like(200000))
    archive = os.path.join(out, name + ".7z")
    run_7z(tool, folder, archive, ["victim.bin"], *switches)
    data = bytearray(open(archive, "rb").read())
    packed_end, _ = header_bounds(data)
    middle = 32 + (packed_end - 32) // 2
    for i in range(middle, middle + 16):
        data[i] ^= 0x5A
    open(archive, "wb").write(data)


def main():
    tool, out = sys.argv[1], os.path.abspath(sys.argv[2])
    if os.path.isdir(out):
        shutil.rmtree(out)
    work = os.path.join(out, "work")
    payload = os.path.join(out, "payload")
    os.makedirs(work)
    make_payload(payload)
    names = sorted(os.listdir(payload))
    run_7z(tool, payload, os.path.join(out, "tree-bcj2.7z"), names, "-m0=LZMA", "-mf=BCJ2")
    run_7z(tool, payload, os.path.join(out, "tree-lzma2.7z"), names, "-m0=LZMA2")
    with open(os.path.join(out, "embedded.bin"), "wb") as f:
        f.write(b"\xCC" * PAD)
        f.write(open(os.path.join(out, "tree-lzma2.7z"), "rb").read())
        f.write(b"\xCC" * PAD)
    make_damaged(tool, work, out, "damaged-store", "-mx0")
    make_damaged(tool, work, out, "damaged-lzma", "-m0=LZMA")
    for index, name in enumerate(HOSTILE_NAMES):
        make_hostile(tool, work, out, index, name)
    shutil.rmtree(work)
    open(os.path.join(out, "stamp"), "w").write("done\n")


if __name__ == "__main__":
    main()
