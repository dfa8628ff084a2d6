#pragma once
// One LZMA stream made with 7-Zip's encoder, in the settings 7-Zip's tool uses for each stream of
// a 7z archive.
#include <windows.h>

#include <string>
#include <vector>

#include "7zTypes.h"
#include "tools/ministub-build/ArchiveHeader.h"

namespace builder {

enum class ELzmaStream {
    eData,     // a block's bytes, or the main stream of its branch converter: the chosen level
    eBranch,   // the converter's call or jump targets: 4-byte addresses, small dictionary
    eHeader,   // the archive's header
};

// Compresses in (expected bytes, for the dictionary) to out; threads 2 lets the match finder run
// on threads of its own. Fills coded.props; error receives one line on failure (a failed read
// leaves it to the reader, which knows why).
bool EncodeLzma(ISeqInStreamPtr in, ISeqOutStreamPtr out, ELzmaStream kind, int level, int threads,
                ULONGLONG expected, CCodedStream& coded, std::string& error);

// Compresses bytes in memory; coded.packed is the size of packed.
bool EncodeLzmaBytes(const std::vector<BYTE>& bytes, ELzmaStream kind, int level, CCodedStream& coded,
                     std::vector<BYTE>& packed, std::string& error);

}  // namespace builder
