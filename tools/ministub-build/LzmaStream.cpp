#include "tools/ministub-build/LzmaStream.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "Alloc.h"
#include "LzmaEnc.h"

namespace builder {

namespace {

static_assert(kLzmaPropsSize == LZMA_PROPS_SIZE, "LZMA coder properties are 5 bytes");

struct CLzmaDeleter {
    void operator()(CLzmaEnc* encoder) const { LzmaEnc_Destroy(encoder, &g_Alloc, &g_BigAlloc); }
};

// The C interfaces of 7-Zip's encoder point at their first member: the adapters around them.
struct CMemorySource {
    ISeqInStream vt;
    const std::vector<BYTE>* bytes;
    size_t position;

    static SRes Read(ISeqInStreamPtr p, void* buffer, size_t* size) {
        CMemorySource* self = reinterpret_cast<CMemorySource*>(const_cast<ISeqInStream*>(p));
        const size_t n = std::min(*size, self->bytes->size() - self->position);
        if (n) memcpy(buffer, self->bytes->data() + self->position, n);
        self->position += n;
        *size = n;
        return SZ_OK;
    }
};

struct CMemorySink {
    ISeqOutStream vt;
    std::vector<BYTE>* bytes;

    static size_t Write(ISeqOutStreamPtr p, const void* data, size_t size) {
        CMemorySink* self = reinterpret_cast<CMemorySink*>(const_cast<ISeqOutStream*>(p));
        try {
            const BYTE* bytes = static_cast<const BYTE*>(data);
            self->bytes->insert(self->bytes->end(), bytes, bytes + size);
            return size;
        } catch (const std::bad_alloc&) {
            return 0;   // the encoder ends with a write error
        }
    }
};

}  // namespace

bool EncodeLzma(ISeqInStreamPtr in, ISeqOutStreamPtr out, ELzmaStream kind, int level, int threads,
                ULONGLONG expected, CCodedStream& coded, std::string& error) {
    std::unique_ptr<CLzmaEnc, CLzmaDeleter> encoder(LzmaEnc_Create(&g_Alloc));
    if (!encoder) return error = "out of memory", false;
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = level;
    props.numThreads = threads;
    props.reduceSize = expected;
    if (kind == ELzmaStream::eBranch) {
        // 7-Zip's settings for the converter's side streams: little-endian 4-byte addresses.
        props.dictSize = 1 << 20;
        props.fb = 128;
        props.lc = 0;
        props.lp = 2;
        props.numThreads = 1;
    } else if (kind == ELzmaStream::eHeader) {
        // As 7-Zip compresses its headers: a small dictionary and long matches.
        props.level = 5;
        props.dictSize = 1 << 20;
        props.fb = 273;
        props.btMode = 1;
        props.numHashBytes = 2;
        props.numThreads = 1;
    }
    SizeT propsSize = LZMA_PROPS_SIZE;
    if (LzmaEnc_SetProps(encoder.get(), &props) != SZ_OK ||
        LzmaEnc_WriteProperties(encoder.get(), coded.props, &propsSize) != SZ_OK) {
        return error = "the LZMA encoder refuses its settings", false;
    }
    const SRes result = LzmaEnc_Encode(encoder.get(), out, in, nullptr, &g_Alloc, &g_BigAlloc);
    if (result == SZ_OK) return true;
    if (result == SZ_ERROR_MEM) {
        error = "out of memory while compressing";
    } else if (result == SZ_ERROR_WRITE) {
        error = "cannot write the archive (error " + std::to_string(::GetLastError()) + ")";
    } else if (result != SZ_ERROR_READ) {
        error = "the LZMA encoder failed (" + std::to_string(result) + ")";
    }
    return false;
}

bool EncodeLzmaBytes(const std::vector<BYTE>& bytes, ELzmaStream kind, int level, CCodedStream& coded,
                     std::vector<BYTE>& packed, std::string& error) {
    packed.clear();
    CMemorySource source{{&CMemorySource::Read}, &bytes, 0};
    CMemorySink sink{{&CMemorySink::Write}, &packed};
    if (!EncodeLzma(&source.vt, &sink.vt, kind, level, 1, bytes.size(), coded, error)) {
        // Memory is all that can fail between two buffers.
        error = "out of memory while compressing";
        return false;
    }
    coded.packed = packed.size();
    return true;
}

}  // namespace builder
