#pragma once
// The bytes of one solid block, made on a thread of their own while the block's LZMA coder
// compresses them. The files are read one after the other (each must still have the size it was
// listed with; links planted since the listing are opened as themselves) and their CRCs taken.
// For executables the x86 branch converter (BCJ2) splits them, each file converted as a unit with
// its own start address and size, as 7-Zip's tool converts the files of a block: calls and jumps
// out of a file stay as they are, and addresses restart with every file, so that alike code in
// alike files stays alike. The main stream reaches the coder through a short queue; the call and
// jump streams are compressed on this thread once the split is done, while the coder finishes.
#include <windows.h>

#include <string>
#include <vector>

#include "7zTypes.h"
#include "Bcj2.h"
#include "runtime/WorkerThread.h"
#include "tools/ministub-build/ArchiveHeader.h"
#include "tools/ministub-build/ChunkQueue.h"

namespace builder {

// Source bytes read so far, of all blocks of an archive.
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

class CBlockSource : private qlLib::CWorkerThread {
public:
    // block.files and block.bcj2 say what to read; level is the side streams' LZMA level.
    CBlockSource(const CArchiveBlock& block, int level, CProgressCounter& progress);
    ~CBlockSource() override;

    bool Start(std::string& error);
    // What the block's LZMA coder reads: the files' bytes, or the converter's main stream.
    ISeqInStreamPtr Stream() const { return &m_stream.vt; }
    // Once the coder is done or has failed (coderFailed: stop reading): waits for the thread.
    // false, with the reason, when reading or converting failed.
    bool Finish(bool coderFailed, std::string& error);

    const std::vector<DWORD>& Crcs() const { return m_crcs; }
    ULONGLONG MainSize() const { return m_mainSize; }
    // The converter's range coder stream (stored as it is), and its call and jump streams
    // compressed, with their unpacked sizes.
    const std::vector<BYTE>& RangeCoder() const { return m_side[BCJ2_STREAM_RC]; }
    const std::vector<BYTE>& PackedCall() const { return m_packedCall; }
    const std::vector<BYTE>& PackedJump() const { return m_packedJump; }
    const CCodedStream& Call() const { return m_call; }
    const CCodedStream& Jump() const { return m_jump; }
    ULONGLONG CallSize() const { return m_side[BCJ2_STREAM_CALL].size(); }
    ULONGLONG JumpSize() const { return m_side[BCJ2_STREAM_JUMP].size(); }

private:
    struct CStream {
        ISeqInStream vt;
        CBlockSource* self;
    };
    static SRes Read(ISeqInStreamPtr p, void* buffer, size_t* size);

    DWORD Run() override;
    bool ReadFiles();
    bool Convert();
    bool PutMain();
    void FlushSide(unsigned stream);
    bool Failed(const std::string& error);

    const CArchiveBlock& m_block;
    const int m_level;
    CProgressCounter& m_progress;
    CStream m_stream;
    CChunkQueue m_queue;
    bool m_started = false;
    bool m_ok = false;
    std::string m_error;
    std::vector<DWORD> m_crcs;
    ULONGLONG m_mainSize = 0;

    // The converter (BCJ2 blocks only): its state, the file bytes it reads, the main stream chunk
    // it fills, the small buffers of its side streams and what they collected.
    CBcj2Enc m_enc;
    std::vector<BYTE> m_input;
    std::vector<BYTE> m_main;
    std::vector<BYTE> m_buffers[BCJ2_NUM_STREAMS];
    std::vector<BYTE> m_side[BCJ2_NUM_STREAMS];
    std::vector<BYTE> m_packedCall, m_packedJump;
    CCodedStream m_call, m_jump;
};

}  // namespace builder
