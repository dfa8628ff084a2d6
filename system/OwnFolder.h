#pragma once
// Folders of the installer's own below a folder where other users may create things (the common
// application data folder, a temp folder). When the process runs as an elevated administrator or
// as SYSTEM, each such folder from below the base down to the target is made or kept so that only
// SYSTEM and the administrators can write in it: owner Administrators, a protected DACL. A folder
// found there already is used only when it passes the same test; otherwise its owner and DACL are
// replaced first. A link anywhere on the way is refused. An ordinary process just creates the
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
        // The folder's owner and DACL as SDDL; false when they cannot be read.
        virtual bool Read(HANDLE folder, std::wstring& sddl) = 0;
        // Replaces owner and DACL (protected) with those of the SDDL.
        virtual DWORD Write(HANDLE folder, const std::wstring& sddl) = 0;
        // Creates the folder with the SDDL's owner and DACL; a Win32 error, or 0.
        virtual DWORD Create(const std::wstring& path, const std::wstring& sddl) = 0;
    };

    COwnFolder();
    // For tests: the token kind to act for and the security calls to use (null: the system's).
    COwnFolder(qlLib::ETokenKind kind, ISecurity* security);

    // Makes target (which must lie below base) and every folder between them. S_OK, or a failure
    // traced in one line: HRESULT_FROM_WIN32(kErrorLinkRefused) for a link on the way,
    // E_INVALIDARG for a target outside base.
    HRESULT Ensure(const std::wstring& base, const std::wstring& target, EReaders readers);
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
    HRESULT EnsureOne(const std::wstring& path, const std::wstring& parentFinal, EReaders readers, bool mustBeNew,
                      std::wstring& finalPath);

    qlLib::ETokenKind m_kind;
    ISecurity* m_security;
};

}  // namespace TARN
