#include "runtime/Crc32.h"

namespace qlLib {

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

}  // namespace

DWORD Crc32Update(DWORD state, const void* data, size_t size) {
    const DWORD* table = CrcTable();
    const BYTE* p = static_cast<const BYTE*>(data);
    for (size_t i = 0; i < size; ++i) state = (state >> 8) ^ table[(state ^ p[i]) & 0xFF];
    return state;
}

DWORD Crc32(const void* data, size_t size) {
    return ~Crc32Update(0xFFFFFFFFu, data, size);
}

}  // namespace qlLib
