#include "tools/ministub-build/ArchiveHeader.h"

#include <algorithm>
#include <cstring>

#include "runtime/Crc32.h"

namespace builder {

namespace {

// The 7z property and block identifiers this writer uses.
enum : BYTE {
    kEnd = 0x00, kHeader = 0x01, kMainStreamsInfo = 0x04, kFilesInfo = 0x05, kPackInfo = 0x06,
    kUnpackInfo = 0x07, kSubStreamsInfo = 0x08, kSize = 0x09, kCrc = 0x0A, kFolder = 0x0B,
    kCodersUnpackSize = 0x0C, kNumUnpackStream = 0x0D, kEmptyStream = 0x0E, kEmptyFile = 0x0F,
    kName = 0x11, kMTime = 0x14, kWinAttributes = 0x15, kEncodedHeader = 0x17,
};

class CHeaderBytes {
public:
    void Byte(BYTE b) { m_bytes.push_back(b); }
    void Number(ULONGLONG value) {
        BYTE first = 0, mask = 0x80;
        int i = 0;
        for (; i < 8; ++i) {
            if (value < (1ULL << (7 * (i + 1)))) {
                first |= static_cast<BYTE>(value >> (8 * i));
                break;
            }
            first |= mask;
            mask >>= 1;
        }
        Byte(first);
        for (; i > 0; --i, value >>= 8) Byte(static_cast<BYTE>(value));
    }
    void Fixed(ULONGLONG value, int bytes) {
        for (int i = 0; i < bytes; ++i, value >>= 8) Byte(static_cast<BYTE>(value));
    }
    void Bits(const std::vector<bool>& bits) {
        BYTE current = 0, mask = 0x80;
        for (bool bit : bits) {
            if (bit) current |= mask;
            mask >>= 1;
            if (!mask) {
                Byte(current);
                current = 0;
                mask = 0x80;
            }
        }
        if (mask != 0x80) Byte(current);
    }
    void LzmaCoder(const BYTE (&props)[kLzmaPropsSize]) {
        Byte(0x23);   // 3-byte method id, with properties
        Byte(0x03), Byte(0x01), Byte(0x01);
        Number(kLzmaPropsSize);
        for (BYTE b : props) Byte(b);
    }
    const std::vector<BYTE>& Bytes() const { return m_bytes; }

private:
    std::vector<BYTE> m_bytes;
};

void WriteStreamsInfo(CHeaderBytes& h, const std::vector<CArchiveBlock>& blocks) {
    h.Byte(kMainStreamsInfo);
    h.Byte(kPackInfo);
    h.Number(0);
    size_t packStreams = 0;
    for (const CArchiveBlock& b : blocks) packStreams += b.bcj2 ? 4 : 1;
    h.Number(packStreams);
    h.Byte(kSize);
    for (const CArchiveBlock& b : blocks) {
        h.Number(b.main.packed);
        if (b.bcj2) h.Number(b.rcSize), h.Number(b.call.packed), h.Number(b.jump.packed);
    }
    h.Byte(kEnd);

    h.Byte(kUnpackInfo);
    h.Byte(kFolder);
    h.Number(blocks.size());
    h.Byte(0);   // not external
    for (const CArchiveBlock& b : blocks) {
        if (!b.bcj2) {
            h.Number(1);
            h.LzmaCoder(b.main.props);
            continue;
        }
        // The layout 7-Zip itself writes: coders jump, call and main LZMA, then BCJ2 with its
        // inputs 3 (main) 4 (call) 5 (jump) 6 (range coder) bound to the LZMA outputs; packed
        // streams in the order main, range coder, call, jump.
        h.Number(4);
        h.LzmaCoder(b.jump.props);
        h.LzmaCoder(b.call.props);
        h.LzmaCoder(b.main.props);
        h.Byte(0x14);   // 4-byte method id, more than one stream
        h.Byte(0x03), h.Byte(0x03), h.Byte(0x01), h.Byte(0x1B);
        h.Number(4), h.Number(1);
        h.Number(5), h.Number(0), h.Number(4), h.Number(1), h.Number(3), h.Number(2);
        h.Number(2), h.Number(6), h.Number(1), h.Number(0);
    }
    h.Byte(kCodersUnpackSize);
    for (const CArchiveBlock& b : blocks) {
        if (b.bcj2) h.Number(b.jumpSize), h.Number(b.callSize), h.Number(b.mainSize);
        h.Number(b.unpackSize);
    }
    h.Byte(kEnd);

    h.Byte(kSubStreamsInfo);
    h.Byte(kNumUnpackStream);
    bool several = false;
    for (const CArchiveBlock& b : blocks) {
        h.Number(b.files.size());
        several |= b.files.size() > 1;
    }
    if (several) {
        h.Byte(kSize);
        for (const CArchiveBlock& b : blocks) {
            for (size_t i = 0; i + 1 < b.files.size(); ++i) h.Number(b.files[i]->size);
        }
    }
    h.Byte(kCrc);
    h.Byte(1);   // all defined
    for (const CArchiveBlock& b : blocks) {
        for (DWORD crc : b.crcs) h.Fixed(crc, 4);
    }
    h.Byte(kEnd);
    h.Byte(kEnd);
}

void WriteFilesInfo(CHeaderBytes& h, const std::vector<const CArchiveItem*>& order) {
    h.Byte(kFilesInfo);
    h.Number(order.size());
    std::vector<bool> emptyStream, emptyFile;
    for (const CArchiveItem* item : order) {
        const bool empty = item->folder || item->size == 0;
        emptyStream.push_back(empty);
        if (empty) emptyFile.push_back(!item->folder);
    }
    if (!emptyFile.empty()) {
        h.Byte(kEmptyStream);
        h.Number((emptyStream.size() + 7) / 8);
        h.Bits(emptyStream);
        if (std::find(emptyFile.begin(), emptyFile.end(), true) != emptyFile.end()) {
            h.Byte(kEmptyFile);
            h.Number((emptyFile.size() + 7) / 8);
            h.Bits(emptyFile);
        }
    }
    size_t nameBytes = 1;
    for (const CArchiveItem* item : order) nameBytes += (item->name.size() + 1) * 2;
    h.Byte(kName);
    h.Number(nameBytes);
    h.Byte(0);
    for (const CArchiveItem* item : order) {
        for (wchar_t c : item->name) h.Fixed(c == L'\\' ? L'/' : c, 2);
        h.Fixed(0, 2);
    }
    h.Byte(kMTime);
    h.Number(2 + 8 * order.size());
    h.Byte(1), h.Byte(0);
    for (const CArchiveItem* item : order) {
        h.Fixed((static_cast<ULONGLONG>(item->modified.dwHighDateTime) << 32) | item->modified.dwLowDateTime, 8);
    }
    h.Byte(kWinAttributes);
    h.Number(2 + 4 * order.size());
    h.Byte(1), h.Byte(0);
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE;
    for (const CArchiveItem* item : order) {
        h.Fixed((item->attributes & kept) | (item->folder ? FILE_ATTRIBUTE_DIRECTORY : 0), 4);
    }
    h.Byte(kEnd);
}

}  // namespace

std::vector<BYTE> ArchiveHeaderBytes(const std::vector<CArchiveBlock>& blocks,
                                     const std::vector<const CArchiveItem*>& order) {
    CHeaderBytes header;
    header.Byte(kHeader);
    if (!blocks.empty()) WriteStreamsInfo(header, blocks);
    WriteFilesInfo(header, order);
    header.Byte(kEnd);
    return header.Bytes();
}

std::vector<BYTE> EncodedHeaderBytes(ULONGLONG packPosition, const CCodedStream& packed, ULONGLONG headerSize,
                                     DWORD headerCrc) {
    CHeaderBytes h;
    h.Byte(kEncodedHeader);
    h.Byte(kPackInfo);
    h.Number(packPosition);
    h.Number(1);
    h.Byte(kSize);
    h.Number(packed.packed);
    h.Byte(kEnd);
    h.Byte(kUnpackInfo);
    h.Byte(kFolder);
    h.Number(1);
    h.Byte(0);   // not external
    h.Number(1);
    h.LzmaCoder(packed.props);
    h.Byte(kCodersUnpackSize);
    h.Number(headerSize);
    h.Byte(kCrc);
    h.Byte(1);   // all defined
    h.Fixed(headerCrc, 4);
    h.Byte(kEnd);
    h.Byte(kEnd);
    return h.Bytes();
}

void SignatureHeader(ULONGLONG headerOffset, const std::vector<BYTE>& header, BYTE (&bytes)[kSignatureHeaderSize]) {
    CHeaderBytes start;
    start.Fixed(headerOffset, 8);
    start.Fixed(header.size(), 8);
    start.Fixed(qlLib::Crc32(header.data(), header.size()), 4);
    const BYTE magic[8] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
    memcpy(bytes, magic, sizeof magic);
    const DWORD startCrc = qlLib::Crc32(start.Bytes().data(), start.Bytes().size());
    memcpy(bytes + 8, &startCrc, 4);
    memcpy(bytes + 12, start.Bytes().data(), start.Bytes().size());
}

}  // namespace builder
