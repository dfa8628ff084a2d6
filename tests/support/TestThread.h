#pragma once
// A joinable thread for tests. The compilers' win32 thread model has no std::thread; this has
// the part of its interface the tests use.
#include <windows.h>

#include <functional>
#include <utility>

#include "runtime/Handles.h"

namespace testing_support {

class CTestThread {
public:
    template <class F>
    explicit CTestThread(F body) {
        auto* owned = new std::function<void()>(std::move(body));
        m_thread.Reset(::CreateThread(nullptr, 0, &Run, owned, 0, nullptr));
        if (!m_thread) delete owned;
    }
    CTestThread(CTestThread&&) noexcept = default;
    CTestThread& operator=(CTestThread&& other) noexcept {
        join();
        m_thread = std::move(other.m_thread);
        return *this;
    }
    // Unlike std::thread, a thread still running is waited for rather than ending the program.
    ~CTestThread() { join(); }

    void join() {
        if (m_thread) ::WaitForSingleObject(m_thread.Get(), INFINITE);
        m_thread.Close();
    }

private:
    static DWORD WINAPI Run(void* context) {
        auto* body = static_cast<std::function<void()>*>(context);
        (*body)();
        delete body;
        return 0;
    }

    qlLib::CKernelHandle m_thread;
};

}  // namespace testing_support
