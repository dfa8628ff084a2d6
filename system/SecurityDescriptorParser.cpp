#include "system/SecurityDescriptorParser.h"

#include <cwchar>
#include <new>
#include <string>

#include "runtime/Trace.h"

namespace TARN {

namespace {

struct CRightCode {
    const wchar_t* code;
    DWORD rights;
};

const CRightCode kRights[] = {
    {L"GA", 0x10000000}, {L"GR", 0x80000000}, {L"GW", 0x40000000}, {L"GX", 0x20000000}, {L"RC", 0x20000},
    {L"SD", 0x10000},    {L"WD", 0x40000},    {L"WO", 0x80000},    {L"RP", 0x10},       {L"WP", 0x20},
    {L"CC", 0x1},        {L"DC", 0x2},        {L"LC", 0x4},        {L"SW", 0x8},        {L"LO", 0x80},
    {L"DT", 0x40},       {L"CR", 0x100},      {L"FA", 0x1F01FF},   {L"FR", 0x120089},   {L"FW", 0x120116},
    {L"FX", 0x1200A0},   {L"KA", 0xF003F},    {L"KR", 0x20019},    {L"KW", 0x20006},    {L"KX", 0x20019},
    {L"NR", 0x2},        {L"NW", 0x1},        {L"NX", 0x4},
};

struct CAccountAlias {
    const wchar_t* alias;
    const wchar_t* sid;
};

const CAccountAlias kAccounts[] = {
    {L"WD", L"S-1-1-0"},      {L"AU", L"S-1-5-11"},     {L"AN", L"S-1-5-7"},      {L"BA", L"S-1-5-32-544"},
    {L"BG", L"S-1-5-32-546"}, {L"BU", L"S-1-5-32-545"}, {L"CO", L"S-1-3-0"},      {L"PU", L"S-1-5-32-547"},
    {L"SY", L"S-1-5-18"},     {L"IU", L"S-1-5-4"},      {L"SU", L"S-1-5-6"},
};

const size_t kMaxSidLength = 255;

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Reads one ACE string; at points just behind its "(" and is left behind its ")".
class CAceReader {
public:
    CAceReader(const std::wstring& text, size_t at) : m_text(text), m_at(at) {}

    DWORD Read(IAccessApplier& applier) {
        std::wstring type;
        if (!Field(&type)) return CSecurityDescriptorParser::eError_Malformed;
        ACCESS_MODE mode;
        if (type == L"A") {
            mode = GRANT_ACCESS;
        } else if (type == L"D") {
            mode = DENY_ACCESS;
        } else {
            return CSecurityDescriptorParser::eError_AccessMode;
        }
        if (!Field(nullptr)) return CSecurityDescriptorParser::eError_Malformed;   // ace flags

        DWORD rights = 0;
        SkipBlanks();
        while (m_at + 1 < m_text.size() && IsLetter(m_text[m_at]) && IsLetter(m_text[m_at + 1])) {
            const CRightCode* found = nullptr;
            for (const CRightCode& right : kRights) {
                if (m_text.compare(m_at, 2, right.code) == 0) found = &right;
            }
            if (!found) return CSecurityDescriptorParser::eError_Right;
            rights |= found->rights;
            m_at += 2;
        }
        SkipBlanks();
        if (!Expect(L';')) return CSecurityDescriptorParser::eError_Malformed;
        if (!Field(nullptr) || !Field(nullptr)) return CSecurityDescriptorParser::eError_Malformed;   // guids

        std::wstring account;
        SkipBlanks();
        if (m_at + 1 < m_text.size() && (m_text[m_at] == L'S' || m_text[m_at] == L's') && m_text[m_at + 1] == L'-') {
            const size_t start = m_at;
            while (m_at < m_text.size() && (IsLetter(m_text[m_at]) || IsDigit(m_text[m_at]) || m_text[m_at] == L'-')) {
                ++m_at;
            }
            if (m_at - start > kMaxSidLength) return CSecurityDescriptorParser::eError_Malformed;
            account.assign(m_text, start, m_at - start);
            account[0] = L'S';   // the SID string converter wants the capital
        } else if (m_at + 1 < m_text.size() && IsLetter(m_text[m_at]) && IsLetter(m_text[m_at + 1])) {
            for (const CAccountAlias& alias : kAccounts) {
                if (m_text.compare(m_at, 2, alias.alias) == 0) account = alias.sid;
            }
            if (account.empty()) return CSecurityDescriptorParser::eError_Account;
            m_at += 2;
        } else {
            return CSecurityDescriptorParser::eError_Malformed;
        }
        SkipBlanks();
        if (!Expect(L')')) return CSecurityDescriptorParser::eError_Malformed;

        if (!applier.Apply(account.c_str(), rights, mode, true)) return CSecurityDescriptorParser::eError_Apply;
        return CSecurityDescriptorParser::eError_None;
    }

