#include "DebugOptions.h"

#include <new>

#include "DebugOutput.h"
#include "Handles.h"
#include "Isolation.h"
#include "PathUtils.h"
#include "RegistryRead.h"
#include "StringUtils.h"

namespace qlLib {

void CDebugOptions::Reset() {
    DebugType = 0;
    Directory.clear();
    OutputToDebugger = 1;
    OutputToFile = 0;
    AppendProcessIdToFile = 1;
    PrependThreadId = 1;
    PrependProcessId = 1;
    PrependDateTime = 1;
    PrependModuleName = 1;
    AppendNewLine = 1;
    PrependType = 1;
    ExclusiveModules = 0;
    Modules.clear();

    DumpOnNew = 0;
    TerminateOnNew = 0;
    ThrowOnNew = 1;
    DumpOnException = 0;
    TerminateOnException = 0;
    DumpOnPurecall = 0;
    TerminateOnPurecall = 0;
    DumpOnSecurity = 0;
    TerminateOnSecurity = 0;
    DumpOnInvalidParameter = 0;
    TerminateOnInvalidParameter = 0;
    CrashDirectory.clear();
    DumpType = 0x22;   // MiniDumpWithFullMemory | MiniDumpWithUnloadedModules
    AppendDateTimeToFile = 1;
    AppendVersionToFile = 1;
    CallbackEnabled = 0;
    CallbackPath.clear();
}

bool CDebugOptions::Load() {
    std::wstring root;
    if (!CIsolation::GetIsolationRoot(root)) return false;
    return LoadFromRoot(root);
}

bool CDebugOptions::LoadFromRoot(const std::wstring& isolationRoot) {
    std::wstring base, crashPath, tracePath;
    if (isolationRoot.empty() || !JoinPath(base, isolationRoot, L"Quillon\\Debug") ||
        !JoinPath(crashPath, base, L"CrashHandler") || !JoinPath(tracePath, base, L"DebugOutput"))
        return false;
    const REGSAM access = SharedKeyReadAccess();

    CRegKeyHandle crashKey;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, crashPath.c_str(), 0, access, crashKey.Receive()) == ERROR_SUCCESS)
        ReadCrashValues(crashKey.Get());

    CRegKeyHandle traceKey;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, tracePath.c_str(), 0, access, traceKey.Receive()) != ERROR_SUCCESS)
        return true;   // defaults stand
    ReadTraceValues(traceKey.Get());
    return ReadModuleList(traceKey.Get());
}

void CDebugOptions::ReadCrashValues(HKEY key) {
    ReadRegDword(key, L"DumpOnNew", DumpOnNew);
    ReadRegDword(key, L"TerminateOnNew", TerminateOnNew);
    ReadRegDword(key, L"ThrowOnNew", ThrowOnNew);
    ReadRegDword(key, L"DumpOnException", DumpOnException);
    ReadRegDword(key, L"TerminateOnException", TerminateOnException);
    ReadRegDword(key, L"DumpOnPurecall", DumpOnPurecall);
    ReadRegDword(key, L"TerminateOnPurecall", TerminateOnPurecall);
    ReadRegDword(key, L"DumpOnSecurity", DumpOnSecurity);
    ReadRegDword(key, L"TerminateOnSecurity", TerminateOnSecurity);
    ReadRegDword(key, L"DumpOnInvalidParameter", DumpOnInvalidParameter);
    ReadRegDword(key, L"TerminateOnInvalidParameter", TerminateOnInvalidParameter);
    ReadRegString(key, L"Directory", CrashDirectory);
    ReadRegDword(key, L"DumpType", DumpType);
    ReadRegDword(key, L"AppendDateTimeToFile", AppendDateTimeToFile);
    ReadRegDword(key, L"AppendVersionToFile", AppendVersionToFile);
    ReadRegDword(key, L"CallbackEnabled", CallbackEnabled);
    ReadRegString(key, L"CallbackPath", CallbackPath);
}

void CDebugOptions::ReadTraceValues(HKEY key) {
    ReadRegDword(key, L"DebugType", DebugType);
    ReadRegString(key, L"Directory", Directory);
    ReadRegDword(key, L"OutputToDebugger", OutputToDebugger);
    ReadRegDword(key, L"OutputToFile", OutputToFile);
    ReadRegDword(key, L"AppendProcessIdToFile", AppendProcessIdToFile);
    ReadRegDword(key, L"PrependThreadId", PrependThreadId);
    ReadRegDword(key, L"PrependProcessId", PrependProcessId);
    ReadRegDword(key, L"PrependDateTime", PrependDateTime);
    ReadRegDword(key, L"PrependModuleName", PrependModuleName);
    ReadRegDword(key, L"AppendNewLine", AppendNewLine);
    ReadRegDword(key, L"PrependType", PrependType);
    ReadRegDword(key, L"ExclusiveModules", ExclusiveModules);
}

bool CDebugOptions::ReadModuleList(HKEY traceKey) {
    CRegKeyHandle modulesKey;
    if (::RegOpenKeyExW(traceKey, L"Modules", 0, KEY_READ, modulesKey.Receive()) != ERROR_SUCCESS) return true;
    try {
        Modules.clear();
        for (DWORD index = 0;; ++index) {
            wchar_t name[260];
            DWORD nameLength = 260;
            DWORD type = 0;
            DWORD data = 0;
            DWORD size = sizeof(data);
            LONG rc = ::RegEnumValueW(modulesKey.Get(), index, name, &nameLength, nullptr, &type,
                                      reinterpret_cast<BYTE*>(&data), &size);
            if (rc == ERROR_NO_MORE_ITEMS) return true;
            if (rc == ERROR_MORE_DATA) {
                // Data larger than a DWORD is no on/off value; a name of 260 characters or more
                // cannot name a module file either: skip both and go on.
                continue;
            }
            if (rc != ERROR_SUCCESS) return false;
            if (type != REG_DWORD || size != sizeof(DWORD)) continue;
            Modules[std::wstring(name, nameLength)] = data;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CDebugOptions::ApplyTo(CDebugOutput& output) const {
    output.SetLevel(static_cast<LONG>(DebugType));
    output.SetOutputToDebugger(OutputToDebugger);
    output.SetOutputToFile(OutputToFile);
    output.SetAppendProcessIdToFile(AppendProcessIdToFile);
    output.SetPrependThreadId(PrependThreadId);
    output.SetPrependProcessId(PrependProcessId);
    output.SetPrependDateTime(PrependDateTime);
    output.SetPrependModuleName(PrependModuleName);
    output.SetPrependType(PrependType);
    output.SetAppendNewLine(AppendNewLine);
    bool ok = true;
    if (!Directory.empty()) ok = output.SetDirectory(Directory.c_str());

    if (ExclusiveModules != 0 && !Modules.empty()) output.SetLevel(0);
    const std::wstring moduleName = output.GetModuleName();
    for (const auto& entry : Modules) {
        if (EqualsNoCase(entry.first.c_str(), moduleName.c_str())) {
            output.SetLevel(entry.second != 0 ? static_cast<LONG>(DebugType) : 0);
            break;
        }
    }
    return ok;
}

}  // namespace qlLib
