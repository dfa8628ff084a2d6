#include "support/MessageBoxWatcher.h"

#include <algorithm>

#include "runtime/Handles.h"

namespace testing_support {

namespace {

// The control id of a message box's text.
const int kMessageBoxTextId = 0xFFFF;

struct CSearch {
    DWORD processId;
    std::vector<HWND>* answered;
    std::vector<CShownMessageBox>* boxes;
};

std::wstring WindowText(HWND window) {
    wchar_t text[1024] = {};
    ::GetWindowTextW(window, text, 1024);
    return text;
}

BOOL CALLBACK LongestStatic(HWND child, LPARAM context) {
    HWND* best = reinterpret_cast<HWND*>(context);
    wchar_t className[32] = {};
    ::GetClassNameW(child, className, 32);
    if (!_wcsicmp(className, L"Static") && (!*best || WindowText(child).size() > WindowText(*best).size())) *best = child;
    return TRUE;
}

BOOL CALLBACK AnswerBox(HWND window, LPARAM context) {
    CSearch* search = reinterpret_cast<CSearch*>(context);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    wchar_t className[32] = {};
    ::GetClassNameW(window, className, 32);
    if (owner != search->processId || wcscmp(className, L"#32770") || !::IsWindowVisible(window) ||
        std::find(search->answered->begin(), search->answered->end(), window) != search->answered->end())
        return TRUE;
    CShownMessageBox box;
    box.caption = WindowText(window);
    HWND text = ::GetDlgItem(window, kMessageBoxTextId);
    if (!text) ::EnumChildWindows(window, &LongestStatic, reinterpret_cast<LPARAM>(&text));
    if (text) box.text = WindowText(text);
    search->boxes->push_back(box);
    search->answered->push_back(window);
    ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return TRUE;
}

}  // namespace

bool RunAnsweringMessageBoxes(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs,
                              DWORD& exitCode, std::vector<CShownMessageBox>& boxes) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    qlLib::CKernelHandle process(pi.hProcess), thread(pi.hThread);
    std::vector<HWND> answered;
    CSearch search = {pi.dwProcessId, &answered, &boxes};
    const DWORD start = ::GetTickCount();
    while (::WaitForSingleObject(process.Get(), 100) == WAIT_TIMEOUT) {
        if (::GetTickCount() - start > timeoutMs) {
            ::TerminateProcess(process.Get(), 1);
            return false;
        }
        ::EnumWindows(&AnswerBox, reinterpret_cast<LPARAM>(&search));
    }
    return ::GetExitCodeProcess(process.Get(), &exitCode) != FALSE;
}

}  // namespace testing_support