    size_t Position() const { return m_at; }

private:
    void SkipBlanks() {
        while (m_at < m_text.size() && (m_text[m_at] == L' ' || m_text[m_at] == L'\t')) ++m_at;
    }
    bool Expect(wchar_t c) {
        if (m_at >= m_text.size() || m_text[m_at] != c) return false;
        ++m_at;
        return true;
    }
    // A field up to its ";" (which is consumed), without surrounding blanks. False when the ACE
    // or the text ends first.
    bool Field(std::wstring* value) {
        const size_t end = m_text.find_first_of(L";)", m_at);
        if (end == std::wstring::npos || m_text[end] != L';') return false;
        if (value) {
            size_t first = m_at, last = end;
            while (first < last && (m_text[first] == L' ' || m_text[first] == L'\t')) ++first;
            while (last > first && (m_text[last - 1] == L' ' || m_text[last - 1] == L'\t')) --last;
            value->assign(m_text, first, last - first);
        }
        m_at = end + 1;
        return true;
    }

    const std::wstring& m_text;
    size_t m_at;
};

void ReportError(DWORD error, const wchar_t* text) {
    if (!text) text = L"";
    switch (error) {
    case CSecurityDescriptorParser::eError_NotDacl:
        TraceError(L"CSecurityDescriptorParser parsing security DACL[%ls] for - "
                   L"non-DACL elements are not supported!", text);
        break;
    case CSecurityDescriptorParser::eError_AccessMode:
        TraceError(L"CSecurityDescriptorParser parsing security DACL[%ls] for - "
                   L"illegal acccess mode specified in the SSDL! This must be 'A' or 'D'", text);
        break;
    case CSecurityDescriptorParser::eError_Apply:
        TraceError(L"CSecurityDescriptorParser parsing security DACL[%ls] for - "
                   L"failed to apply decoded DACL!", text);
        break;
    case CSecurityDescriptorParser::eError_Right:
        TraceError(L"CSecurityDescriptorParser parsing security DACL[%ls] for - "
                   L"unsupported access right!", text);
        break;
    case CSecurityDescriptorParser::eError_Account:
        TraceError(L"CSecurityDescriptorParser parsing security DACL[%ls] for - "
                   L"unsupported user!", text);
        break;
    case CSecurityDescriptorParser::eError_Memory:
        TraceError(L"CSecurityDescriptorParser parsing security DACL[%ls] for - "
                   L"memory !", text);
        break;
    default:   // a malformed string has no message of its own
        break;
    }
}

DWORD ParseText(const wchar_t* text, IAccessApplier& applier) {
    if (!text || !*text) return CSecurityDescriptorParser::eError_Memory;
    const std::wstring copy(text);
    const size_t colon = copy.find(L':');
    if (colon == std::wstring::npos || copy.compare(0, colon, L"D") != 0) return CSecurityDescriptorParser::eError_NotDacl;
    // The DACL part ends where a further part (such as a SACL) would begin; that one is ignored.
    const size_t next = copy.find(L':', colon + 1);
    const std::wstring dacl = copy.substr(colon + 1, next == std::wstring::npos ? std::wstring::npos : next - colon - 1);
    for (size_t at = dacl.find(L'('); at != std::wstring::npos; ) {
        CAceReader reader(dacl, at + 1);
        const DWORD error = reader.Read(applier);
        if (error != CSecurityDescriptorParser::eError_None) return error;
        at = dacl.find(L'(', reader.Position());
    }
    return CSecurityDescriptorParser::eError_None;
}

}  // namespace

bool CSecurityDescriptorParser::Parse(const wchar_t* text, IAccessApplier& applier, DWORD* error) {
    DWORD result;
    try {
        result = ParseText(text, applier);
    } catch (const std::bad_alloc&) {
        result = eError_Memory;
    }
    if (error) *error = result;
    if (result == eError_None) return true;
    ReportError(result, text);
    return false;
}

}  // namespace TARN
