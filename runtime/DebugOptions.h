#pragma once
// Debug options of the shared component set: trace settings and crash handler settings, read
// from "<isolation root>\Quillon\Debug" under HKEY_LOCAL_MACHINE.
#include <windows.h>
#include <map>
#include <string>

namespace qlLib {

class CDebugOutput;

class CDebugOptions {
public:
    CDebugOptions() { Reset(); }

    // Every field back to its default, module list cleared.
    void Reset();
    // Reads both keys under the isolation root. False when the root is unknown or the module
    // list cannot be enumerated; true otherwise, also when the keys are absent.
    bool Load();
    // Same, for an explicit isolation root ("hive\silo" under HKEY_LOCAL_MACHINE).
    bool LoadFromRoot(const std::wstring& isolationRoot);
    // Copies the trace settings into a trace log; false only when setting the directory failed.
    bool ApplyTo(CDebugOutput& output) const;

    // Trace options (key "DebugOutput").
    DWORD DebugType;
    std::wstring Directory;
    DWORD OutputToDebugger;
    DWORD OutputToFile;
    DWORD AppendProcessIdToFile;
    DWORD PrependThreadId;
    DWORD PrependProcessId;
    DWORD PrependDateTime;
    DWORD PrependModuleName;
    DWORD AppendNewLine;
    DWORD PrependType;
    DWORD ExclusiveModules;
    std::map<std::wstring, DWORD> Modules;   // subkey "Modules": module name -> on/off

    // Crash handler options (key "CrashHandler").
    DWORD DumpOnNew;
    DWORD TerminateOnNew;
    DWORD ThrowOnNew;
    DWORD DumpOnException;
    DWORD TerminateOnException;
    DWORD DumpOnPurecall;
    DWORD TerminateOnPurecall;
    DWORD DumpOnSecurity;
    DWORD TerminateOnSecurity;
    DWORD DumpOnInvalidParameter;
    DWORD TerminateOnInvalidParameter;
    std::wstring CrashDirectory;
    DWORD DumpType;
    DWORD AppendDateTimeToFile;
    DWORD AppendVersionToFile;
    DWORD CallbackEnabled;
    std::wstring CallbackPath;

private:
    void ReadCrashValues(HKEY key);
    void ReadTraceValues(HKEY key);
    bool ReadModuleList(HKEY traceKey);
};

}  // namespace qlLib
