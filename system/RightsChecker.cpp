#include "system/RightsChecker.h"

#include <cstring>
#include <new>
#include <string>

#include "runtime/PrivilegeHolder.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

const GENERIC_MAPPING* MappingFor(SE_OBJECT_TYPE type) {
    // Read, write, execute, all.
    static const GENERIC_MAPPING kFile = {0x120089, 0x120116, 0x1200A0, 0x1F01FF};
    static const GENERIC_MAPPING kService = {0x2008D, 0x20002, 0x20170, 0xF01FF};
    static const GENERIC_MAPPING kRegistryKey = {0x20019, 0x20006, 0x20019, 0xF003F};
    switch (type) {
    case SE_FILE_OBJECT: return &kFile;
    case SE_SERVICE: return &kService;
    case SE_REGISTRY_KEY: return &kRegistryKey;
    default: return nullptr;
    }
}

bool IsAllowedType(BYTE type) {
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE ||
           type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
           type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
}

bool IsDeniedType(BYTE type) {
    return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
           type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

// The trustee SID of an allowed or denied ACE, or null when the ACE does not hold a valid one.
PSID AceSid(const ACE_HEADER* ace) {
    size_t offset = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
    switch (ace->AceType) {
    case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
        offset += 2 * sizeof(USHORT);   // compound type and reserved word, then the first SID
        break;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE: {
        if (ace->AceSize < offset + sizeof(DWORD)) return nullptr;
        DWORD flags;
        memcpy(&flags, reinterpret_cast<const BYTE*>(ace) + offset, sizeof(flags));
        offset += sizeof(DWORD);
        if (flags & ACE_OBJECT_TYPE_PRESENT) offset += sizeof(GUID);
        if (flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) offset += sizeof(GUID);
        break;
    }
    default:
        break;
    }
    // A SID needs at least its 8-byte head; its full length must fit the ACE too.
    if (ace->AceSize < offset + 8) return nullptr;
    PSID sid = const_cast<BYTE*>(reinterpret_cast<const BYTE*>(ace) + offset);
    const size_t subAuthorities = reinterpret_cast<const BYTE*>(sid)[1];
    if (ace->AceSize < offset + 8 + 4 * subAuthorities || !::IsValidSid(sid)) return nullptr;
    return sid;
}

ACCESS_MASK AceMask(const ACE_HEADER* ace) {
    ACCESS_MASK mask;
    memcpy(&mask, reinterpret_cast<const BYTE*>(ace) + sizeof(ACE_HEADER), sizeof(mask));
    return mask;
}

// The user SID of the process token.
bool GetProcessUserSid(std::vector<BYTE>& sid) {
    qlLib::CKernelHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return false;
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    if (size < sizeof(TOKEN_USER)) return false;
    std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD));
    if (!::GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) return false;
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    if (!::IsValidSid(user)) return false;
    sid.assign(static_cast<BYTE*>(user), static_cast<BYTE*>(user) + ::GetLengthSid(user));
    return true;
}

// Makes the process user the owner of the object, who then may read and write its DACL; the
// privilege is held only while the owner is written. False when there is no going on: the
// privilege is unavailable, or the user cannot be read (error says so). taken tells whether the
// object has the new owner.
bool TakeOwnership(wchar_t* name, SE_OBJECT_TYPE type, CRightsChecker::Exception& error, bool& taken) {
    taken = false;
    qlLib::CPrivilegeHolder privilege(SE_TAKE_OWNERSHIP_NAME);
    if (!privilege.IsEnabled()) return false;
    std::vector<BYTE> user;
    if (!GetProcessUserSid(user)) {
        error.code = CRightsChecker::Exception::eNoTokenUser;
        return false;
    }
    taken = ::SetNamedSecurityInfoW(name, type, OWNER_SECURITY_INFORMATION, user.data(), nullptr, nullptr, nullptr) ==
            ERROR_SUCCESS;
    return true;
}

// The ACEs of a new DACL, collected in order and turned into an ACL at the end.
class CAclBuilder {
public:
    explicit CAclBuilder(BYTE revision) : m_revision(revision), m_count(0) {}

    void Copy(const ACE_HEADER* ace) {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(ace);
        m_aces.insert(m_aces.end(), bytes, bytes + ace->AceSize);
        ++m_count;
    }

