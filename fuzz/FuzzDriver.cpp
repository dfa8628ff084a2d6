#include "fuzz/FuzzDriver.h"

#include <malloc.h>
#include <objbase.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "runtime/FolderUtils.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"

namespace fuzz {
namespace {

using qlLib::CFileHandle;
using qlLib::CFindHandle;
using qlLib::CKernelHandle;

// The input being run, for the handlers that save it. Set before the reader is called.
struct CCurrent {
    const char* reader = "";
    const BYTE* data = nullptr;
    size_t size = 0;
    std::wstring source;
    unsigned long long record = 0;
};

CCurrent g_current;
std::wstring g_findings = L"fuzz-findings";
std::atomic<bool> g_busy{false};
std::atomic<ULONGLONG> g_started{0};
DWORD g_timeoutMs = 10000;
ULONGLONG g_memoryLimit = 1024ull << 20;
volatile LONG g_ending = 0;

unsigned long long Fnv1a(const BYTE* data, size_t size) {
    unsigned long long hash = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
    return hash;
}

bool WriteWholeFile(const std::wstring& path, const BYTE* data, size_t size) {
    CFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file.Get(), data, chunk, &written, nullptr) || written != chunk) return false;
        data += chunk;
        size -= chunk;
    }
    return true;
}

// Saves the current input under the findings folder, reports it and ends the process. Only the
// first caller gets through; a second finding (another thread) waits for the end.
[[noreturn]] void Finding(const char* kind, const char* detail, int exitCode) {
    if (::InterlockedCompareExchange(&g_ending, 1, 0) != 0) {
        for (;;) ::Sleep(INFINITE);
    }
    ::CreateDirectoryW(g_findings.c_str(), nullptr);
    std::wstring name, path, message;
    const bool saved =
        qlLib::FormatString(name, L"%hs-%hs-%016I64x.bin", kind, g_current.reader,
                            Fnv1a(g_current.data, g_current.size)) &&
        qlLib::JoinPath(path, g_findings, name) && WriteWholeFile(path, g_current.data, g_current.size);
    qlLib::FormatString(message, L"fuzz %hs: %hs (%hs) on %s record %I64u (%Iu bytes); %s %s\n", g_current.reader, kind,
                        detail, g_current.source.c_str(), g_current.record, g_current.size,
                        saved ? L"saved as" : L"could not save", path.c_str());
    fputws(message.c_str(), stderr);
    fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(exitCode));
    for (;;) ::Sleep(INFINITE);
}

LONG WINAPI UnhandledException(EXCEPTION_POINTERS* pointers) {
    // The address as an offset into the harness, for addr2line.
    char detail[96];
    const ULONG_PTR address = reinterpret_cast<ULONG_PTR>(pointers->ExceptionRecord->ExceptionAddress);
    const ULONG_PTR base = reinterpret_cast<ULONG_PTR>(::GetModuleHandleW(nullptr));
    snprintf(detail, sizeof(detail), "exception 0x%08lX at image base + 0x%lx",
             static_cast<unsigned long>(pointers->ExceptionRecord->ExceptionCode),
             static_cast<unsigned long>(address - base));
    Finding("crash", detail, kExitCrash);
}

void Abort(int) { Finding("crash", "abort", kExitCrash); }
void Terminate() { Finding("crash", "uncaught exception", kExitCrash); }

DWORD WINAPI Watchdog(void*) {
    for (;;) {
        ::Sleep(50);
        if (!g_busy.load()) continue;
        if (::GetTickCount64() - g_started.load() > g_timeoutMs) Finding("hang", "time-out", kExitHang);
        PROCESS_MEMORY_COUNTERS_EX memory = {};
        memory.cb = sizeof(memory);
        if (::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                   sizeof(memory)) &&
            memory.PrivateUsage > g_memoryLimit)
            Finding("memory", "memory limit", kExitMemory);
    }
}

