#include "package/BlockHash.h"

#include "runtime/Crc32.h"

namespace TARN {

DWORD ComputeBlockHash(const void* data, size_t size) {
    static const BYTE kTail[] = {0x42, 0x50};
    return qlLib::Crc32Update(qlLib::Crc32(data, size), kTail, sizeof(kTail));
}

}  // namespace TARN
