#include "package/BlockHash.h"

namespace TARN {

namespace {

struct CCrcTable {
    DWORD entries[256];
    CCrcTable() {
        for (DWORD i = 0; i < 256; ++i) {
            DWORD c = i;
            for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            entries[i] = c;
        }
    }
};

const DWORD* CrcTable() {
    static const CCrcTable table;
    return table.entries;
}

DWORD Step(const DWORD* table, DWORD value, BYTE b) {
    return (value >> 8) ^ table[(value ^ b) & 0xFF];
}

}  // namespace

DWORD Crc32(const void* data, size_t size) {
    const DWORD* table = CrcTable();
    const BYTE* p = static_cast<const BYTE*>(data);
    DWORD value = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) value = Step(table, value, p[i]);
    return ~value;
}

DWORD ComputeBlockHash(const void* data, size_t size) {
    const DWORD* table = CrcTable();
    DWORD value = Crc32(data, size);
    value = Step(table, value, 0x42);
    return Step(table, value, 0x50);
}

}  // namespace TARN