    bool Add(BYTE type, BYTE flags, ACCESS_MASK mask, PSID sid) {
        if (!sid || !::IsValidSid(sid)) return false;
        const DWORD sidLength = ::GetLengthSid(sid);
        const size_t size = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) + sidLength;
        if (size > 0xFFFF) return false;
        const size_t at = m_aces.size();
        m_aces.resize(at + size);
        ACE_HEADER header = {type, flags, static_cast<WORD>(size)};
        memcpy(&m_aces[at], &header, sizeof(header));
        memcpy(&m_aces[at + sizeof(header)], &mask, sizeof(mask));
        if (!::CopySid(sidLength, &m_aces[at + sizeof(header) + sizeof(mask)], sid)) {
            m_aces.resize(at);
            return false;
        }
        ++m_count;
        return true;
    }

    // Adds the ACEs of one triple with the fewest inheritance flags, each only when its mask is
    // not empty.
    bool AddTriple(BYTE type, BYTE baseFlags, DWORD object, DWORD containers, DWORD children, PSID sid) {
        const DWORD o = object, c = containers, f = children;
        const struct {
            DWORD mask;
            BYTE flags;
        } parts[] = {
            {o & c & f, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
            {o & c & ~f, CONTAINER_INHERIT_ACE},
            {~o & c & f, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE},
            {o & ~c & f, OBJECT_INHERIT_ACE},
            {o & ~c & ~f, 0},
            {~o & c & ~f, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE},
            {~o & ~c & f, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE},
        };
        for (const auto& part : parts) {
            if (part.mask && !Add(type, static_cast<BYTE>(baseFlags | part.flags), part.mask, sid)) return false;
        }
        return true;
    }

    bool AddSpec(BYTE type, const CAccessSpec& spec, PSID sid) {
        return AddTriple(type, 0, spec[CAccessSpec::eObject], spec[CAccessSpec::eContainers],
                         spec[CAccessSpec::eChildren], sid) &&
               AddTriple(type, NO_PROPAGATE_INHERIT_ACE, spec[CAccessSpec::eOneLevelObject],
                         spec[CAccessSpec::eOneLevelContainers], spec[CAccessSpec::eOneLevelChildren], sid);
    }

    bool Build(CAclBuffer& out) const {
        const size_t size = sizeof(ACL) + m_aces.size();
        if (size > 0xFFFF) return false;   // the ACL header counts its size in a WORD
        out.Allocate(size);
        if (!::InitializeAcl(out.Get(), static_cast<DWORD>(size), m_revision)) return false;
        if (m_count && !::AddAce(out.Get(), m_revision, MAXDWORD, const_cast<BYTE*>(m_aces.data()),
                                 static_cast<DWORD>(m_aces.size()))) {
            return false;
        }
        return true;
    }

private:
    BYTE m_revision;
    size_t m_count;
    std::vector<BYTE> m_aces;
};

// The rights an ACE grants or denies, placed by its flags: the one-level triple when it does not
// propagate, else the inheritable one; within it the object unless inherit-only, the containers
// and the child objects by the inherit flags.
CAccessSpec SpecOfAce(BYTE flags, ACCESS_MASK mask) {
    CAccessSpec spec;
    const int base = (flags & NO_PROPAGATE_INHERIT_ACE) ? CAccessSpec::eOneLevelObject : CAccessSpec::eObject;
    if (!(flags & INHERIT_ONLY_ACE)) spec[base] = mask;
    if (flags & CONTAINER_INHERIT_ACE) spec[base + 1] = mask;
    if (flags & OBJECT_INHERIT_ACE) spec[base + 2] = mask;
    return spec;
}

}  // namespace

bool CRightsChecker::CPrincipal::SetSid(PSID sid) {
    m_token.Close();
    m_sid.clear();
    if (!sid || !::IsValidSid(sid)) return false;
    try {
        m_sid.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + ::GetLengthSid(sid));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CRightsChecker::CPrincipal::SetProcessToken() {
    m_token.Close();
    m_sid.clear();
    qlLib::CKernelHandle process;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, process.Receive())) return false;
    // Membership checks need an impersonation token.
    if (!::DuplicateToken(process.Get(), SecurityImpersonation, m_token.Receive())) return false;
    try {
        if (GetProcessUserSid(m_sid)) return true;
    } catch (const std::bad_alloc&) {
    }
    m_token.Close();
    m_sid.clear();
    return false;
}

bool CRightsChecker::CPrincipal::AppliesTo(PSID aceSid) const {
    if (!aceSid || m_sid.empty()) return false;
    if (::EqualSid(Sid(), aceSid)) return true;
    // The token's groups; its user is matched above, as not every system's membership check
    // looks at the user SID.
    BOOL member = FALSE;
    return m_token && ::CheckTokenMembership(m_token.Get(), aceSid, &member) && member;
}