bool ReadWholeFile(const std::wstring& path, std::vector<BYTE>& bytes) {
    CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !::GetFileSizeEx(file.Get(), &size) || size.QuadPart > (1ll << 30)) return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        if (!::ReadFile(file.Get(), bytes.data() + done, chunk, &read, nullptr) || read == 0) return false;
        done += read;
    }
    return true;
}

// The files an argument stands for: itself, or the files of the folder in name order.
bool ExpandInput(const std::wstring& argument, std::vector<std::wstring>& files) {
    const DWORD attributes = ::GetFileAttributesW(argument.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        files.push_back(argument);
        return true;
    }
    std::wstring pattern;
    if (!qlLib::JoinPath(pattern, argument, L"*")) return false;
    WIN32_FIND_DATAW entry;
    CFindHandle find(::FindFirstFileW(pattern.c_str(), &entry));
    std::vector<std::wstring> found;
    if (find) {
        do {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            std::wstring path;
            if (qlLib::JoinPath(path, argument, entry.cFileName)) found.push_back(path);
        } while (::FindNextFileW(find.Get(), &entry));
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
    return true;
}

// Names in a folder other than "." and "..".
std::vector<std::wstring> Entries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    std::wstring pattern;
    if (!qlLib::JoinPath(pattern, folder, L"*")) return names;
    WIN32_FIND_DATAW entry;
    CFindHandle find(::FindFirstFileW(pattern.c_str(), &entry));
    if (!find) return names;
    do {
        if (wcscmp(entry.cFileName, L".") && wcscmp(entry.cFileName, L"..")) names.push_back(entry.cFileName);
    } while (::FindNextFileW(find.Get(), &entry));
    return names;
}

int Usage() {
    fprintf(stderr,
            "usage: fuzz_<reader>.exe [--records SIZE] [--cut] [--heap-check] [--findings DIR] [--timeout MS] [--memory MB]\n"
            "       [--work DIR] INPUT...\n");
    return kExitUsage;
}

}  // namespace

bool CFuzzContext::WriteInput(const wchar_t* name, std::wstring& path) const {
    return qlLib::JoinPath(path, m_work, name) && WriteWholeFile(path, m_data, m_size);
}

void CFuzzContext::Fail(const char* what) const { Finding("crash", what, kExitCrash); }

void CFuzzContext::CheckNothingEscaped(std::initializer_list<const wchar_t*> allowed) const {
    for (const std::wstring& name : Entries(m_work)) {
        bool known = false;
        for (const wchar_t* a : allowed) known = known || _wcsicmp(a, name.c_str()) == 0;
        if (!known) Fail("the reader wrote a name it was not given");
    }
    // The chain root\w\x\y: each level holds just the next one.
    std::wstring folder = m_root;
    for (const wchar_t* next : {L"w", L"x", L"y"}) {
        const std::vector<std::wstring> names = Entries(folder);
        if (names.size() != 1 || names[0] != next) Fail("a file was written outside the reader's folder");
        std::wstring below;
        qlLib::JoinPath(below, folder, next);
        folder = below;
    }
}

