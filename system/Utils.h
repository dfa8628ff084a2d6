#pragma once
// The installer framework's file and folder operations: a folder walker, deletion with a fallback
// to deletion at the next restart, removal of empty folders, the copy of a tree's DLLs, the guard
// against deleting well-known folders, and the installer root.
#include <windows.h>

#include <string>

namespace TARN {

class CUtils {
public:
    // Results besides S_OK, E_INVALIDARG, E_FAIL, E_OUTOFMEMORY and E_ACCESSDENIED.
    static constexpr HRESULT kRebootRequired = static_cast<HRESULT>(0x80070BC2);   // ERROR_SUCCESS_REBOOT_REQUIRED
    static constexpr HRESULT kCancelled = static_cast<HRESULT>(0x800704C7);        // ERROR_CANCELLED
    static constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);         // ERROR_NOT_FOUND

    // A Win32 error as (error AND 0xFFFF) OR 0x80070000: never a success, even for a missing error.
    static HRESULT ErrorResult(DWORD error) { return static_cast<HRESULT>((error & 0xFFFF) | 0x80070000); }

    // Called for every entry of a walk: the folder being listed, the top folder (or null), the
    // entry and the caller's context. An entry with an empty name announces the folder before its
    // contents. True goes on, false stops the walk.
    typedef bool (*EnumCallback)(const wchar_t* folder, const wchar_t* top, const WIN32_FIND_DATAW& entry,
                                 void* context);

    // Walks folder (entries matching pattern): announces it, then hands over each entry in the
    // order the file system lists them; with recurse, a subfolder's contents come before the
    // subfolder's own entry. A link (reparse point) to a folder is announced and handed over but
    // never listed, so a walk does not leave its tree. S_OK, kCancelled when the callback stopped
    // it, kNotFound when folder cannot be listed.
    static HRESULT EnumFolder(const wchar_t* folder, const wchar_t* pattern, const wchar_t* top, bool recurse,
                              EnumCallback callback, void* context);

    // Deletes a file (read-only or not) through a handle that no link redirects. A file that
    // cannot be deleted now is scheduled for deletion at the next restart when allowRestart is set
    // (kRebootRequired). A missing file counts as deleted.
    static HRESULT DeleteFileW(const wchar_t* path, bool allowRestart);

    // Deletes a folder tree (CNoLinkDelete). Entries that cannot be deleted are scheduled for the
    // next restart when allowRestart is set (kRebootRequired); report stops at the first failure
    // (E_FAIL). Well-known folders and drive roots are refused with E_INVALIDARG, and are never
    // entered further down; a missing folder counts as deleted. Links inside the tree are removed
    // as links or left, never followed.
    static HRESULT DeleteFolder(const wchar_t* path, bool allowRestart, bool report);

    // Removes the empty folders of a tree, deepest first, and the folder itself; folders that
    // still hold files are scheduled for the next restart (kRebootRequired).
    static HRESULT DeleteEmptyFolders(const wchar_t* path);

    // Copies every ".DLL" file of the source tree to the same relative place under destination;
    // files that exist there already are kept. The first failed copy stops it (E_FAIL).
    static HRESULT CopyFiles(const wchar_t* source, const wchar_t* destination);

    // Whether path is one of the well-known system and user folders (resolved once per process),
    // a drive root, or too short to be anything else. Their subfolders are not protected.
    static bool IsProtectedFolder(const wchar_t* path);

    // The Program Files folder joined with "VelmorInstaller".
    static bool GetInstallerRoot(std::wstring& path);

    // Starts program (quoted when its path has a space) with arguments, or the arguments alone
    // as a command line when program is null. With exitCode, waits for the process while
    // dispatching this thread's window messages, and gives back its full exit code.
    static HRESULT ExecuteProgramEx(DWORD* exitCode, const wchar_t* program, const wchar_t* arguments);
    // Splits a command line into its program (the first token: in double quotation marks, or up
    // to the first space) and the rest. True only when the program is an absolute path to an
    // existing file that is no folder and no link, so that the system never searches for it and
    // a path with spaces never runs as "C:\Program.exe".
    static bool SplitCommand(const wchar_t* command, std::wstring& program, std::wstring& arguments);

    // The install UI's language module "InsMUI.loc" below folder for the best language, loaded
    // as data and added to the modules that LoadResourceString searches; null when none loads.
    static HMODULE LoadResourceModule(const wchar_t* folder);
    static void UnloadResourceModule(HMODULE module);
    // A string of the loaded language modules, the newest first.
    static bool LoadResourceString(UINT id, std::wstring& text);
    // Remembers the default language ("PPSS") as a LANGID in cache\"fallback.dat", once: an
    // existing file is kept. The file is created read-only.
    static HRESULT WriteLanguageFallback(const wchar_t* defaultLanguage, const wchar_t* cache);

    // The failure ping's endpoint ("http://host/n/p") on the test or the production statistics
    // server: built-in hosts, which HKLM "Software\Velmor\Statistics" "TestServer" and "Server"
    // (a host with an optional ":port") replace.
    static bool GetStatisticsEndpoint(bool production, std::wstring& endpoint);
    // A query ("?a=b&..."), a query without "?" or a whole URL in canonical form, with unsafe
    // characters and spaces escaped; a query keeps its form.
    static bool CanonicalizePartialURL(std::wstring& url);

    // The pending-restart marker HKLM "SOFTWARE\Velmor\Reboot", volatile: the next restart
    // removes it. Failures are reported, not returned.
    static void SetRebootFlag();
    static bool IsRebootPending();

private:
    friend class CNoLinkDelete;

    struct CCopyContext {
        const wchar_t* extension;    // null: every file
        std::wstring destination;    // follows the walk into subfolders
        BYTE overwrite;
        BYTE mirrorSubfolders;
        LONG depth;
    };

    static bool DeleteEmptyFolderHandler(const wchar_t* folder, const wchar_t* top, const WIN32_FIND_DATAW& entry,
                                         void* context);
    static bool CopyFilesHandler(const wchar_t* folder, const wchar_t* top, const WIN32_FIND_DATAW& entry,
                                 void* context);

    // Full access for the process user, BUILTIN\Administrators and LocalSystem, after an
    // access-denied failure; failures are reported and ignored.
    static void GrantFullAccess(const wchar_t* path);
    // Writes the security descriptor of path (and of its parent folder) to the trace log.
    static void DumpSecurity(const wchar_t* path);
    static void DumpSecurityWithParent(const wchar_t* path);
    // Creates folder with its parents, granting access and trying once more when that fails.
    static bool EnsureFolder(const std::wstring& folder);
    // IsProtectedFolder for a path that is final already (a handle's final path): the comparison
    // alone, without resolving the path again.
    static bool IsProtectedFinalPath(const std::wstring& finalPath);
    // The path as the system resolves it: absolute, without "." and ".." parts, trailing dots and
    // spaces, "\\?\" prefix or short names. Throws std::bad_alloc.
    static bool CanonicalPath(const wchar_t* path, std::wstring& canonical);
};

}  // namespace TARN
