#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include "runtime/Handles.h"
#include "runtime/MessageWindowThread.h"
#include "stub/ShutdownBlockWindow.h"
#include "support/TestSupport.h"

#include <string>
#include <vector>

using testing_support::CCaptureProcessTrace;
using testing_support::NewGuid;

namespace {

class CPlainWindowThread : public qlLib::CMessageWindowThread {
public:
    ~CPlainWindowThread() override { Stop(INFINITE); }
};

size_t ThreadsOfThisProcess() {
    qlLib::CKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    size_t count = 0;
    for (BOOL more = ::Thread32First(snapshot.Get(), &entry); more; more = ::Thread32Next(snapshot.Get(), &entry))
        count += entry.th32OwnerProcessID == ::GetCurrentProcessId();
    return count;
}

}  // namespace

TEST(MessageWindowThread, MakesItsWindowOnItsOwnThreadAndStopEndsBoth) {
    CPlainWindowThread thread;
    EXPECT_FALSE(thread.Create(L"", L"title"));
    EXPECT_FALSE(thread.Create(L"class", nullptr));

    const std::wstring first = L"MiniStubTestWindow" + NewGuid();
    ASSERT_TRUE(thread.Create(first.c_str(), L"First"));
    HWND window = nullptr;
    // The thread records its window once CreateWindowExW has returned: the window can be found
    // a moment earlier.
    for (int i = 0; i < 500 && !((window = ::FindWindowW(first.c_str(), L"First")) && thread.Window()); ++i)
        ::Sleep(10);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window, thread.Window());
    EXPECT_EQ(::GetWindowThreadProcessId(window, nullptr), thread.ThreadId());

    // A second Create replaces the first window and its thread.
    const std::wstring second = L"MiniStubTestWindow" + NewGuid();
    ASSERT_TRUE(thread.Create(second.c_str(), L"Second"));
    EXPECT_FALSE(::IsWindow(window));
    for (int i = 0; i < 500 && !::FindWindowW(second.c_str(), L"Second"); ++i) ::Sleep(10);
    EXPECT_NE(::FindWindowW(second.c_str(), L"Second"), nullptr);

    thread.Stop(INFINITE);
    EXPECT_FALSE(thread.IsThreadRunning());
    EXPECT_EQ(thread.Window(), nullptr);
    EXPECT_EQ(::FindWindowW(second.c_str(), nullptr), nullptr);
}

TEST(MessageWindowThread, StopRightAfterTheStartEndsTheThread) {
    for (int i = 0; i < 20; ++i) {
        CPlainWindowThread thread;
        const std::wstring name = L"MiniStubTestWindow" + NewGuid();
        ASSERT_TRUE(thread.Create(name.c_str(), L"Early"));
        thread.Stop(10000);   // terminating the thread instead would leave a window behind
        EXPECT_FALSE(thread.IsThreadRunning());
        EXPECT_EQ(::FindWindowW(name.c_str(), nullptr), nullptr);
    }
}

TEST(ShutdownBlockWindow, RefusesTheEndOfTheSessionUntilDestroyed) {
    CCaptureProcessTrace trace;
    TARN::CShutdownBlockWindow block;
    block.Destroy();   // safe before Create
    const std::wstring product = L"MiniStubTestProduct" + NewGuid();
    ASSERT_TRUE(block.Create(product));
    HWND window = nullptr;
    for (int i = 0; i < 500 && !(window = ::FindWindowW(product.c_str(), product.c_str())); ++i) ::Sleep(10);
    ASSERT_NE(window, nullptr);

    EXPECT_EQ(::SendMessageW(window, WM_QUERYENDSESSION, 0, 0), 0);
    EXPECT_EQ(::SendMessageW(window, WM_ENDSESSION, FALSE, 0), 0);
    EXPECT_TRUE(trace.Contains(L"Shutdown blocked"));
    // Wine registers the block reason without showing it anywhere; only the trace can tell.
    EXPECT_TRUE(trace.Contains(L"Trying to prevent shutdown on Vista+"));

    block.Destroy();
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_TRUE(trace.Contains(L"create hidden window"));
    EXPECT_TRUE(trace.Contains(L"removing Shutdownblock"));
    EXPECT_TRUE(trace.Contains(L"destroy hidden window"));
    EXPECT_FALSE(block.Create(L""));   // an empty product ID makes no window
}

TEST(ShutdownBlockWindow, AWindowStillBeingMadeWhenDestroyedGoesByItselfAndTheProcessEndAwaitsIt) {
    // The short install's case: the object is gone long before its window would have come up.
    const size_t threadsBefore = ThreadsOfThisProcess();
    std::vector<std::wstring> products;
    for (int i = 0; i < 5; ++i) {
        products.push_back(L"MiniStubTestProduct" + NewGuid());
        TARN::CShutdownBlockWindow block;
        ASSERT_TRUE(block.Create(products.back()));
        block.Destroy();
    }
    // What the stub does before it ends: every abandoned thread has ended on return (a thread
    // still in the window set-up while the process ends can cost the process its exit code),
    // and each window closed itself once made: none stays behind.
    TARN::CShutdownBlockWindow::AwaitAbandoned(10000);
    EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);
    for (const auto& product : products) EXPECT_EQ(::FindWindowW(product.c_str(), nullptr), nullptr);
}
