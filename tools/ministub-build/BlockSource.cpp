#include "tools/ministub-build/BlockSource.h"

#include <algorithm>

#include "runtime/Crc32.h"
#include "runtime/Handles.h"
#include "tools/ministub-build/LzmaStream.h"
#include "tools/ministub-build/SettingsText.h"

namespace builder {

namespace {

const size_t kReadChunk = 1 << 20;
const size_t kMainChunk = 1 << 20;
const size_t kSideBuffer = 1 << 16;   // a multiple of 4, as the call and jump streams need

std::string SystemError(DWORD error) {
    return " (error " + std::to_string(error) + ")";
}

}  // namespace

CBlockSource::CBlockSource(const CArchiveBlock& block, int level, CProgressCounter& progress)
    : m_block(block), m_level(level), m_progress(progress) {
    m_stream.vt.Read = &CBlockSource::Read;
    m_stream.self = this;
    Bcj2Enc_Init(&m_enc);
}

CBlockSource::~CBlockSource() {
    if (m_started) {
        m_queue.GiveUp();
        WaitForThread(INFINITE);
    }
}

bool CBlockSource::Start(std::string& error) {
    if (m_block.bcj2) {
        m_input.resize(kReadChunk);
        m_main.resize(kMainChunk);
        m_enc.bufs[BCJ2_STREAM_MAIN] = m_main.data();
        m_enc.lims[BCJ2_STREAM_MAIN] = m_main.data() + m_main.size();
        for (unsigned stream : {BCJ2_STREAM_CALL, BCJ2_STREAM_JUMP, BCJ2_STREAM_RC}) {
            m_buffers[stream].resize(kSideBuffer);
            m_enc.bufs[stream] = m_buffers[stream].data();
            m_enc.lims[stream] = m_buffers[stream].data() + kSideBuffer;
        }
    }
    m_started = StartThread();
    if (!m_started) error = "cannot start a thread" + SystemError(::GetLastError());
    return m_started;
}

bool CBlockSource::Finish(bool coderFailed, std::string& error) {
    if (coderFailed) m_queue.GiveUp();
    WaitForThread(INFINITE);
    m_started = false;
    if (m_ok) return true;
    if (!m_error.empty()) error = m_error;
    return false;
}

SRes CBlockSource::Read(ISeqInStreamPtr p, void* buffer, size_t* size) {
    CBlockSource* self = reinterpret_cast<const CStream*>(p)->self;
    size_t taken = 0;
    const bool ok = self->m_queue.Take(buffer, *size, taken);
    *size = taken;
    return ok ? SZ_OK : SZ_ERROR_READ;
}

DWORD CBlockSource::Run() {
    bool ok = false;
    try {
        ok = ReadFiles();
        m_queue.Close(!ok);
        if (ok && m_block.bcj2) {
            ok = EncodeLzmaBytes(m_side[BCJ2_STREAM_CALL], ELzmaStream::eBranch, m_level, m_call, m_packedCall,
                                 m_error) &&
                 EncodeLzmaBytes(m_side[BCJ2_STREAM_JUMP], ELzmaStream::eBranch, m_level, m_jump, m_packedJump,
                                 m_error);
        }
    } catch (const std::bad_alloc&) {
        ok = Failed("out of memory");
    }
    m_queue.Close(!ok);
    m_ok = ok;
    return 0;
}

bool CBlockSource::Failed(const std::string& error) {
    m_error = error;
    return false;
}

bool CBlockSource::ReadFiles() {
    std::vector<BYTE> chunk;
    for (const CArchiveItem* item : m_block.files) {
        const std::string source = WideToUtf8(item->source);
        qlLib::CFileHandle file(::CreateFileW(item->source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT,
                                              nullptr));
        if (!file) return Failed("cannot read " + source + SystemError(::GetLastError()));
        if (m_block.bcj2) {
            // Addresses count from the file's start; targets outside it are not converted.
            m_enc.fileIp64 = m_enc.ip64;
            Bcj2Enc_SET_FileSize(&m_enc, item->size)
        }
        DWORD crc = 0xFFFFFFFF;
        for (ULONGLONG left = item->size; left > 0;) {
            std::vector<BYTE>& buffer = m_block.bcj2 ? m_input : chunk;
            const DWORD want = static_cast<DWORD>(std::min<ULONGLONG>(kReadChunk, left));
            buffer.resize(want);
            DWORD n = 0;
            if (!::ReadFile(file.Get(), buffer.data(), want, &n, nullptr)) {
                return Failed("cannot read " + source + SystemError(::GetLastError()));
            }
            if (n == 0) return Failed(source + " changed while it was compressed");
            crc = qlLib::Crc32Update(crc, buffer.data(), n);
            left -= n;
            m_progress.Add(n);
            if (m_block.bcj2) {
                m_enc.src = buffer.data();
                m_enc.srcLim = buffer.data() + n;
                // A file's last bytes end a unit: no call or jump reaches into the next file.
                m_enc.finishMode = left ? BCJ2_ENC_FINISH_MODE_CONTINUE : BCJ2_ENC_FINISH_MODE_END_BLOCK;
                if (!Convert()) return false;
            } else {
                buffer.resize(n);
                if (!m_queue.Put(buffer)) return false;
            }
        }
        BYTE extra = 0;
        DWORD n = 0;
        if (!::ReadFile(file.Get(), &extra, 1, &n, nullptr) || n != 0) {
            return Failed(source + " changed while it was compressed");
        }
        m_crcs.push_back(~crc);
    }
    if (!m_block.bcj2) return true;
    m_enc.src = m_enc.srcLim = m_input.data();
    m_enc.finishMode = BCJ2_ENC_FINISH_MODE_END_STREAM;
    if (!Convert()) return false;
    if (!Bcj2Enc_IsFinished(&m_enc)) return Failed("the branch converter did not finish");
    return PutMain();
}

bool CBlockSource::Convert() {
    for (;;) {
        Bcj2Enc_Encode(&m_enc);
        if (Bcj2Enc_IsFinished(&m_enc)) break;
        if (m_enc.state == BCJ2_STREAM_MAIN) {
            if (!PutMain()) return false;
        } else if (m_enc.state < BCJ2_NUM_STREAMS) {
            FlushSide(m_enc.state);
        } else {
            if (m_enc.src != m_enc.srcLim) return Failed("the branch converter stopped inside its input");
            return true;   // it wants more input
        }
    }
    for (unsigned stream : {BCJ2_STREAM_CALL, BCJ2_STREAM_JUMP, BCJ2_STREAM_RC}) FlushSide(stream);
    return true;
}

bool CBlockSource::PutMain() {
    m_main.resize(static_cast<size_t>(m_enc.bufs[BCJ2_STREAM_MAIN] - m_main.data()));
    m_mainSize += m_main.size();
    if (!m_queue.Put(m_main)) return false;   // the coder gave up: its error tells why
    m_main.resize(kMainChunk);
    m_enc.bufs[BCJ2_STREAM_MAIN] = m_main.data();
    m_enc.lims[BCJ2_STREAM_MAIN] = m_main.data() + m_main.size();
    return true;
}

void CBlockSource::FlushSide(unsigned stream) {
    BYTE* start = m_buffers[stream].data();
    m_side[stream].insert(m_side[stream].end(), start, m_enc.bufs[stream]);
    m_enc.bufs[stream] = start;
    m_enc.lims[stream] = start + kSideBuffer;
}

}  // namespace builder
