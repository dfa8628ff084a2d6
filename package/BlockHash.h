#pragma once
// Checksums of the embedded data block.
#include <windows.h>

#include <cstddef>

namespace TARN {

// The hash stored in a version-1 block: the CRC-32 of the serialised collection, carried on
// through two more table steps with the bytes 0x42 and 0x50, without complementing.
DWORD ComputeBlockHash(const void* data, size_t size);

}  // namespace TARN
