#include "tools/ministub-build/ArchiveWriter.h"

#include <algorithm>
#include <memory>

#include "Alloc.h"
#include "Bcj2.h"
#include "LzmaEnc.h"
#include "runtime/Crc32.h"
#include "runtime/Handles.h"
#include "runtime/StringUtils.h"
#include "tools/ministub-build/SettingsText.h"

namespace builder {

namespace {

const size_t kReadChunk = 1 << 20;
const size_t kBcj2Buffer = 1 << 16;   // a multiple of 4, as the call and jump streams need

std::string SystemError(DWORD error) {
    return " (error " + std::to_string(error) + ")";
}

// The 7z property and block identifiers this writer uses.
enum : BYTE {
    kEnd = 0x00, kHeader = 0x01, kMainStreamsInfo = 0x04, kFilesInfo = 0x05, kPackInfo = 0x06,
    kUnpackInfo = 0x07, kSubStreamsInfo = 0x08, kSize = 0x09, kCrc = 0x0A, kFolder = 0x0B,
    kCodersUnpackSize = 0x0C, kNumUnpackStream = 0x0D, kEmptyStream = 0x0E, kEmptyFile = 0x0F,
    kName = 0x11, kMTime = 0x14, kWinAttributes = 0x15,
};

// The C interfaces of 7-Zip's encoders point at their first member: the adapter around them.
template <class T, class Interface>
T* Outer(const Interface* vt) {
    return reinterpret_cast<T*>(const_cast<Interface*>(vt));
}

class COutFile {
public:
    bool Create(const std::wstring& path) {
        m_file.Reset(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
        return m_file.IsValid();
    }
    bool Write(const void* data, size_t size) {
        const BYTE* p = static_cast<const BYTE*>(data);
        while (size > 0) {
            DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size), written = 0;
            if (!::WriteFile(m_file.Get(), p, chunk, &written, nullptr) || written != chunk) return false;
            p += chunk;
            size -= chunk;
            m_position += chunk;
        }
        return true;
    }
    bool WriteAtStart(const void* data, size_t size) {
        LARGE_INTEGER zero = {};
        DWORD written = 0;
        return ::SetFilePointerEx(m_file.Get(), zero, nullptr, FILE_BEGIN) &&
               ::WriteFile(m_file.Get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size;
    }
    bool Close() { return ::FlushFileBuffers(m_file.Get()) && (m_file.Reset(), true); }
    ULONGLONG Position() const { return m_position; }

private:
    qlLib::CFileHandle m_file;
    ULONGLONG m_position = 0;
};

class CProgressCounter {
public:
    CProgressCounter(IArchiveProgress* sink, ULONGLONG total) : m_sink(sink), m_total(total) {}
    void Add(size_t bytes) {
        m_done += bytes;
        if (m_sink) m_sink->OnArchiveProgress(m_done, m_total);
    }

private:
    IArchiveProgress* m_sink;
    ULONGLONG m_total;
    ULONGLONG m_done = 0;
};

// The bytes of a block's files one after the other, with each file's CRC. A file must still have
// the size it was listed with; links planted since the listing are opened as themselves.
class CFileSequence {
public:
    CFileSequence(const std::vector<const CArchiveItem*>& files, CProgressCounter& progress)
        : m_files(files), m_progress(progress) {}

