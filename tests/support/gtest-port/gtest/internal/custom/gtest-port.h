#pragma once
// GoogleTest's place for platform adjustments, found before its own empty one (see
// tests/CMakeLists.txt). The compilers' win32 thread model has no std::mutex, which GoogleTest's
// Notification is built on; this one waits on a Win32 event. GoogleTest's other locks are Win32's.
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : m_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() {
        if (m_event) ::CloseHandle(m_event);
    }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { ::SetEvent(m_event); }
    void WaitForNotification() { ::WaitForSingleObject(m_event, INFINITE); }

private:
    HANDLE m_event;
};

}  // namespace internal
}  // namespace testing
