#pragma once
// The process-wide crash handler: turns a failed allocation, an unhandled exception, a pure
// virtual call or an invalid runtime parameter into a minidump (through the dump service where it
// is installed, else in-process), optionally ends the process, and for unhandled exceptions can
// run an outside program first.
#include <windows.h>
#include <string>

#include "CriticalSection.h"
#include "Handles.h"

namespace qlLib {

class CDebugOptions;

enum ECrashKind {
    eCrashKind_New = 2,                // allocation failure
    eCrashKind_Exception = 3,          // unhandled exception
    eCrashKind_Purecall = 4,           // pure virtual call
    eCrashKind_Security = 5,           // security check failure (options only, no hook)
    eCrashKind_InvalidParameter = 6,   // invalid parameter passed to a runtime function
};

class CCrashHandler {
public:
    CCrashHandler();
    // Puts every hook this object installed back to what it replaced.
    ~CCrashHandler();
    CCrashHandler(const CCrashHandler&) = delete;
    CCrashHandler& operator=(const CCrashHandler&) = delete;

    // Takes the crash part of the options. Installs the hooks when any dump, terminate or
    // callback flag is set, and loads the system folder's dbghelp.dll (never one from the dump
    // folder). False when the hooks belong to another handler object or the program path is
    // unknown.
    bool SetOptions(const CDebugOptions& options);
    // The text of the dump file name's version suffix (none while empty).
    bool SetVersionText(const wchar_t* text);

    // Writes the dump for one event (pointers may be null) and ends the process when the kind's
    // terminate flag is set. True when the kind's dump is off or the dump was written.
    bool HandleEvent(int kind, EXCEPTION_POINTERS* pointers);
    // Runs the configured callback program for an unhandled exception and waits for it. True
    // when it ran.
    bool RunCallback(int kind, EXCEPTION_POINTERS* pointers);

private:
    static const int kKindCount = 7;   // kinds are 2..6

    bool InstallHooks();
    void UninstallHooks();
    bool LoadDbgHelp(HMODULE module);
    bool DumpFileName(std::wstring& name) const;
    bool DumpThroughService(EXCEPTION_POINTERS* pointers);
    bool WriteDump(EXCEPTION_POINTERS* pointers);
    // The rights every dump is created with, made once outside the crash path.
    bool PrepareDumpSecurity();

    CCriticalSection m_lock;
    bool m_dump[kKindCount];
    bool m_terminate[kKindCount];
    std::wstring m_dumpPath;
    std::wstring m_versionText;
    bool m_appendDateTime;
    bool m_appendVersion;
    DWORD m_dumpType;
    bool m_callbackEnabled;
    std::wstring m_callbackPath;
    bool m_hooksInstalled;
    CModuleHandle m_dbgHelp;
    void* m_writeDump;   // DbgHelp's MiniDumpWriteDump
    CLocalMemory m_dumpSecurity;
};

// The process's crash handler, configured by the entry point and the install run's logging set-up.
extern CCrashHandler g_CrashHandler;

}  // namespace qlLib
