#pragma once
#include <windows.h>

namespace qlLib {

// A recursive lock for one object's state; held through CCriticalSectionLock.
class CCriticalSection {
public:
    CCriticalSection() noexcept { ::InitializeCriticalSection(&m_cs); }
    ~CCriticalSection() { ::DeleteCriticalSection(&m_cs); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Enter() noexcept { ::EnterCriticalSection(&m_cs); }
    void Leave() noexcept { ::LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

class CCriticalSectionLock {
public:
    explicit CCriticalSectionLock(CCriticalSection& cs) noexcept : m_cs(cs) { m_cs.Enter(); }
    ~CCriticalSectionLock() { m_cs.Leave(); }
    CCriticalSectionLock(const CCriticalSectionLock&) = delete;
    CCriticalSectionLock& operator=(const CCriticalSectionLock&) = delete;

private:
    CCriticalSection& m_cs;
};

}  // namespace qlLib
