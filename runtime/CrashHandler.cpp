#include "CrashHandler.h"

#include <dbghelp.h>   // types only: DbgHelp is loaded at run time, never linked
#include <sddl.h>
#include <stdlib.h>

#include <cstdint>
#include <new>

#include "DebugOptions.h"
#include "NoLinkFile.h"
#include "PathUtils.h"
#include "PrivilegeHolder.h"
#include "SplitPath.h"
#include "StringUtils.h"

// msvcrt's own pure-call report (message, then the process ends); mingw does not declare it.
extern "C" int __cdecl _purecall(void);

namespace qlLib {

CCrashHandler g_CrashHandler;

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

const wchar_t kDumpServiceName[] = L"qlDmpSvc";
const wchar_t kDumpSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
const DWORD kServiceTimeoutMs = 600000;

// One owner slot per process-wide hook: only the handler object that claims it installs the hook,
// so a second object can never chain to itself or lose what was there before.
enum EHook { eHook_Filter, eHook_New, eHook_Purecall, eHook_InvalidParameter, eHookCount };
PVOID volatile g_owners[eHookCount];

LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter;
std::new_handler g_previousNewHandler;
_purecall_handler g_previousPurecall;
_invalid_parameter_handler g_previousInvalidParameter;

volatile LONG g_throwOnNew = 1;
volatile LONG g_newInProgress;

CCrashHandler* Owner(EHook hook) {
    return static_cast<CCrashHandler*>(g_owners[hook]);
}

LONG WINAPI UnhandledExceptionHook(EXCEPTION_POINTERS* pointers) {
    if (CCrashHandler* owner = Owner(eHook_Filter)) {
        owner->RunCallback(eCrashKind_Exception, pointers);
        owner->HandleEvent(eCrashKind_Exception, pointers);
    }
    return g_previousFilter ? g_previousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

void NewHook() {
    // The dump itself allocates: a failure in there only fails that allocation.
    if (::InterlockedCompareExchange(&g_newInProgress, 1, 0) != 0) throw std::bad_alloc();
    if (CCrashHandler* owner = Owner(eHook_New)) owner->HandleEvent(eCrashKind_New, nullptr);
    ::InterlockedExchange(&g_newInProgress, 0);
    if (g_throwOnNew) throw std::bad_alloc();
    // Returning would make the runtime retry the same allocation for ever: the handler before us
    // may free memory and retry; without one the allocation fails the runtime's own way.
    if (g_previousNewHandler) {
        g_previousNewHandler();
        return;
    }
    throw std::bad_alloc();
}

void __cdecl PurecallHook() {
    if (CCrashHandler* owner = Owner(eHook_Purecall)) owner->HandleEvent(eCrashKind_Purecall, nullptr);
    if (g_previousPurecall) g_previousPurecall();
}

void __cdecl InvalidParameterHook(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                  unsigned int line, uintptr_t reserved) {
    if (CCrashHandler* owner = Owner(eHook_InvalidParameter)) {
        owner->HandleEvent(eCrashKind_InvalidParameter, nullptr);
    }
    if (g_previousInvalidParameter) g_previousInvalidParameter(expression, function, file, line, reserved);
}

// The default dump path: the program's name with ".dmp", in the given folder or else the
// program's own.
bool ProgramDumpPath(const std::wstring& directory, std::wstring& path) {
    try {
        std::wstring program;
        CSplitPath split;
        if (!GetModulePath(nullptr, program) || !split.Split(program)) return false;
        const std::wstring fileName = split.FileName() + L".dmp";
        if (directory.empty()) {
            path = split.DriveAndFolder() + fileName;
            return true;
        }
        return JoinPath(path, directory, fileName);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// " name value" for the callback's command line; the value in decimal, pointer-sized so that an
// address prints whole in either bitness.
bool AppendArgument(std::wstring& commandLine, const wchar_t* name, ULONG_PTR value) {
    std::wstring argument;
    if (!FormatString(argument, L" %s %Iu", name, value)) return false;
    commandLine += argument;
    return true;
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                  &needed) != FALSE;
}

}  // namespace

CCrashHandler::CCrashHandler()
    : m_appendDateTime(true),
      m_appendVersion(true),
      m_dumpType(MiniDumpWithFullMemory | MiniDumpWithUnloadedModules),
      m_callbackEnabled(false),
      m_hooksInstalled(false),
      m_writeDump(nullptr) {
    for (int kind = 0; kind < kKindCount; ++kind) {
        m_dump[kind] = true;
        m_terminate[kind] = false;
    }
}

CCrashHandler::~CCrashHandler() {
    CCriticalSectionLock lock(m_lock);
    UninstallHooks();
}

bool CCrashHandler::SetOptions(const CDebugOptions& options) {
    CCriticalSectionLock lock(m_lock);
    m_dump[eCrashKind_New] = options.DumpOnNew != 0;
    m_terminate[eCrashKind_New] = options.TerminateOnNew != 0;
    m_dump[eCrashKind_Exception] = options.DumpOnException != 0;
    m_terminate[eCrashKind_Exception] = options.TerminateOnException != 0;
    m_dump[eCrashKind_Purecall] = options.DumpOnPurecall != 0;
    m_terminate[eCrashKind_Purecall] = options.TerminateOnPurecall != 0;
    m_dump[eCrashKind_Security] = options.DumpOnSecurity != 0;
    m_terminate[eCrashKind_Security] = options.TerminateOnSecurity != 0;
    m_dump[eCrashKind_InvalidParameter] = options.DumpOnInvalidParameter != 0;
    m_terminate[eCrashKind_InvalidParameter] = options.TerminateOnInvalidParameter != 0;
    ::InterlockedExchange(&g_throwOnNew, options.ThrowOnNew != 0 ? 1 : 0);
    m_appendDateTime = options.AppendDateTimeToFile != 0;
    m_appendVersion = options.AppendVersionToFile != 0;
    m_dumpType = options.DumpType;
    m_callbackEnabled = options.CallbackEnabled != 0;
    try {
        m_callbackPath = options.CallbackPath;
        std::wstring dumpPath;
        if (!ProgramDumpPath(options.CrashDirectory, dumpPath)) return false;
        if (!options.CrashDirectory.empty() || m_dumpPath.empty()) m_dumpPath.swap(dumpPath);
    } catch (const std::bad_alloc&) {
        return false;
    }

    bool anyFlag = m_callbackEnabled;
    for (int kind = eCrashKind_New; kind < kKindCount; ++kind) anyFlag = anyFlag || m_dump[kind] || m_terminate[kind];
    if (anyFlag && !InstallHooks()) return false;
    // Only the system's copy: the dump folder may be one that others could write to before it
    // was ours, and a DLL found there would run with this process's rights. Loading now keeps
    // the loader out of the crash path; a failure is retried when a dump is due.
    if (anyFlag && !m_writeDump) LoadDbgHelp(LoadSystemLibrary(L"dbghelp.dll"));
    if (anyFlag) PrepareDumpSecurity();
    return true;
}

bool CCrashHandler::PrepareDumpSecurity() {
    if (m_dumpSecurity) return true;
    // A full-memory dump can hold whatever the process held (credentials among it): SYSTEM and
    // the administrators only, whatever the folder lets its readers see.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kDumpSddl, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    m_dumpSecurity.Reset(descriptor);
    return true;
}

bool CCrashHandler::SetVersionText(const wchar_t* text) {
    CCriticalSectionLock lock(m_lock);
    try {
        m_versionText = text ? text : L"";
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CCrashHandler::HandleEvent(int kind, EXCEPTION_POINTERS* pointers) {
    CCriticalSectionLock lock(m_lock);
    if (kind < eCrashKind_New || kind >= kKindCount || !m_dump[kind]) return true;
    // A dump the service wrote ends the event here, as the service decides about the process.
    if (DumpThroughService(pointers)) return true;
    const bool written = WriteDump(pointers);
    if (m_terminate[kind]) ::TerminateProcess(::GetCurrentProcess(), 0xFFFFFFFF);
    return written;
}

bool CCrashHandler::RunCallback(int kind, EXCEPTION_POINTERS* pointers) {
    CCriticalSectionLock lock(m_lock);
    if (!m_callbackEnabled || m_callbackPath.empty() || kind != eCrashKind_Exception) return false;
    try {
        std::wstring commandLine;
        if (!FormatString(commandLine, L"\"%s\"", m_callbackPath.c_str()) ||
            !AppendArgument(commandLine, L"/pid", ::GetCurrentProcessId()) ||
            !AppendArgument(commandLine, L"/tid", ::GetCurrentThreadId()) ||
            !AppendArgument(commandLine, L"/crashtype", static_cast<ULONG_PTR>(kind)))
            return false;
        if (pointers && pointers->ExceptionRecord) {
            const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
            if (!AppendArgument(commandLine, L"/exceptioncode", record.ExceptionCode) ||
                !AppendArgument(commandLine, L"/crashaddress", reinterpret_cast<ULONG_PTR>(record.ExceptionAddress)) ||
                !AppendArgument(commandLine, L"/exceptionpointer", reinterpret_cast<ULONG_PTR>(pointers)))
                return false;
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!::CreateProcessW(m_callbackPath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                              nullptr, nullptr, &startup, &process))
            return false;
        CKernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
        ::WaitForSingleObject(processHandle.Get(), INFINITE);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CCrashHandler::InstallHooks() {
    if (m_hooksInstalled) return true;
    int claimed = 0;
    while (claimed < eHookCount &&
           ::InterlockedCompareExchangePointer(&g_owners[claimed], this, nullptr) == nullptr) {
        ++claimed;
    }
    if (claimed < eHookCount) {   // another handler object owns the hooks
        while (claimed > 0) ::InterlockedExchangePointer(&g_owners[--claimed], nullptr);
        return false;
    }
    g_previousNewHandler = std::set_new_handler(NewHook);
    g_previousPurecall = ::_set_purecall_handler(PurecallHook);
    g_previousInvalidParameter = ::_set_invalid_parameter_handler(InvalidParameterHook);
    g_previousFilter = ::SetUnhandledExceptionFilter(UnhandledExceptionHook);
    m_hooksInstalled = true;
    return true;
}

void CCrashHandler::UninstallHooks() {
    if (!m_hooksInstalled) return;
    ::SetUnhandledExceptionFilter(g_previousFilter);
    ::_set_invalid_parameter_handler(g_previousInvalidParameter);
    ::_set_purecall_handler(g_previousPurecall);
    std::set_new_handler(g_previousNewHandler);
    for (int hook = 0; hook < eHookCount; ++hook) ::InterlockedExchangePointer(&g_owners[hook], nullptr);
    m_hooksInstalled = false;
}

bool CCrashHandler::LoadDbgHelp(HMODULE module) {
    CModuleHandle candidate(module);
    if (!candidate) return false;
    // A copy that lacks any of these is not the DbgHelp this handler was built against.
    static const char* const kFunctions[] = {"MiniDumpWriteDump",    "StackWalk64",
                                             "SymFunctionTableAccess64", "SymGetModuleBase64",
                                             "UnDecorateSymbolName", "UnDecorateSymbolNameW"};
    void* writeDump = nullptr;
    for (const char* function : kFunctions) {
        void* address = reinterpret_cast<void*>(::GetProcAddress(candidate.Get(), function));
        if (!address) return false;
        if (!writeDump) writeDump = address;
    }
    m_dbgHelp = std::move(candidate);
    m_writeDump = writeDump;
    return true;
}

bool CCrashHandler::DumpFileName(std::wstring& name) const {
    try {
        std::wstring path = m_dumpPath;
        if (path.empty() && !ProgramDumpPath(std::wstring(), path)) return false;
        CSplitPath split;
        if (!split.Split(path)) return false;
        std::wstring result = split.DriveAndFolder() + split.FileName();
        if (m_appendVersion && !m_versionText.empty()) {
            result += L'-';
            result += m_versionText;
        }
        std::wstring suffix;
        if (m_appendDateTime) {
            if (!FormatLocalTimeStamp(suffix)) return false;
            result += L'-';
            result += suffix;
        }
        if (!FormatString(suffix, L"-%ld", static_cast<long>(::GetCurrentProcessId()))) return false;
        result += suffix;
        result += split.Extension();
        name.swap(result);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CCrashHandler::DumpThroughService(EXCEPTION_POINTERS* pointers) {
    CServiceHandle manager(::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
    if (!manager) return false;
    CServiceHandle service(::OpenServiceW(manager.Get(), kDumpServiceName, SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service) return false;
    SERVICE_STATUS_PROCESS status = {};
    if (!QueryStatus(service.Get(), status) || status.dwCurrentState != SERVICE_STOPPED) return false;

    // The service reads the exception record out of this process while this frame waits for it.
    CONTEXT context;
    EXCEPTION_RECORD record;
    EXCEPTION_POINTERS captured;
    if (!pointers) {
        ::ZeroMemory(&context, sizeof(context));
        ::ZeroMemory(&record, sizeof(record));
        ::RtlCaptureContext(&context);
        record.ExceptionAddress = __builtin_return_address(0);
        captured.ExceptionRecord = &record;
        captured.ContextRecord = &context;
        pointers = &captured;
    }
    std::wstring processId, threadId, recordAddress;
    if (!FormatString(processId, L"%d", static_cast<int>(::GetCurrentProcessId())) ||
        !FormatString(threadId, L"%d", static_cast<int>(::GetCurrentThreadId())) ||
        !FormatString(recordAddress, L"%p", pointers->ExceptionRecord))
        return false;
    // The service reads the record with this process's pointer size.
    LPCWSTR arguments[4] = {processId.c_str(), threadId.c_str(), sizeof(void*) == 8 ? L"64" : L"32",
                            recordAddress.c_str()};
    if (!::StartServiceW(service.Get(), 4, arguments)) return false;

    const DWORD start = ::GetTickCount();
    ::Sleep(1000);
    for (;;) {
        if (!QueryStatus(service.Get(), status)) return false;
        if (status.dwCurrentState == SERVICE_STOPPED) {
            // A service that stops with a failure of its own wrote no dump either.
            const bool clean =
                status.dwWin32ExitCode == NO_ERROR || status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR;
            return clean && status.dwServiceSpecificExitCode == 0;
        }
        if (::GetTickCount() - start >= kServiceTimeoutMs) return false;
        DWORD wait = status.dwWaitHint / 10;
        if (wait < 1000) wait = 1000;
        if (wait > 10000) wait = 10000;
        ::Sleep(wait);
    }
}

bool CCrashHandler::WriteDump(EXCEPTION_POINTERS* pointers) {
    if (!m_writeDump && !LoadDbgHelp(LoadSystemLibrary(L"dbghelp.dll"))) return false;
    std::wstring name;
    if (!DumpFileName(name)) return false;
    // Without rights of its own the dump would inherit the folder's, readable by the users.
    if (!PrepareDumpSecurity()) return false;
    SECURITY_ATTRIBUTES security = {sizeof(security), m_dumpSecurity.Get(), FALSE};
    // A new file, never one that was there (a link there would take the dump elsewhere), and
    // nothing there deleted by name: the folder may be one whose names lead elsewhere.
    CFileHandle file(
        CreateFileNoLink(name, GENERIC_WRITE | DELETE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, &security));
    if (!file) return false;
    CPrivilegeHolder debugPrivilege(SE_DEBUG_NAME);
    const DWORD processId = ::GetCurrentProcessId();
    CKernelHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process) return false;
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = ::GetCurrentThreadId();
    exception.ExceptionPointers = pointers;
    exception.ClientPointers = TRUE;
    const auto writeDump = reinterpret_cast<MiniDumpWriteDumpFn>(m_writeDump);
    return writeDump(process.Get(), processId, file.Get(), static_cast<MINIDUMP_TYPE>(m_dumpType),
                     pointers ? &exception : nullptr, nullptr, nullptr) != FALSE;
}

}  // namespace qlLib

// GCC's pure virtual calls land here. msvcrt's own pure-call handler cannot be set from outside,
// so the handler set through the runtime's hook runs first; then msvcrt reports the call and ends
// the process.
extern "C" void __cxa_pure_virtual() {
    const _purecall_handler handler = ::_set_purecall_handler(nullptr);
    ::_set_purecall_handler(handler);
    if (handler) handler();
    ::_purecall();
    ::TerminateProcess(::GetCurrentProcess(), 255);
}
