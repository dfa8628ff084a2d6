#pragma once
// Byte-level PE helpers for tests: little-endian fields in a file image, and small synthetic
// images whose header fields a test chooses (no code, only what a header reader looks at).
#include <windows.h>

#include <cstring>
#include <initializer_list>
#include <utility>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<unsigned char>;

inline DWORD GetDword(const Bytes& b, size_t offset) {
    DWORD v = 0;
    if (offset + 4 <= b.size()) std::memcpy(&v, b.data() + offset, 4);
    return v;
}
inline void PutDword(Bytes& b, size_t offset, DWORD v) {
    if (b.size() < offset + 4) b.resize(offset + 4);
    std::memcpy(b.data() + offset, &v, 4);
}
inline void PutWord(Bytes& b, size_t offset, WORD v) {
    if (b.size() < offset + 2) b.resize(offset + 2);
    std::memcpy(b.data() + offset, &v, 2);
}
inline void Append(Bytes& b, const void* data, size_t size) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    b.insert(b.end(), p, p + size);
}
inline void AppendDword(Bytes& b, DWORD v) { Append(b, &v, 4); }

// The first size bytes with the given fields ({offset, length}) zeroed, for comparing images
// that may differ only there.
inline Bytes Masked(const Bytes& b, size_t size, std::initializer_list<std::pair<size_t, size_t>> fields) {
    Bytes out(b.begin(), b.begin() + (size < b.size() ? size : b.size()));
    for (const auto& f : fields)
        for (size_t i = f.first; i < f.first + f.second && i < out.size(); ++i) out[i] = 0;
    return out;
}

// Offsets of the header fields a real image has, found the way a loader finds them.
struct CPeLayout {
    DWORD ntHeaders = 0;
    bool pe64 = false;
    DWORD ChecksumOffset() const { return ntHeaders + 88; }
    DWORD SecurityEntryOffset() const { return ntHeaders + (pe64 ? 168 : 152); }
};
inline CPeLayout LayoutOf(const Bytes& b) {
    CPeLayout layout;
    layout.ntHeaders = GetDword(b, 0x3C);
    layout.pe64 = b.size() > layout.ntHeaders + 26 &&
                  (b[layout.ntHeaders + 24] | (b[layout.ntHeaders + 25] << 8)) == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    return layout;
}

struct CSyntheticSection {
    DWORD pointerToRawData;
    DWORD sizeOfRawData;
};

// DOS header with e_lfanew, NT headers (PE32 or PE32+), the section table; the file is padded
// to fileSize (when larger than the headers).
inline Bytes MakeSyntheticPe(bool pe64, DWORD lfanew, const std::vector<CSyntheticSection>& sections,
                             DWORD certificateOffset, DWORD certificateSize, size_t fileSize) {
    Bytes b(lfanew, 0);
    PutWord(b, 0, IMAGE_DOS_SIGNATURE);
    PutDword(b, 0x3C, lfanew);
    const WORD optionalSize = pe64 ? sizeof(IMAGE_OPTIONAL_HEADER64) : sizeof(IMAGE_OPTIONAL_HEADER32);
    PutDword(b, lfanew, IMAGE_NT_SIGNATURE);
    PutWord(b, lfanew + 4, pe64 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386);
    PutWord(b, lfanew + 6, static_cast<WORD>(sections.size()));
    PutWord(b, lfanew + 20, optionalSize);
    const DWORD optional = lfanew + 24;
    b.resize(optional + optionalSize, 0);
    PutWord(b, optional, pe64 ? IMAGE_NT_OPTIONAL_HDR64_MAGIC : IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    PutDword(b, optional + (pe64 ? 108 : 92), IMAGE_NUMBEROF_DIRECTORY_ENTRIES);
    const DWORD security = lfanew + (pe64 ? 168 : 152);
    PutDword(b, security, certificateOffset);
    PutDword(b, security + 4, certificateSize);
    for (size_t i = 0; i < sections.size(); ++i) {
        IMAGE_SECTION_HEADER s = {};
        std::memcpy(s.Name, ".sect", 5);
        s.PointerToRawData = sections[i].pointerToRawData;
        s.SizeOfRawData = sections[i].sizeOfRawData;
        Append(b, &s, sizeof s);
    }
    if (fileSize > b.size()) b.resize(fileSize, 0);
    return b;
}

}  // namespace testing_support
