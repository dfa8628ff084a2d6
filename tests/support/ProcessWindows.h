#pragma once
// The windows of a program under test, found among the desktop's windows: message boxes read and
// answered with OK (no test waits for a click, and the program stays as shipped), and the install
// UI's windows, which a test drives with the messages a user's clicks send.
#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

struct CShownMessageBox {
    std::wstring caption;
    std::wstring text;
};

// A program started without waiting; ended at destruction when it still runs.
class CRunningProgram {
public:
    CRunningProgram() = default;
    ~CRunningProgram();
    CRunningProgram(const CRunningProgram&) = delete;
    CRunningProgram& operator=(const CRunningProgram&) = delete;

    bool Start(const std::wstring& exe, const std::wstring& arguments);
    DWORD Id() const { return m_id; }
    // The full exit code; false when it still runs after the time.
    bool Wait(DWORD milliseconds, DWORD& exitCode);

private:
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

// A top-level window of the process with that class (visible ones only, unless told otherwise),
// waited for; null after the time.
HWND WaitForProcessWindow(DWORD processId, const wchar_t* className, DWORD milliseconds, bool visibleOnly = true);

// Starts exe, answers every message box of its process, and waits for it to end (the full exit
// code); false when it could not start or outlived the time-out (it is then ended).
bool RunAnsweringMessageBoxes(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs,
                              DWORD& exitCode, std::vector<CShownMessageBox>& boxes);

}  // namespace testing_support
