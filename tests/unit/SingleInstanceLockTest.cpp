#include <gtest/gtest.h>

#include "BuildPaths.h"
#include "runtime/Handles.h"
#include "runtime/SingleInstanceLock.h"
#include "support/TestSupport.h"

using qlLib::CSingleInstanceLock;

TEST(SingleInstanceLock, NamesScopesAndFolders) {
    testing_support::CTempFolder temp;
    CSingleInstanceLock first(temp.Path());
    ASSERT_NE(first.Create(L"{5D1E7A00-0DE1-4C0D-9E11-DE0000000001}", true), 0u);
    EXPECT_EQ(first.Create(L"other", true), 0u);   // one lock per object
    EXPECT_TRUE(::GetFileAttributesW(temp.Join(L"_lck\\_{5D1E7A00-0DE1-4C0D-9E11-DE0000000001}G").c_str()) !=
                INVALID_FILE_ATTRIBUTES);
    CSingleInstanceLock second(temp.Path());
    EXPECT_EQ(second.Create(L"{5D1E7A00-0DE1-4C0D-9E11-DE0000000001}", true), 0u);
    EXPECT_EQ(second.GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    // Another folder is another lock; a session lock carries the session id.
    testing_support::CTempFolder elsewhere;
    CSingleInstanceLock third(elsewhere.Path());
    EXPECT_NE(third.Create(L"{5D1E7A00-0DE1-4C0D-9E11-DE0000000001}", true), 0u);
    DWORD session = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session));
    CSingleInstanceLock local(temp.Path());
    ASSERT_NE(local.Create(L"a\\b", false), 0u);
    EXPECT_TRUE(::GetFileAttributesW(temp.Join(L"_lck\\_a_b" + std::to_wstring(session)).c_str()) !=
                INVALID_FILE_ATTRIBUTES);

    for (const wchar_t* bad : {L"c:d", L"a*", L"", L"x/y", L"q?"}) {
        CSingleInstanceLock refused(temp.Path());
        EXPECT_EQ(refused.Create(bad, true), 0u) << bad;
        EXPECT_EQ(refused.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << bad;
    }
    CSingleInstanceLock noFolder;
    EXPECT_EQ(noFolder.Create(L"x", true), 0u);
    EXPECT_EQ(noFolder.GetLastError(), static_cast<DWORD>(ERROR_INTERNAL_ERROR));

    // Released with the object: the file goes, the name is free again.
    first.Release();
    EXPECT_TRUE(::GetFileAttributesW(temp.Join(L"_lck\\_{5D1E7A00-0DE1-4C0D-9E11-DE0000000001}G").c_str()) ==
                INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(second.Create(L"{5D1E7A00-0DE1-4C0D-9E11-DE0000000001}", true), 0u);
}

TEST(SingleInstanceLock, ALockDiesWithItsProcess) {
    testing_support::CTempFolder temp;
    std::wstring eventName = L"Local\\HoldLock" + testing_support::NewGuid();
    qlLib::CKernelHandle ready(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(ready);
    std::wstring command = L"\"" + testing_support::ToWinePath(HOLDLOCK_EXE_UNIX_PATH) + L"\" \"" + temp.Path() +
                           L"\" product \"" + eventName + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    qlLib::CKernelHandle process(pi.hProcess), thread(pi.hThread);
    HANDLE waits[2] = {ready.Get(), process.Get()};
    ASSERT_EQ(::WaitForMultipleObjects(2, waits, FALSE, 30000), WAIT_OBJECT_0) << "the holder did not take the lock";

    CSingleInstanceLock second(temp.Path());
    EXPECT_EQ(second.Create(L"product", true), 0u);
    // Killed, not closed: the lock still goes with the process.
    ASSERT_TRUE(::TerminateProcess(process.Get(), 9));
    ASSERT_EQ(::WaitForSingleObject(process.Get(), 30000), WAIT_OBJECT_0);
    CSingleInstanceLock third(temp.Path());
    EXPECT_NE(third.Create(L"product", true), 0u);
}
