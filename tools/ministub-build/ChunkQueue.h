#pragma once
// Chunks of bytes from one producing thread to one consuming thread, a few at a time: the
// producer waits while the consumer is behind, the consumer while the producer is.
#include <windows.h>

#include <deque>
#include <vector>

namespace builder {

class CChunkQueue {
public:
    CChunkQueue();
    CChunkQueue(const CChunkQueue&) = delete;
    CChunkQueue& operator=(const CChunkQueue&) = delete;

    // Producer: hands over a filled chunk and gets an empty one back (its buffer reused); false
    // once the consumer gave up.
    bool Put(std::vector<BYTE>& chunk);
    // Producer: no more chunks. failed: what was put is not the whole (the producer says why).
    // Only the first call counts.
    void Close(bool failed);

    // Consumer: copies up to size bytes into buffer; taken is 0 at the end. false when the
    // producer failed.
    bool Take(void* buffer, size_t size, size_t& taken);
    // Consumer: takes no more; a waiting or later Put returns false.
    void GiveUp();

private:
    class CLock {
    public:
        explicit CLock(SRWLOCK& lock) : m_lock(lock) { ::AcquireSRWLockExclusive(&m_lock); }
        ~CLock() { ::ReleaseSRWLockExclusive(&m_lock); }
        CLock(const CLock&) = delete;
        CLock& operator=(const CLock&) = delete;

    private:
        SRWLOCK& m_lock;
    };

    SRWLOCK m_lock;
    CONDITION_VARIABLE m_changed;
    std::deque<std::vector<BYTE>> m_full;
    std::vector<std::vector<BYTE>> m_spare;
    size_t m_offset = 0;   // into m_full.front()
    bool m_closed = false;
    bool m_failed = false;
    bool m_gaveUp = false;
};

}  // namespace builder
