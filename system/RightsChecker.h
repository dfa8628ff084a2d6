#pragma once
// Making sure one principal holds a set of rights on a file or folder, a service or a registry
// key: read the object's DACL, decide, build a corrected DACL and write it, taking ownership of
// the object first when its DACL can be neither read nor written.
#include <windows.h>
#include <aclapi.h>

#include <vector>

#include "runtime/Handles.h"
#include "system/AccessSpec.h"

namespace TARN {

// An ACL in memory of its own (kept DWORD-aligned, as ACLs must be).
class CAclBuffer {
public:
    PACL Get() { return m_words.empty() ? nullptr : reinterpret_cast<PACL>(m_words.data()); }
    const ACL* Get() const { return m_words.empty() ? nullptr : reinterpret_cast<const ACL*>(m_words.data()); }
    // Zero-filled room for an ACL of size bytes; throws std::bad_alloc.
    void Allocate(size_t size) { m_words.assign((size + sizeof(DWORD) - 1) / sizeof(DWORD), 0); }
    void Clear() { m_words.clear(); }

private:
    std::vector<DWORD> m_words;
};

class CRightsChecker {
public:
    // Results of CheckAccess and ChangeAccess.
    enum EResult : DWORD {
        eResult_NoPrivilege = 0,   // the DACL could not be read or written and SeTakeOwnershipPrivilege is unavailable
        eResult_Missing = 1,       // rights are missing: a corrected DACL was prepared
        eResult_Granted = 2,       // the rights are granted already: nothing to do
        eResult_Unreadable = 3,    // the DACL could not be read even after taking ownership
        eResult_Changed = 4,       // the corrected DACL was written
        eResult_WriteFailed = 5,   // writing failed even after taking ownership
    };

    // What ended a check or change before it had a result: a fault in the DACL or the token that
    // the results cannot express (code), or a failure outside the checker such as running out of
    // memory (hr). Handed back to the caller, who reports it; never thrown.
    struct Exception {
        enum ECode : DWORD {
            eNone = 0,
            eNoTokenUser = 2,      // the process user could not be read from the token
            eAllowAce = 3,         // an allow ACE could not be added to the new DACL
            eDenyAce = 4,          // a rewritten deny ACE could not be added to the new DACL
            eUnknownAceType = 5,   // the DACL holds an ACE that is neither allowed nor denied
            eInvalidType = 7,      // an object type without a generic mapping here
        };
        DWORD code = eNone;
        HRESULT hr = S_OK;
        bool IsSet() const { return code != eNone || FAILED(hr); }
    };

    // Whose rights are checked: one SID, or the process token's user together with its groups
    // (an ACE counts when the token holds its SID).
    class CPrincipal {
    public:
        // False when the SID is not valid (or memory runs out).
        bool SetSid(PSID sid);
        // A duplicate of the process token, for membership checks; false when the token or its
        // user cannot be read.
        bool SetProcessToken();

        // The SID written into new ACEs: the given SID, or the token's user.
        PSID Sid() const { return m_sid.empty() ? nullptr : const_cast<BYTE*>(m_sid.data()); }
        bool AppliesTo(PSID aceSid) const;

    private:
        std::vector<BYTE> m_sid;
        qlLib::CKernelHandle m_token;
    };

    // Reads the DACL of the object and decides whether principal holds spec on it. Returns
    // eResult_Missing with the corrected DACL in newDacl, or another result; 0 with error set
    // on a fault.
    static DWORD CheckAccess(const wchar_t* name, SE_OBJECT_TYPE type, const CAccessSpec& spec,
                             const CPrincipal& principal, CAclBuffer& newDacl, Exception& error);

    // Writes newDacl as the object's DACL, taking ownership first when the plain write fails.
    static DWORD ChangeAccess(const ACL* newDacl, const wchar_t* name, SE_OBJECT_TYPE type, Exception& error);
};

}  // namespace TARN