    bool Read(void* buffer, size_t size, size_t& read) {
        read = 0;
        while (read == 0) {
            if (!m_file) {
                if (m_index == m_files.size()) return true;
                const CArchiveItem& item = *m_files[m_index];
                m_file.Reset(::CreateFileW(item.source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
                if (!m_file) return Failed("cannot read " + WideToUtf8(item.source) + SystemError(::GetLastError()));
                m_left = item.size;
                m_crc = 0xFFFFFFFF;
            }
            if (m_left == 0) {
                BYTE extra = 0;
                DWORD n = 0;
                if (!::ReadFile(m_file.Get(), &extra, 1, &n, nullptr) || n != 0) return Changed();
                m_crcs.push_back(~m_crc);
                m_file.Reset();
                ++m_index;
                continue;
            }
            DWORD want = static_cast<DWORD>(std::min<ULONGLONG>(std::min(size, kReadChunk), m_left)), n = 0;
            if (!::ReadFile(m_file.Get(), buffer, want, &n, nullptr)) {
                return Failed("cannot read " + WideToUtf8(m_files[m_index]->source) + SystemError(::GetLastError()));
            }
            if (n == 0) return Changed();
            m_crc = qlLib::Crc32Update(m_crc, buffer, n);
            m_left -= n;
            read = n;
            m_progress.Add(n);
        }
        return true;
    }

    const std::vector<DWORD>& Crcs() const { return m_crcs; }
    const std::string& Error() const { return m_error; }

private:
    bool Failed(const std::string& error) {
        m_error = error;
        return false;
    }
    bool Changed() { return Failed(WideToUtf8(m_files[m_index]->source) + " changed while it was compressed"); }

    const std::vector<const CArchiveItem*>& m_files;
    CProgressCounter& m_progress;
    size_t m_index = 0;
    qlLib::CFileHandle m_file;
    ULONGLONG m_left = 0;
    DWORD m_crc = 0;
    std::vector<DWORD> m_crcs;
    std::string m_error;
};

// A block's bytes as the LZMA encoder pulls them.
struct CPlainSource {
    ISeqInStream vt;
    CFileSequence* files;

    static SRes Read(ISeqInStreamPtr p, void* buffer, size_t* size) {
        size_t read = 0;
        bool ok = Outer<CPlainSource>(p)->files->Read(buffer, *size, read);
        *size = read;
        return ok ? SZ_OK : SZ_ERROR_READ;
    }
};

struct CMemorySource {
    ISeqInStream vt;
    const std::vector<BYTE>* bytes;
    size_t position;

    static SRes Read(ISeqInStreamPtr p, void* buffer, size_t* size) {
        CMemorySource* self = Outer<CMemorySource>(p);
        size_t n = std::min(*size, self->bytes->size() - self->position);
        if (n) memcpy(buffer, self->bytes->data() + self->position, n);
        self->position += n;
        *size = n;
        return SZ_OK;
    }
};

struct CFileSink {
    ISeqOutStream vt;
    COutFile* file;

    static size_t Write(ISeqOutStreamPtr p, const void* data, size_t size) {
        return Outer<CFileSink>(p)->file->Write(data, size) ? size : 0;
    }
};

// BCJ2 over a block's bytes: the main stream is pulled by its LZMA encoder as it is made; the
// call, jump and range coder streams (a few percent of the input) collect in memory.
class CBcj2Splitter {
public:
    explicit CBcj2Splitter(CFileSequence& files) : m_files(files) {
        m_main.vt.Read = &CBcj2Splitter::ReadMain;
        m_main.self = this;
        for (unsigned i = 0; i < BCJ2_NUM_STREAMS; ++i) m_buffers[i].reset(new BYTE[kBcj2Buffer]);
        m_source.reset(new BYTE[kReadChunk]);
        Bcj2Enc_Init(&m_enc);
        m_enc.src = m_enc.srcLim = m_source.get();
        for (unsigned i = 0; i < BCJ2_NUM_STREAMS; ++i) ResetBuffer(i);
    }

    ISeqInStreamPtr Main() const { return &m_main.vt; }
    ULONGLONG MainSize() const { return m_mainSize; }
    const std::vector<BYTE>& Side(unsigned stream) const { return m_side[stream]; }

private:
    static SRes ReadMain(ISeqInStreamPtr p, void* buffer, size_t* size) {
        CBcj2Splitter* self = Outer<CMain>(p)->self;
        const size_t want = *size;
        *size = 0;
        for (;;) {
            const BYTE* start = self->m_buffers[BCJ2_STREAM_MAIN].get() + self->m_served;
            const size_t available = static_cast<size_t>(self->m_enc.bufs[BCJ2_STREAM_MAIN] - start);
            if (available) {
                const size_t n = std::min(available, want);
                memcpy(buffer, start, n);
                self->m_served += n;
                self->m_mainSize += n;
                *size = n;
                return SZ_OK;
            }
            self->ResetBuffer(BCJ2_STREAM_MAIN);
            if (self->m_finished) return SZ_OK;
            if (!self->Run()) return SZ_ERROR_READ;
        }
    }

    void ResetBuffer(unsigned stream) {
        m_enc.bufs[stream] = m_buffers[stream].get();
        m_enc.lims[stream] = m_buffers[stream].get() + kBcj2Buffer;
        if (stream == BCJ2_STREAM_MAIN) m_served = 0;
    }

    void FlushSide(unsigned stream) {
        m_side[stream].insert(m_side[stream].end(), m_buffers[stream].get(), m_enc.bufs[stream]);
        ResetBuffer(stream);
    }

    // Encodes until main output is waiting to be read or the stream is finished.
    bool Run() {
        for (;;) {
            if (m_readDone) m_enc.finishMode = BCJ2_ENC_FINISH_MODE_END_STREAM;
            Bcj2Enc_Encode(&m_enc);
            if (Bcj2Enc_IsFinished(&m_enc)) {
                for (unsigned stream : {BCJ2_STREAM_CALL, BCJ2_STREAM_JUMP, BCJ2_STREAM_RC}) FlushSide(stream);
                m_finished = true;
                return true;
            }
            if (m_enc.state == BCJ2_STREAM_MAIN) return true;
            if (m_enc.state < BCJ2_NUM_STREAMS) {
                FlushSide(m_enc.state);
                continue;
            }
            if (m_readDone) return false;   // the encoder asks for input after the end: never expected
            size_t read = 0;
            if (!m_files.Read(m_source.get(), kReadChunk, read)) return false;
            m_readDone = read == 0;
            m_enc.src = m_source.get();
            m_enc.srcLim = m_source.get() + read;
        }
    }

    struct CMain {
        ISeqInStream vt;
        CBcj2Splitter* self;
    };

    CMain m_main;
    CFileSequence& m_files;
    CBcj2Enc m_enc;
    std::unique_ptr<BYTE[]> m_buffers[BCJ2_NUM_STREAMS];
    std::unique_ptr<BYTE[]> m_source;
    std::vector<BYTE> m_side[BCJ2_NUM_STREAMS];
    size_t m_served = 0;
    ULONGLONG m_mainSize = 0;
    bool m_readDone = false;
    bool m_finished = false;
};

struct CLzmaDeleter {
    void operator()(CLzmaEnc* encoder) const { LzmaEnc_Destroy(encoder, &g_Alloc, &g_BigAlloc); }
};

struct CCoded {
    BYTE props[LZMA_PROPS_SIZE] = {};
    ULONGLONG packed = 0;
};

// One LZMA stream from in to the archive file.
bool EncodeLzma(ISeqInStreamPtr in, COutFile& out, int level, int threads, bool branchStream, ULONGLONG expected,
                CCoded& coded, std::string& error) {
    std::unique_ptr<CLzmaEnc, CLzmaDeleter> encoder(LzmaEnc_Create(&g_Alloc));
    if (!encoder) return error = "out of memory", false;
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = level;
    props.numThreads = threads;
    props.reduceSize = expected;
    if (branchStream) {
        // Call and jump targets: 4-byte little-endian addresses, as 7-Zip codes them.
        props.lc = 0;
        props.lp = 2;
    }
    SizeT propsSize = LZMA_PROPS_SIZE;
    if (LzmaEnc_SetProps(encoder.get(), &props) != SZ_OK ||
        LzmaEnc_WriteProperties(encoder.get(), coded.props, &propsSize) != SZ_OK) {
        return error = "the LZMA encoder refuses its settings", false;
    }
    CFileSink sink{{&CFileSink::Write}, &out};
    const ULONGLONG start = out.Position();
    SRes result = LzmaEnc_Encode(encoder.get(), &sink.vt, in, nullptr, &g_Alloc, &g_BigAlloc);
    coded.packed = out.Position() - start;
    if (result == SZ_OK) return true;
    if (error.empty()) {
        error = result == SZ_ERROR_MEM ? "out of memory while compressing"
                : result == SZ_ERROR_WRITE ? "cannot write the archive" + SystemError(::GetLastError())
                                           : "the LZMA encoder failed (" + std::to_string(result) + ")";
    }
    return false;
}

// One solid block of the archive as the header describes it.
struct CBlock {
    bool bcj2 = false;
    std::vector<const CArchiveItem*> files;
    std::vector<DWORD> crcs;
    ULONGLONG unpackSize = 0;
    CCoded main, call, jump;
    ULONGLONG mainSize = 0, callSize = 0, jumpSize = 0, rcSize = 0;
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
    void LzmaCoder(const BYTE (&props)[LZMA_PROPS_SIZE]) {
        Byte(0x23);   // 3-byte method id, with properties
        Byte(0x03), Byte(0x01), Byte(0x01);
        Number(LZMA_PROPS_SIZE);
        for (BYTE b : props) Byte(b);
    }
    const std::vector<BYTE>& Bytes() const { return m_bytes; }

private:
    std::vector<BYTE> m_bytes;
};

void WriteStreamsInfo(CHeaderBytes& h, const std::vector<CBlock>& blocks) {
    h.Byte(kMainStreamsInfo);
    h.Byte(kPackInfo);
    h.Number(0);
    size_t packStreams = 0;
    for (const CBlock& b : blocks) packStreams += b.bcj2 ? 4 : 1;
    h.Number(packStreams);
    h.Byte(kSize);
    for (const CBlock& b : blocks) {
        h.Number(b.main.packed);
        if (b.bcj2) h.Number(b.rcSize), h.Number(b.call.packed), h.Number(b.jump.packed);
    }
    h.Byte(kEnd);

    h.Byte(kUnpackInfo);
    h.Byte(kFolder);
    h.Number(blocks.size());
    h.Byte(0);   // not external
    for (const CBlock& b : blocks) {
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
    for (const CBlock& b : blocks) {
        if (b.bcj2) h.Number(b.jumpSize), h.Number(b.callSize), h.Number(b.mainSize);
        h.Number(b.unpackSize);
    }
    h.Byte(kEnd);

    h.Byte(kSubStreamsInfo);
    h.Byte(kNumUnpackStream);
    bool several = false;
    for (const CBlock& b : blocks) {
        h.Number(b.files.size());
        several |= b.files.size() > 1;
    }
    if (several) {
        h.Byte(kSize);
        for (const CBlock& b : blocks) {
            for (size_t i = 0; i + 1 < b.files.size(); ++i) h.Number(b.files[i]->size);
        }
    }
    h.Byte(kCrc);
    h.Byte(1);   // all defined
    for (const CBlock& b : blocks) {
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

bool IsExecutableName(const std::wstring& name) {
    static const wchar_t* const kExtensions[] = {L".exe", L".dll", L".sys", L".ocx", L".cpl", L".scr", L".drv", L".efi"};
    const size_t dot = name.find_last_of(L".\\/");
    if (dot == std::wstring::npos || name[dot] != L'.') return false;
    for (const wchar_t* extension : kExtensions) {
        if (qlLib::EqualsNoCase(name.c_str() + dot, extension)) return true;
    }
    return false;
}

bool CArchiveWriter::Write(const std::vector<CArchiveItem>& items, const std::wstring& path, CArchiveStats& stats,
                           std::string& error) {
    try {
        stats = CArchiveStats();
        std::vector<const CArchiveItem*> order;
        std::vector<CBlock> blocks(2);
        blocks[0].bcj2 = true;
        for (const CArchiveItem& item : items) {
            if (item.folder) {
                ++stats.folders;
            } else {
                ++stats.files;
                stats.sourceBytes += item.size;
            }
            if (item.folder || item.size == 0) {
                order.push_back(&item);
                continue;
            }
            CBlock& block = blocks[IsExecutableName(item.name) ? 0 : 1];
            block.files.push_back(&item);
            block.unpackSize += item.size;
        }
        stats.executables = static_cast<DWORD>(blocks[0].files.size());
        blocks.erase(std::remove_if(blocks.begin(), blocks.end(), [](const CBlock& b) { return b.files.empty(); }),
                     blocks.end());
        for (const CBlock& b : blocks) order.insert(order.end(), b.files.begin(), b.files.end());

        COutFile out;
        if (!out.Create(path)) return error = "cannot create " + WideToUtf8(path) + SystemError(::GetLastError()), false;
        BYTE signature[32] = {};
        if (!out.Write(signature, sizeof signature)) return error = "cannot write " + WideToUtf8(path), false;

        CProgressCounter progress(m_progress, stats.sourceBytes);
        for (CBlock& block : blocks) {
            CFileSequence files(block.files, progress);
            if (block.bcj2) {
                CBcj2Splitter splitter(files);
                if (!EncodeLzma(splitter.Main(), out, m_level, m_threads, false, block.unpackSize, block.main, error)) {
                    if (!files.Error().empty()) error = files.Error();
                    return false;
                }
                block.mainSize = splitter.MainSize();
                const std::vector<BYTE>& rc = splitter.Side(BCJ2_STREAM_RC);
                block.rcSize = rc.size();
                if (!out.Write(rc.data(), rc.size())) return error = "cannot write " + WideToUtf8(path), false;
                CMemorySource call{{&CMemorySource::Read}, &splitter.Side(BCJ2_STREAM_CALL), 0};
                CMemorySource jump{{&CMemorySource::Read}, &splitter.Side(BCJ2_STREAM_JUMP), 0};
                block.callSize = call.bytes->size();
                block.jumpSize = jump.bytes->size();
                if (!EncodeLzma(&call.vt, out, m_level, 1, true, block.callSize, block.call, error) ||
                    !EncodeLzma(&jump.vt, out, m_level, 1, true, block.jumpSize, block.jump, error)) {
                    return false;
                }
                if (block.mainSize + block.callSize + block.jumpSize != block.unpackSize) {
                    return error = "the branch converter lost bytes", false;
                }
            } else {
                CPlainSource source{{&CPlainSource::Read}, &files};
                if (!EncodeLzma(&source.vt, out, m_level, m_threads, false, block.unpackSize, block.main, error)) {
                    if (!files.Error().empty()) error = files.Error();
                    return false;
                }
            }
            block.crcs = files.Crcs();
            if (block.crcs.size() != block.files.size()) return error = "a file of the block was not read to its end", false;
        }

        CHeaderBytes header;
        header.Byte(kHeader);
        if (!blocks.empty()) WriteStreamsInfo(header, blocks);
        WriteFilesInfo(header, order);
        header.Byte(kEnd);
        const std::vector<BYTE>& bytes = header.Bytes();
        const ULONGLONG headerOffset = out.Position() - sizeof signature;
        if (!out.Write(bytes.data(), bytes.size())) return error = "cannot write " + WideToUtf8(path), false;

        CHeaderBytes start;
        start.Fixed(headerOffset, 8);
        start.Fixed(bytes.size(), 8);
        start.Fixed(qlLib::Crc32(bytes.data(), bytes.size()), 4);
        const BYTE magic[8] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
        memcpy(signature, magic, sizeof magic);
        const DWORD startCrc = qlLib::Crc32(start.Bytes().data(), start.Bytes().size());
        memcpy(signature + 8, &startCrc, 4);
        memcpy(signature + 12, start.Bytes().data(), start.Bytes().size());
        stats.archiveBytes = out.Position();
        if (!out.WriteAtStart(signature, sizeof signature) || !out.Close()) {
            return error = "cannot write " + WideToUtf8(path) + SystemError(::GetLastError()), false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        return false;
    }
}

}  // namespace builder
