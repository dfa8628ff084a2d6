#pragma once
// The 7z header of the archives the builder writes: the blocks (LZMA, or BCJ2 over four LZMA
// streams as 7-Zip lays it out), the items with names, times, attributes and CRCs, the small
// record that points at the header when it is stored compressed, and the signature header.
#include <windows.h>

#include <vector>

#include "tools/ministub-build/ArchiveWriter.h"

namespace builder {

const size_t kLzmaPropsSize = 5;

// One LZMA stream: its coder properties and packed size.
struct CCodedStream {
    BYTE props[kLzmaPropsSize] = {};
    ULONGLONG packed = 0;
};

// One solid block as the header describes it.
struct CArchiveBlock {
    bool bcj2 = false;
    std::vector<const CArchiveItem*> files;
    std::vector<DWORD> crcs;
    ULONGLONG unpackSize = 0;
    CCodedStream main, call, jump;
    ULONGLONG mainSize = 0, callSize = 0, jumpSize = 0, rcSize = 0;
};

// The plain header: blocks, then the items in order (the blocks' files in block order, the
// items without data anywhere).
std::vector<BYTE> ArchiveHeaderBytes(const std::vector<CArchiveBlock>& blocks,
                                     const std::vector<const CArchiveItem*>& order);

// The record that stands for a header stored as one LZMA stream at packPosition (counted from
// the end of the signature header).
std::vector<BYTE> EncodedHeaderBytes(ULONGLONG packPosition, const CCodedStream& packed, ULONGLONG headerSize,
                                     DWORD headerCrc);

const size_t kSignatureHeaderSize = 32;

// The archive's first bytes: the signature and where the header is (headerOffset counted from
// their end) with the CRCs of both.
void SignatureHeader(ULONGLONG headerOffset, const std::vector<BYTE>& header, BYTE (&bytes)[kSignatureHeaderSize]);

}  // namespace builder
