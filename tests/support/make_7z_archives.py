#!/usr/bin/env python3
"""Makes the 7z archives the unit tests read: make_7z_archives.py SEVENZIP_TOOL OUTPUT_DIR

payload/          the tree that went into the tree archives (the tests compare against it)
tree-bcj2.7z      payload, LZMA + BCJ2 (what packages carry)
tree-lzma2.7z     payload, LZMA2
embedded.bin      4096 bytes, tree-lzma2.7z, 4096 bytes: an archive inside a larger file
damaged-store.7z  one stored file with flipped data bytes (CRC error)
damaged-lzma.7z   one LZMA file with flipped packed bytes
hostile-NN.7z     one stored item each, its name patched to HOSTILE_NAMES[NN]
coder-NAME.7z     coders/NAME/ packed with one coder or filter (CODER_ARCHIVES): by 7-Zip's own
                  choice for the content where it makes one, else named with -mf / -m0 / -mx
"""
import math
import os
import random
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

# name: (file, content kind, switches). The kinds are made by coder_sample(); the tests keep the
# names and the method each must show.
CODER_ARCHIVES = {
    # 7-Zip picks these itself, by content, with its default settings.
    "auto-delta": ("sound.wav", "wav", []),
    "auto-bcj": ("x86.dll", "pe-014c", []),
    "auto-arm64": ("arm64.dll", "pe-aa64", []),
    "auto-arm": ("arm.dll", "pe-01c2", []),
    "auto-armt": ("armt.dll", "pe-01c4", []),
    "auto-ia64": ("ia64.dll", "pe-0200", []),
    "auto-ppc": ("libppc.so", "elf-be-21", []),
    "auto-sparc": ("libsparc.so", "elf-be-43", []),
    "auto-lzma2": ("notes.txt", "text", []),
    # ... with a higher level (BCJ2), or once told that the reader is new enough (RISC-V).
    "auto-bcj2": ("x86.dll", "pe-014c", ["-mx9"]),
    "auto-riscv": ("riscv.dll", "pe-5064", ["-myv=2402"]),
    # Named explicitly, over data of an odd length (the filters leave a tail unconverted).
    "mf-delta": ("data.bin", "branchy", ["-mf=Delta:4"]),
    "mf-bcj": ("data.bin", "branchy", ["-mf=BCJ"]),
    "mf-bcj2": ("data.bin", "branchy", ["-m0=LZMA", "-mf=BCJ2"]),
    "mf-arm64": ("data.bin", "branchy", ["-mf=ARM64:4096"]),
    "mf-arm": ("data.bin", "branchy", ["-mf=ARM"]),
    "mf-armt": ("data.bin", "branchy", ["-mf=ARMT"]),
    "mf-ppc": ("data.bin", "branchy", ["-mf=PPC"]),
    "mf-sparc": ("data.bin", "branchy", ["-mf=SPARC"]),
    "mf-ia64": ("data.bin", "branchy", ["-mf=IA64"]),
    "mf-riscv": ("data.bin", "branchy", ["-mf=RISCV:4096"]),
    "m0-lzma": ("notes.txt", "text", ["-m0=LZMA"]),
    "mx0-copy": ("notes.txt", "text", ["-mx0"]),
}

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


def branchy(size, seed):
    """Random words, repeated in runs: compressible, and full of every processor's branch shapes."""
    rnd = random.Random(seed)
    pool = bytes(rnd.getrandbits(8) for _ in range(8192))
    out = bytearray()
    while len(out) < size:
        start = rnd.randrange(0, len(pool) - 256) & ~15
        out += pool[start:start + rnd.choice((16, 64, 256))]
    return bytes(out[:size])


def coder_sample(kind):
    """Content that makes 7-Zip choose a filter by itself: a PCM WAV header, or the headers of a
    PE or ELF program for one processor, over branchy() bytes."""
    if kind == "text":
        return b"".join(b"line %05d of plain text for the coders\r\n" % i for i in range(3000))
    if kind == "branchy":
        return branchy(65536 + 37, 7)
    if kind == "wav":
        frames = b"".join(struct.pack("<hh", int(12000 * math.sin(i * 0.05)), int(9000 * math.sin(i * 0.031)))
                          for i in range(20000))
        return (b"RIFF" + struct.pack("<I", 36 + len(frames)) + b"WAVE" + b"fmt " +
                struct.pack("<IHHIIHH", 16, 1, 2, 44100, 44100 * 4, 4, 16) + b"data" +
                struct.pack("<I", len(frames)) + frames)
    form, *rest = kind.split("-")
    data = bytearray(branchy(65536, kind))   # sizes aligned as the filters want them
    if form == "pe":
        data[0:2] = b"MZ"
        struct.pack_into("<I", data, 0x3C, 0x80)
        data[0x80:0x84] = b"PE\0\0"
        struct.pack_into("<HHIIIHH", data, 0x84, int(rest[0], 16), 1, 0, 0, 0, 0xE0, 0x2102)
        struct.pack_into("<H", data, 0x98, 0x10B)
    else:
        data[0:7] = b"\x7fELF" + bytes([1, 2 if rest[0] == "be" else 1, 1])
        struct.pack_into(">H" if rest[0] == "be" else "<H", data, 0x12, int(rest[1]))
    return bytes(data)


def make_coder_archives(tool, out):
    for name, (file, kind, switches) in CODER_ARCHIVES.items():
        folder = os.path.join(out, "coders", name)
        write(os.path.join(folder, file), coder_sample(kind))
        run_7z(tool, folder, os.path.join(out, "coder-%s.7z" % name), [file], *switches)


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
    make_coder_archives(tool, out)
    shutil.rmtree(work)
    open(os.path.join(out, "stamp"), "w").write("done\n")


if __name__ == "__main__":
    main()