DWORD CRightsChecker::CheckAccess(const wchar_t* name, SE_OBJECT_TYPE type, const CAccessSpec& spec,
                                  const CPrincipal& principal, CAclBuffer& newDacl, Exception& error) {
    error = Exception();
    newDacl.Clear();
    const GENERIC_MAPPING* mapping = MappingFor(type);
    if (!mapping) {
        TraceWarning(L"CRightsChecker::CheckAccess: invalid object type: %lu", static_cast<DWORD>(type));
        error.code = Exception::eInvalidType;
        return eResult_NoPrivilege;
    }
    if (!name || !principal.Sid()) {
        error.hr = E_INVALIDARG;
        return eResult_NoPrivilege;
    }
    try {
        std::wstring objectName(name);
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        DWORD status = ::GetNamedSecurityInfoW(objectName.c_str(), type, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                               &dacl, nullptr, &descriptor);
        qlLib::CLocalMemory descriptorMemory(descriptor);
        if (status != ERROR_SUCCESS) {
            bool taken = false;
            if (!TakeOwnership(&objectName[0], type, error, taken)) return eResult_NoPrivilege;
            if (!taken) return eResult_Unreadable;
            descriptor = nullptr;
            dacl = nullptr;
            status = ::GetNamedSecurityInfoW(objectName.c_str(), type, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                             &dacl, nullptr, &descriptor);
            descriptorMemory.Reset(descriptor);
            if (status != ERROR_SUCCESS) return eResult_Unreadable;
        }

        // Generic rights asked for count as the specific rights they stand for, as in the ACEs.
        CAccessSpec requested = spec;
        for (int slot = 0; slot < CAccessSpec::eSlotCount; ++slot) {
            ::MapGenericMask(&requested[slot], const_cast<GENERIC_MAPPING*>(mapping));
        }
        CAccessSpec granted;
        CAccessSpec denied;
        // A NULL DACL grants everything.
        bool missing = !requested.IsEmpty() && dacl != nullptr;
        bool denyChanged = false;
        CAclBuilder builder(dacl && dacl->AclRevision > ACL_REVISION ? dacl->AclRevision : ACL_REVISION);

        const WORD count = dacl ? dacl->AceCount : 0;
        for (WORD i = 0; i < count; ++i) {
            void* raw = nullptr;
            if (!::GetAce(dacl, i, &raw)) break;
            const ACE_HEADER* ace = static_cast<const ACE_HEADER*>(raw);
            const bool inherited = (ace->AceFlags & INHERITED_ACE) != 0;
            if (!IsAllowedType(ace->AceType) && !IsDeniedType(ace->AceType)) {
                error.code = Exception::eUnknownAceType;
                return eResult_NoPrivilege;
            }
            ACCESS_MASK mask = AceMask(ace);
            ::MapGenericMask(&mask, const_cast<GENERIC_MAPPING*>(mapping));
            const CAccessSpec rights = SpecOfAce(ace->AceFlags, mask);
            PSID sid = AceSid(ace);
            const bool applies = principal.AppliesTo(sid);

            if (IsAllowedType(ace->AceType)) {
                if (applies) {
                    // Rights an earlier deny took away do not count.
                    granted = granted | (rights & ~denied);
                    missing = (requested & granted) != requested;
                }
                if (!inherited) builder.Copy(ace);
            } else if (!applies) {
                if (!inherited) builder.Copy(ace);
            } else if (inherited) {
                denied = denied | (rights & ~granted);
            } else {
                // Keep the deny only for what was not asked for or is granted already.
                const CAccessSpec kept = rights & (~requested | granted);
                if (kept != rights) denyChanged = true;
                if (!kept.IsEmpty() && !builder.AddSpec(ACCESS_DENIED_ACE_TYPE, kept, sid)) {
                    error.code = Exception::eDenyAce;
                    return eResult_NoPrivilege;
                }
                denied = denied | (kept & ~granted);
            }
        }

        if (missing) {
            if (!builder.AddSpec(ACCESS_ALLOWED_ACE_TYPE, requested & ~granted, principal.Sid()) ||
                !builder.Build(newDacl)) {
                newDacl.Clear();
                error.code = Exception::eAllowAce;
                return eResult_NoPrivilege;
            }
            return eResult_Missing;
        }
        if (denyChanged) {
            if (!builder.Build(newDacl)) {
                newDacl.Clear();
                error.code = Exception::eDenyAce;
                return eResult_NoPrivilege;
            }
            return eResult_Missing;
        }
        return eResult_Granted;
    } catch (const std::bad_alloc&) {
        newDacl.Clear();
        error.hr = E_OUTOFMEMORY;
        return eResult_NoPrivilege;
    }
}

DWORD CRightsChecker::ChangeAccess(const ACL* newDacl, const wchar_t* name, SE_OBJECT_TYPE type, Exception& error) {
    error = Exception();
    if (!name) {
        error.hr = E_INVALIDARG;
        return eResult_NoPrivilege;
    }
    TraceWarning(L"CRightsChecker::ChangeAccess: %s", name);
    try {
        std::wstring objectName(name);
        PACL dacl = const_cast<PACL>(newDacl);
        if (::SetNamedSecurityInfoW(&objectName[0], type, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                    nullptr) == ERROR_SUCCESS) {
            TraceWarning(L"CRightsChecker::ChangeAccess: SUCCEEDED");
            return eResult_Changed;
        }
        // A refused owner change still leaves the second write to try.
        bool taken = false;
        if (!TakeOwnership(&objectName[0], type, error, taken)) return eResult_NoPrivilege;
        if (::SetNamedSecurityInfoW(&objectName[0], type, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                    nullptr) == ERROR_SUCCESS) {
            TraceWarning(L"CRightsChecker::ChangeAccess: succeeded");
            return eResult_Changed;
        }
        TraceWarning(L"CRightsChecker::ChangeAccess: failed");
        return eResult_WriteFailed;
    } catch (const std::bad_alloc&) {
        error.hr = E_OUTOFMEMORY;
        return eResult_NoPrivilege;
    }
}

}  // namespace TARN
