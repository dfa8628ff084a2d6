#pragma once
// Applying a DACL written in a subset of SDDL: "D:" followed by ACE strings such as
// "(A;;GA;;;SY)". Only the ace type (A or D), the rights codes and the account are read.
#include <windows.h>
#include <aclapi.h>

namespace TARN {

// Receives the access entries of a parsed DACL one by one.
class IAccessApplier {
public:
    // account: a SID string ("S-1-5-18"); mode: GRANT_ACCESS or DENY_ACCESS; merge: add to the
    // object's DACL rather than replace it.
    virtual bool Apply(const wchar_t* account, DWORD rights, ACCESS_MODE mode, bool merge) = 0;

protected:
    ~IAccessApplier() = default;
};

class CSecurityDescriptorParser {
public:
    enum EError : DWORD {
        eError_None = 0xFFFFFFFF,
        eError_NotDacl = 0,       // a part other than "D:"
        eError_AccessMode = 1,    // an ace type other than A or D
        eError_Apply = 2,         // the applier refused an entry
        eError_Malformed = 3,     // a field or the closing parenthesis is missing
        eError_Right = 4,         // an unknown rights code
        eError_Account = 5,       // an unknown account alias
        eError_Memory = 6,        // empty text, or memory ran out
    };

    // Hands each ACE to applier in order and stops at the first bad one (entries applied before
    // it stay applied). error, when given, receives the error code (eError_None on success).
    static bool Parse(const wchar_t* text, IAccessApplier& applier, DWORD* error = nullptr);
};

}  // namespace TARN
