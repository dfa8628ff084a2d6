#include "support/ProcessWindows.h"

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

struct CWindowSearch {
    DWORD processId;
    const wchar_t* className;
    bool visibleOnly;
    HWND found;
};

BOOL CALLBACK FindWindowOf(HWND window, LPARAM context) {
    CWindowSearch* search = reinterpret_cast<CWindowSearch*>(context);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    if (owner != search->processId || wcscmp(className, search->className) ||
        (search->visibleOnly && !::IsWindowVisible(window)))
        return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

CRunningProgram::~CRunningProgram() {
    if (!m_process) return;
    if (::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(m_process, 1);
        ::WaitForSingleObject(m_process, 10000);
    }
    ::CloseHandle(m_process);
}

bool CRunningProgram::Start(const std::wstring& exe, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    ::CloseHandle(pi.hThread);
    m_process = pi.hProcess;
    m_id = pi.dwProcessId;
    return true;
}

bool CRunningProgram::Wait(DWORD milliseconds, DWORD& exitCode) {
    return m_process && ::WaitForSingleObject(m_process, milliseconds) == WAIT_OBJECT_0 &&
           ::GetExitCodeProcess(m_process, &exitCode);
}

HWND WaitForProcessWindow(DWORD processId, const wchar_t* className, DWORD milliseconds, bool visibleOnly) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        CWindowSearch search = {processId, className, visibleOnly, nullptr};
        ::EnumWindows(&FindWindowOf, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        if (::GetTickCount() - start > milliseconds) return nullptr;
        ::Sleep(100);
    }
}

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
