// CUtils::ExecuteProgramEx: quoting of the program path, the full exit code, and the message
// pump while it waits.
#include <gtest/gtest.h>

#include "BuildPaths.h"
#include "support/TestSupport.h"
#include "system/Utils.h"

using namespace testing_support;

namespace {

int g_pumped;
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) ++g_pumped;
    return ::DefWindowProcW(window, message, wParam, lParam);
}

class UtilsExecute : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(::SetEnvironmentVariableW(L"ECHO_ARGS_LOG", log.c_str())); }
    void TearDown() override { ::SetEnvironmentVariableW(L"ECHO_ARGS_LOG", nullptr); }

    // A copy of the fixture in a subfolder of the given name.
    std::wstring Program(const std::wstring& folder) {
        const std::wstring path = temp.Join(folder);
        EXPECT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
        const std::wstring program = path + L"\\EchoArgs.exe";
        EXPECT_TRUE(::CopyFileW(ToWinePath(ECHOARGS_EXE_UNIX_PATH).c_str(), program.c_str(), FALSE));
        return program;
    }
    std::wstring LoggedCommandLine() {
        std::wstring text;
        EXPECT_TRUE(ReadUtf16File(log, text));
        return text;
    }

    CTempFolder temp;
    const std::wstring log = temp.Join(L"args.txt");
};

}  // namespace

// A path with a space runs in quotation marks, one without runs as it is; the exit code comes
// back whole (a Unix parent would see only its low byte).
TEST_F(UtilsExecute, QuotesOnlyPathsWithSpacesAndReturnsTheFullExitCode) {
    const std::wstring spaced = Program(L"with space");
    DWORD exitCode = 0;
    ASSERT_EQ(TARN::CUtils::ExecuteProgramEx(&exitCode, spaced.c_str(), L"0xC0000409"), S_OK);
    EXPECT_EQ(exitCode, 0xC0000409u);
    EXPECT_EQ(LoggedCommandLine(), L"\"" + spaced + L"\" 0xC0000409");

    const std::wstring plain = Program(L"nospace");
    ASSERT_EQ(TARN::CUtils::ExecuteProgramEx(&exitCode, plain.c_str(), L"0x80070BC2"), S_OK);
    EXPECT_EQ(exitCode, 0x80070BC2u);
    EXPECT_EQ(LoggedCommandLine(), plain + L" 0x80070BC2");

    // Without a program the arguments are the whole command line.
    ASSERT_EQ(TARN::CUtils::ExecuteProgramEx(&exitCode, nullptr, (L"\"" + spaced + L"\" 7").c_str()), S_OK);
    EXPECT_EQ(exitCode, 7u);
}

TEST_F(UtilsExecute, WaitingKeepsDispatchingTheThreadsMessages) {
    const std::wstring program = Program(L"pump");
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = CountingProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"UtilsExecuteTestWindow";
    ::RegisterClassW(&windowClass);
    const HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                          windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    g_pumped = 0;
    ASSERT_TRUE(::PostMessageW(window, WM_APP, 0, 0));
    DWORD exitCode = 0;
    ASSERT_EQ(TARN::CUtils::ExecuteProgramEx(&exitCode, program.c_str(), L"/sleep 600 3"), S_OK);
    EXPECT_EQ(exitCode, 3u);
    EXPECT_EQ(g_pumped, 1);
    ::DestroyWindow(window);
}

TEST_F(UtilsExecute, FailuresAreReportedAsErrors) {
    DWORD exitCode = 0x1234;
    EXPECT_EQ(TARN::CUtils::ExecuteProgramEx(&exitCode, L"C:\\x.exe", nullptr), E_INVALIDARG);
    EXPECT_EQ(TARN::CUtils::ExecuteProgramEx(&exitCode, temp.Join(L"missing.exe").c_str(), L"1"),
              static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(exitCode, 0x1234u);
    // Without an exit code wanted the call does not wait (the child leaves no file behind).
    ::SetEnvironmentVariableW(L"ECHO_ARGS_LOG", nullptr);
    const std::wstring program = ToWinePath(ECHOARGS_EXE_UNIX_PATH);
    const DWORD started = ::GetTickCount();
    EXPECT_EQ(TARN::CUtils::ExecuteProgramEx(nullptr, program.c_str(), L"/sleep 3000 0"), S_OK);
    EXPECT_LT(::GetTickCount() - started, 2500u);
}
