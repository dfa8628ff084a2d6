#pragma once
// Isolation settings of the shared component set: the silo identity (a braced GUID) and the
// registry hive under HKEY_LOCAL_MACHINE that together form the isolation root "hive\silo".
// They come from the first "isolate.ini" found in the program's folder or above it, or are set
// explicitly from the product's settings. A process with administrator rights (elevated or
// SYSTEM) reads the file from the program's own folder only, and only when nobody but the
// administrators may write there: anybody may put one into a folder above a download, into the
// common application data folder or a shared temp folder, and it names the registry keys that
// name the crash callback program, the trace and dump folders and the shared components' folder.
#include <string>

namespace qlLib {

class CIsolation {
public:
    static const wchar_t* const DefaultRegistryHive;   // "Software\Korvanta\Isolation"

    // "hive\silo". Resolves from isolate.ini on first use; false while no silo is known.
    static bool GetIsolationRoot(std::wstring& root);
    static bool GetSiloID(std::wstring& silo);
    // Accepts only a braced GUID of exactly 38 characters.
    static bool SetSiloID(const wchar_t* silo);
    // A non-empty registry path below HKEY_LOCAL_MACHINE.
    static bool SetSiloRegistryRoot(const wchar_t* hive);

    static bool IsValidSiloID(const wchar_t* text);
    // First isolate.ini in startFolder or any folder above it; the walk stops at a drive root
    // or at the share of a UNC path.
    static bool FindIsolationFile(const std::wstring& startFolder, std::wstring& iniPath);
    // Section "isolation": "silo" (must be valid) and "reghive" (default hive when absent).
    static bool ReadIsolationFile(const std::wstring& iniPath, std::wstring& silo, std::wstring& hive);
    // One warning line naming the isolation file that was found but not read for want of rights
    // on its folder, if any; for once the run's log is open.
    static void ReportIgnoredFile();
};

}  // namespace qlLib
