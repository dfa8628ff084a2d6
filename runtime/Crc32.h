#pragma once
// IEEE 802.3 CRC-32 (reflected polynomial 0xEDB88320), as zlib computes it.
#include <windows.h>

#include <cstddef>

namespace qlLib {

// Initial value 0xFFFFFFFF, final complement.
DWORD Crc32(const void* data, size_t size);

// The table steps alone: state carried on over more bytes, neither initialised nor complemented.
DWORD Crc32Update(DWORD state, const void* data, size_t size);

}  // namespace qlLib
