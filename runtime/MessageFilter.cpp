#include "runtime/MessageFilter.h"

#include "runtime/Trace.h"

namespace qlLib {

namespace {

// Declared here: the SDK declares them only for newer targets, and importing them would keep the
// program from starting where user32 lacks them.
using ChangeWindowMessageFilterExFn = BOOL(WINAPI*)(HWND window, UINT message, DWORD action, void* status);
const DWORD kFilterAdd = 1;     // MSGFLT_ADD
const DWORD kFilterAllow = 1;   // MSGFLT_ALLOW

ChangeWindowMessageFilterFn g_replacement = nullptr;

FARPROC User32Export(const char* name) {
    HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    return user32 ? ::GetProcAddress(user32, name) : nullptr;
}

}  // namespace

UINT TaskbarCreatedMessage() {
    return ::RegisterWindowMessageW(L"TaskbarCreated");
}

bool AllowMessageForProcess(UINT message) {
    ChangeWindowMessageFilterFn change = g_replacement;
    if (!change) {
        change = reinterpret_cast<ChangeWindowMessageFilterFn>(
            reinterpret_cast<void*>(User32Export("ChangeWindowMessageFilter")));
        if (!change) return true;   // before Vista nothing is filtered
    }
    return change(message, kFilterAdd) != FALSE;
}

bool AllowMessageForWindow(HWND window, UINT message) {
    auto change = reinterpret_cast<ChangeWindowMessageFilterExFn>(
        reinterpret_cast<void*>(User32Export("ChangeWindowMessageFilterEx")));
    if (!change) return AllowMessageForProcess(message);
    return change(window, message, kFilterAllow, nullptr) != FALSE;
}

bool AllowShellMessages() {
    const UINT taskbarCreated = TaskbarCreatedMessage();
    if (taskbarCreated && AllowMessageForProcess(taskbarCreated)) return true;
    TraceWarning(L"qlLib::AllowShellMessages(48) : the shell's messages are not let through (%lu)", ::GetLastError());
    return false;
}

ChangeWindowMessageFilterFn ReplaceChangeWindowMessageFilter(ChangeWindowMessageFilterFn replacement) {
    const ChangeWindowMessageFilterFn previous = g_replacement;
    g_replacement = replacement;
    return previous;
}

}  // namespace qlLib
