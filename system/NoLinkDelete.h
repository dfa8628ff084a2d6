#pragma once
// Deletion that no link can redirect, for a process with more rights than the users who may have
// made the tree. Every folder of a tree is held open while the walk works in it (without delete
// sharing, so that nobody renames or replaces it meanwhile) and checked through that handle: no
// link, and its final path is its parent's and its name. Entries are opened without following
// links and deleted through their handles; a link is removed as itself or left, never followed,
// and well-known folders are never entered. Rights are granted and attributes changed only on an
// entry that lies where its name says inside the named folder and has no second name (a hard
// link would carry the change to somebody else's file).
#include <windows.h>

#include <string>
#include <vector>

namespace TARN {

class CNoLinkDelete {
public:
    CNoLinkDelete(bool allowRestart, bool report);
    virtual ~CNoLinkDelete() = default;

    // CUtils::DeleteFolder once its guard has passed the path: S_OK, CUtils::kRebootRequired,
    // E_FAIL (E_OUTOFMEMORY when memory runs out).
    HRESULT RemoveTree(const wchar_t* path);
    // CUtils::DeleteFileW for a non-empty path.
    HRESULT RemoveFile(const wchar_t* path);

protected:
    // For tests: called with each folder of the tree once it has been listed, before any of its
    // entries is opened.
    virtual void Listed(const std::wstring& /*folder*/) {}

private:
    struct CEntry;
    struct CListed {
        std::wstring name;
        DWORD attributes;
    };

    bool Locate(const wchar_t* path, CEntry& parent, CEntry& entry, std::wstring& expected);
    bool Empty(const CEntry& folder);
    bool DeleteEntry(const CEntry& folder, const CListed& listed);
    bool Stays(const CEntry& folder, const CEntry& entry, bool isFolder, DWORD error);
    bool Leave(const CEntry& entry);
    bool TryRemoveFile(CEntry& file, const std::wstring& expected, DWORD& error);
    static void List(HANDLE folder, std::vector<CListed>& entries);

    bool m_allowRestart;
    bool m_report;      // report failures and stop at the first
    bool m_scheduled;   // a file was scheduled for deletion at restart
};

}  // namespace TARN
