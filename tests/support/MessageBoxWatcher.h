#pragma once
// Message boxes that a program under test shows: found among the desktop's windows, read and
// answered with OK, so that no test waits for a click and the program stays as shipped.
#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

struct CShownMessageBox {
    std::wstring caption;
    std::wstring text;
};

// Starts exe, answers every message box of its process, and waits for it to end (the full exit
// code); false when it could not start or outlived the time-out (it is then ended).
bool RunAnsweringMessageBoxes(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs,
                              DWORD& exitCode, std::vector<CShownMessageBox>& boxes);

}  // namespace testing_support
