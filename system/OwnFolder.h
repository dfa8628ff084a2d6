#pragma once
// Folders of the installer's own below a folder where other users may create things (the common
// application data folder, a temp folder). When the process runs as an elevated administrator or
// as SYSTEM, each such folder from below the base down to the target is one that only SYSTEM and
// the administrators can change: owner Administrators, a protected DACL. A folder found there
// already is used only when it passes that test; anything else is never adopted: it is moved
// aside under a new name and a new folder is made in its place, or, where it cannot be moved,
// left as it is while a folder of a new name serves instead. New folders get their rights in the
// call that creates them, so nobody can hold a handle to them from before. A link on the way is
// refused, unless only the trusted could have made it and it leads to a folder of the same kind
// (an administrator who moved the logs to another drive). An ordinary process just creates the
// folders, as the system's defaults allow.
#include <windows.h>

#include <string>

#include "runtime/AdminToken.h"

namespace TARN {

class COwnFolder {
public:
    enum EReaders {
        eReaders_None,    // SYSTEM and the administrators only
        eReaders_Users,   // and the users may read (logs)
    };

    // Abstraction of the security calls, so a test can stand in for a system that keeps what is
    // set (Wine derives a file's security from its Unix permission bits and keeps nothing else).
    class ISecurity {
    public:
        virtual ~ISecurity() = default;
        // The owner and DACL of an open folder (or link) as SDDL; false when they cannot be read.
        virtual bool Read(HANDLE folder, std::wstring& sddl) = 0;
        // Creates the folder with the SDDL's owner and DACL; a Win32 error, or 0.
        virtual DWORD Create(const std::wstring& path, const std::wstring& sddl) = 0;
    };

    COwnFolder();
    // For tests: the token kind to act for and the security calls to use (null: the system's).
    COwnFolder(qlLib::ETokenKind kind, ISecurity* security);

    // Makes target (which must lie below base) and every folder between them; used receives the
    // folder really in use: target, or the same with a new name at each level whose folder was
    // somebody else's and could not be moved aside. S_OK, or a failure traced in one line:
    // HRESULT_FROM_WIN32(kErrorLinkRefused) for a link on the way, E_INVALIDARG for a target
    // outside base. One warning line for each folder moved aside or replaced by a new name.
    HRESULT Ensure(const std::wstring& base, const std::wstring& target, EReaders readers, std::wstring& used);
    // Makes a folder of a new name below base (prefix and a number), that nobody else has had
    // a chance to see before it was secured.
    HRESULT CreateFresh(const std::wstring& base, const wchar_t* prefix, EReaders readers, std::wstring& folder);

    // The owner and DACL such folders get, as SDDL.
    static const wchar_t* Sddl(EReaders readers);
    // Whether an owner and DACL (SDDL) keep everybody but SYSTEM, the administrators and the
    // trusted installer from writing, creating or deleting in the folder and from changing its
    // rights.
    static bool IsProtected(const std::wstring& sddl);

    // Whether folders are secured at all: the process runs elevated or as SYSTEM.
    bool Privileged() const { return m_kind != qlLib::eToken_User; }

private:
    // One level: the folder name in parent (whose final path is parentFinal). used and usedFinal
    // receive the folder that serves for it and its final path.
    HRESULT EnsureLevel(const std::wstring& parent, const std::wstring& parentFinal, bool parentIsBase,
                        const std::wstring& name, EReaders readers, std::wstring& used, std::wstring& usedFinal);
    // The same for an unprivileged process: the system's defaults, today's folders as they are.
    HRESULT EnsurePlainLevel(const std::wstring& path);
    // A link found at path: used only when the trusted made it in a folder only they may change
    // and it leads to a protected folder.
    HRESULT UseLink(const std::wstring& path, HANDLE link, const std::wstring& parent, bool parentIsBase,
                    std::wstring& usedFinal);
    // Creates path (which must be new) with the readers' rights and checks that it lies in
    // parentFinal; finalPath receives its final path.
    HRESULT CreateNew(const std::wstring& path, const std::wstring& parentFinal, EReaders readers,
                      std::wstring& finalPath);
    HRESULT CreateFreshIn(const std::wstring& parent, const std::wstring& parentFinal, const std::wstring& prefix,
                          EReaders readers, std::wstring& folder, std::wstring& finalPath);
    // Renames the open folder in parent to a new name beginning with prefix; false when refused.
    bool MoveAside(HANDLE folder, const std::wstring& parent, const std::wstring& prefix, std::wstring& movedTo);
    // Whether the folder (links followed) is protected, read through m_security.
    bool IsProtectedAt(const std::wstring& folder);
    // The next name to try for a folder of a new name.
    bool NextName(const std::wstring& prefix, std::wstring& name);

    qlLib::ETokenKind m_kind;
    ISecurity* m_security;
    DWORD m_seed;
};

}  // namespace TARN
