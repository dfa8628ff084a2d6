// Runs many installers one after another inside one Wine session, so that a whole-process
// campaign pays for Wine's start-up once:
//   HostileRunner.exe LIST-FILE RESULT-FILE [TIMEOUT-MS [FOLDER]]
// LIST-FILE holds one command line per line (UTF-8). Each is started, given TIMEOUT-MS (15000)
// to end by itself, and ended with everything it started when it does not. FOLDER (an install
// cache) is removed before each command, so that every run extracts. RESULT-FILE gets one line
// per command: "<line number> 0x<full exit code> <milliseconds> ended|killed".
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "runtime/FolderUtils.h"
#include "runtime/Handles.h"

namespace {

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: HostileRunner.exe LIST-FILE RESULT-FILE [TIMEOUT-MS [FOLDER]]\n");
        return 2;
    }
    const DWORD timeoutMs = argc > 3 ? wcstoul(argv[3], nullptr, 10) : 15000;
    const wchar_t* cold = argc > 4 ? argv[4] : nullptr;
    FILE* list = _wfopen(argv[1], L"rb");
    FILE* results = _wfopen(argv[2], L"wb");
    if (!list || !results) {
        fwprintf(stderr, L"HostileRunner: cannot open the list or the result file\n");
        return 2;
    }
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    char buffer[8192];
    unsigned line = 0;
    while (fgets(buffer, sizeof(buffer), list)) {
        ++line;
        std::string text(buffer);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.empty()) continue;
        std::wstring command = Widen(text);
        if (cold) qlLib::DeleteFolderTree(cold, nullptr);
        // A job of its own, so that a run that does not end is ended with whatever it started.
        qlLib::CKernelHandle job(::CreateJobObjectW(nullptr, nullptr));
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        const ULONGLONG started = ::GetTickCount64();
        // Wine's process creation fails now and then under load (ERROR_INTERNAL_ERROR): one more try.
        bool created = false;
        for (int attempt = 0; attempt < 2 && !created; ++attempt) {
            if (attempt) ::Sleep(500);
            created = ::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                       nullptr, &si, &pi) != FALSE;
        }
        if (!created) {
            fprintf(results, "%u start-failed %lu 0 ended\n", line, ::GetLastError());
            continue;
        }
        qlLib::CKernelHandle process(pi.hProcess), thread(pi.hThread);
        if (job) ::AssignProcessToJobObject(job.Get(), process.Get());
        ::ResumeThread(thread.Get());
        const bool ended = ::WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0;
        if (!ended) {
            if (job) ::TerminateJobObject(job.Get(), 0xDEAD);
            ::TerminateProcess(process.Get(), 0xDEAD);
            ::WaitForSingleObject(process.Get(), 5000);
        }
        DWORD code = 0;
        ::GetExitCodeProcess(process.Get(), &code);
        fprintf(results, "%u 0x%08lX %lu %s\n", line, code, static_cast<unsigned long>(::GetTickCount64() - started),
                ended ? "ended" : "killed");
        fflush(results);
    }
    fclose(list);
    fclose(results);
    return 0;
}
