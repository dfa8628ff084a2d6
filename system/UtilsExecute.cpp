// Starting a program in the stub's own session, optionally waiting for its exit code.
#include "system/Utils.h"

#include <shlwapi.h>

#include <new>
#include <string>
#include <vector>

#include "runtime/Handles.h"
#include "runtime/NoLinkFile.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

// The path in double quotation marks when it has a space. PathQuoteSpacesW works on MAX_PATH
// buffers; a longer path is quoted here so that it never runs unquoted.
std::wstring QuotedProgram(const wchar_t* program) {
    const size_t length = wcslen(program);
    if (length + 3 <= MAX_PATH) {
        wchar_t buffer[MAX_PATH];
        ::CopyMemory(buffer, program, (length + 1) * sizeof(wchar_t));
        ::PathQuoteSpacesW(buffer);
        return buffer;
    }
    if (!wcschr(program, L' ')) return program;
    return L"\"" + std::wstring(program) + L"\"";
}

void DispatchPendingMessages() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

}  // namespace

HRESULT CUtils::ExecuteProgramEx(DWORD* exitCode, const wchar_t* program, const wchar_t* arguments) {
    if (!arguments) return E_INVALIDARG;
    std::vector<wchar_t> commandLine;
    try {
        std::wstring text;
        if (program) {
            if (!qlLib::FormatString(text, L"%s %s", QuotedProgram(program).c_str(), arguments)) return E_OUTOFMEMORY;
        } else {
            text = arguments;
        }
        commandLine.assign(text.begin(), text.end());
        commandLine.push_back(L'\0');
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    TraceInfo(L"Launching: %s", commandLine.data());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    // A program named by the caller is the program that runs, whatever its command line says.
    if (!::CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        const DWORD error = ::GetLastError();
        TraceError(L"TARN::CUtils::ExecuteProgramEx(64) : failed to launch: 0x%08x", error);
        return ErrorResult(error);
    }
    qlLib::CKernelHandle process(info.hProcess), thread(info.hThread);
    TraceInfo(L"Create process succeeded");
    if (!exitCode) return S_OK;

    // No time limit, but the caller's windows stay responsive meanwhile.
    while (::WaitForSingleObject(process.Get(), 100) == WAIT_TIMEOUT) DispatchPendingMessages();
    DWORD code = 0;
    if (!::GetExitCodeProcess(process.Get(), &code)) {
        const DWORD error = ::GetLastError();
        TraceError(L"TARN::CUtils::ExecuteProgramEx(76) : GetExitCodeProcess failed: 0x%08x", error);
        return ErrorResult(error);
    }
    TraceInfo(L"Process returned: 0x%08x", code);
    *exitCode = code;
    return S_OK;
}

bool CUtils::SplitCommand(const wchar_t* command, std::wstring& program, std::wstring& arguments) {
    if (!command) return false;
    try {
        const wchar_t* start = command;
        while (*start == L' ' || *start == L'\t') ++start;
        const wchar_t* end;
        const wchar_t* rest;
        if (*start == L'"') {
            ++start;
            end = wcschr(start, L'"');
            if (!end) return false;
            rest = end + 1;
        } else {
            end = start + wcscspn(start, L" \t");
            rest = end;
        }
        program.assign(start, end);
        while (*rest == L' ' || *rest == L'\t') ++rest;
        arguments = rest;
    } catch (const std::bad_alloc&) {
        return false;
    }
    // "X:\..." or "\\server\share\...": never relative to a current folder or drive.
    const bool absolute = (program.size() > 3 && program[1] == L':' && program[2] == L'\\') ||
                          (program.size() > 2 && program[0] == L'\\' && program[1] == L'\\');
    if (!absolute) return false;
    qlLib::CFileHandle file(::CreateFileW(program.c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    DWORD attributes = 0;
    return file && qlLib::QueryOpenFile(file.Get(), attributes) &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

}  // namespace TARN
