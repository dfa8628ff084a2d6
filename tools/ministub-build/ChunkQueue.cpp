#include "tools/ministub-build/ChunkQueue.h"

#include <algorithm>
#include <cstring>

namespace builder {

namespace {

// Enough to keep both sides busy, little enough to stay small beside the encoder's memory.
const size_t kQueueDepth = 4;

}  // namespace

CChunkQueue::CChunkQueue() {
    ::InitializeSRWLock(&m_lock);
    ::InitializeConditionVariable(&m_changed);
    // Take runs inside the encoder's C code: it must not allocate (at most this many chunks exist).
    m_spare.reserve(kQueueDepth + 2);
}

bool CChunkQueue::Put(std::vector<BYTE>& chunk) {
    if (chunk.empty()) return true;   // an empty chunk would read as the end
    CLock lock(m_lock);
    while (m_full.size() >= kQueueDepth && !m_gaveUp) ::SleepConditionVariableSRW(&m_changed, &m_lock, INFINITE, 0);
    if (m_gaveUp) return false;
    m_full.push_back(std::move(chunk));
    chunk = std::vector<BYTE>();
    if (!m_spare.empty()) {
        chunk.swap(m_spare.back());
        m_spare.pop_back();
    }
    chunk.clear();
    ::WakeAllConditionVariable(&m_changed);
    return true;
}

void CChunkQueue::Close(bool failed) {
    CLock lock(m_lock);
    if (m_closed) return;
    m_closed = true;
    m_failed = failed;
    ::WakeAllConditionVariable(&m_changed);
}

bool CChunkQueue::Take(void* buffer, size_t size, size_t& taken) {
    taken = 0;
    CLock lock(m_lock);
    while (m_full.empty() && !m_closed) ::SleepConditionVariableSRW(&m_changed, &m_lock, INFINITE, 0);
    if (m_full.empty()) return !m_failed;
    std::vector<BYTE>& front = m_full.front();
    taken = std::min(size, front.size() - m_offset);
    memcpy(buffer, front.data() + m_offset, taken);
    m_offset += taken;
    if (m_offset == front.size()) {
        m_spare.push_back(std::move(front));
        m_full.pop_front();
        m_offset = 0;
        ::WakeAllConditionVariable(&m_changed);
    }
    return true;
}

void CChunkQueue::GiveUp() {
    CLock lock(m_lock);
    m_gaveUp = true;
    ::WakeAllConditionVariable(&m_changed);
}

}  // namespace builder