int RunHarness(int argc, wchar_t** argv, const char* reader, FuzzFunction function) {
    size_t recordSize = 0;
    bool cut = false;
    bool heapCheck = false;
    std::wstring workBase;
    std::vector<std::wstring> files;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--records" && hasValue) {
            recordSize = wcstoul(argv[++i], nullptr, 10);
            if (recordSize == 0) return Usage();
        } else if (arg == L"--cut") {
            cut = true;
        } else if (arg == L"--heap-check") {
            heapCheck = true;
        } else if (arg == L"--findings" && hasValue) {
            g_findings = argv[++i];
        } else if (arg == L"--timeout" && hasValue) {
            g_timeoutMs = wcstoul(argv[++i], nullptr, 10);
        } else if (arg == L"--work" && hasValue) {
            workBase = argv[++i];
        } else if (arg == L"--memory" && hasValue) {
            g_memoryLimit = static_cast<ULONGLONG>(wcstoul(argv[++i], nullptr, 10)) << 20;
        } else if (arg.size() > 2 && arg.compare(0, 2, L"--") == 0) {
            return Usage();
        } else if (!ExpandInput(arg, files)) {
            fprintf(stderr, "fuzz %s: cannot read an input\n", reader);
            return kExitUsage;
        }
    }
    if (files.empty()) return Usage();

    g_current.reader = reader;
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ULONG guarantee = 64 * 1024;
    ::SetThreadStackGuarantee(&guarantee);
    ::SetUnhandledExceptionFilter(UnhandledException);
    signal(SIGABRT, Abort);
    std::set_terminate(Terminate);
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    // A fresh folder chain for the reader: root\w\x\y.
    CFuzzContext context;
    if (workBase.empty()) {
        wchar_t temp[MAX_PATH + 1];
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
        if (length > 0 && length <= MAX_PATH) workBase = temp;
    }
    std::wstring leaf;
    if (workBase.empty() ||
        !qlLib::FormatString(leaf, L"ministub-fuzz-%lu-%I64u", ::GetCurrentProcessId(), ::GetTickCount64()) ||
        !qlLib::JoinPath(context.m_root, workBase, leaf) ||
        !qlLib::JoinPath(context.m_work, context.m_root, L"w\\x\\y") ||
        !qlLib::CreateFolderTree(context.m_work, nullptr)) {
        fprintf(stderr, "fuzz %s: cannot make a work folder\n", reader);
        return kExitUsage;
    }
    CKernelHandle watchdog(::CreateThread(nullptr, 64 * 1024, Watchdog, nullptr, 0, nullptr));

    const ULONGLONG began = ::GetTickCount64();
    unsigned long long inputs = 0;
    std::vector<BYTE> bytes;
    for (const std::wstring& file : files) {
        if (!ReadWholeFile(file, bytes)) {
            fprintf(stderr, "fuzz %s: cannot read an input\n", reader);
            return kExitUsage;
        }
        g_current.source = file;
        const size_t step = recordSize ? recordSize : std::max<size_t>(bytes.size(), 1);
        unsigned long long record = 0;
        for (size_t at = 0; at < bytes.size() || (at == 0 && bytes.empty()); at += step, ++record) {
            const BYTE* data = bytes.data() + at;
            const size_t size = std::min(step, bytes.size() - at);
            // The whole input, then (with --cut) a prefix whose length its bytes choose.
            for (int pass = 0; pass < (cut && size > 1 ? 2 : 1); ++pass) {
                const size_t used = pass == 0 ? size : 1 + static_cast<size_t>(Fnv1a(data, size) % (size - 1));
                // An allocation of its own, so that a read past the end leaves the block.
                std::unique_ptr<BYTE[]> copy(new BYTE[used ? used : 1]);
                if (used) memcpy(copy.get(), data, used);
                g_current.data = copy.get();
                g_current.size = used;
                g_current.record = record;
                context.m_data = copy.get();
                context.m_size = used;
                context.m_serial = inputs;
                g_started.store(::GetTickCount64());
                g_busy.store(true);
                try {
                    function(copy.get(), used, context);
                } catch (...) {
                    Finding("crash", "exception left the reader", kExitCrash);
                }
                g_busy.store(false);
                // With Wine's heap checking on, a block overrun or a write after free shows here,
                // at the input that caused it.
                if (heapCheck && (_heapchk() != _HEAPOK || !::HeapValidate(::GetProcessHeap(), 0, nullptr)))
                    Finding("crash", "heap damaged", kExitCrash);
                ++inputs;
            }
            if (bytes.empty()) break;
        }
    }
    const ULONGLONG elapsed = std::max<ULONGLONG>(::GetTickCount64() - began, 1);
    qlLib::DeleteFolderTree(context.m_root, nullptr);
    printf("fuzz %s: %s inputs in %s ms (%s/s), no findings\n", reader, std::to_string(inputs).c_str(),
           std::to_string(elapsed).c_str(), std::to_string(inputs * 1000 / elapsed).c_str());
    return 0;
}

}  // namespace fuzz
