#include "samples/engine/InstallManifest.h"

#include <shlobj.h>

#include <cerrno>
#include <cwchar>
#include <cwctype>
#include <new>

#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"

namespace TARN {

namespace {

const DWORD kMaxManifestBytes = 1024 * 1024;
const DWORD kMaxDelayMs = 60000;

std::wstring Trim(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return std::wstring();
    const size_t last = text.find_last_not_of(L" \t");
    return text.substr(first, last - first + 1);
}

// Fields separated by '|', each trimmed.
std::vector<std::wstring> SplitFields(const std::wstring& line) {
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (;;) {
        const size_t bar = line.find(L'|', start);
        fields.push_back(Trim(line.substr(start, bar == std::wstring::npos ? std::wstring::npos : bar - start)));
        if (bar == std::wstring::npos) return fields;
        start = bar + 1;
    }
}

// A whole decimal or 0x-hexadecimal 32-bit number.
bool ParseNumber(const std::wstring& text, DWORD& value) {
    if (text.empty() || text[0] == L'-' || text[0] == L'+') return false;
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::wcstoul(text.c_str(), &end, 0);
    if (errno != 0 || !end || *end != L'\0' || parsed > 0xFFFFFFFFul) return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

bool ParseFlag(const std::wstring& text, bool& value) {
    DWORD number = 0;
    if (!ParseNumber(text, number) || number > 1) return false;
    value = number != 0;
    return true;
}

bool ShellFolder(int csidl, std::wstring& path) {
    wchar_t buffer[MAX_PATH];
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) return false;
    path = buffer;
    return true;
}

// A relative target inside its folder; an empty one names the folder itself.
bool IsSafeTarget(const std::wstring& path) {
    return path.empty() || qlLib::IsSafeRelativePath(path);
}

bool DecodeText(const std::vector<BYTE>& bytes, std::wstring& text) {
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / sizeof(wchar_t));
        return true;
    }
    size_t skip = (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) ? 3 : 0;
    const int length = static_cast<int>(bytes.size() - skip);
    if (length == 0) {
        text.clear();
        return true;
    }
    const char* data = reinterpret_cast<const char*>(bytes.data() + skip);
    const int wide = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, length, nullptr, 0);
    if (wide <= 0) return false;
    text.assign(static_cast<size_t>(wide), L'\0');
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, length, &text[0], wide) == wide;
}

}  // namespace

HRESULT CInstallManifest::Load(const std::wstring& path) {
    try {
        m_error.clear();
        qlLib::CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            const DWORD error = ::GetLastError();
            qlLib::FormatString(m_error, L"cannot open %s (%lu)", path.c_str(), error);
            return HRESULT_FROM_WIN32(error);
        }
        LARGE_INTEGER size = {};
        if (!::GetFileSizeEx(file.Get(), &size) || size.QuadPart > kMaxManifestBytes) {
            m_error = L"manifest larger than 1 MiB";
            return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
        }
        std::vector<BYTE> bytes(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        if (!bytes.empty() && (!::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                               read != bytes.size())) {
            const DWORD error = ::GetLastError();
            m_error = L"cannot read the manifest";
            return HRESULT_FROM_WIN32(error ? error : ERROR_READ_FAULT);
        }
        std::wstring text;
        if (!DecodeText(bytes, text)) {
            m_error = L"manifest is not UTF-8 or UTF-16LE text";
            return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
        }
        std::wstring folder = path;
        const size_t slash = folder.find_last_of(L"\\/");
        folder.resize(slash == std::wstring::npos ? 0 : slash);
        return Parse(text, folder);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CInstallManifest::Parse(const std::wstring& text, const std::wstring& folder) {
    try {
        *this = CInstallManifest();
        m_folder = folder;
        std::vector<std::wstring> rawShortcuts;
        std::wstring section;
        unsigned lineNumber = 0;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find(L'\n', start);
            if (end == std::wstring::npos) end = text.size();
            std::wstring raw = text.substr(start, end - start);
            if (!raw.empty() && raw.back() == L'\r') raw.pop_back();
            const std::wstring line = Trim(raw);
            start = end + 1;
            ++lineNumber;
            if (line.empty() || line[0] == L';' || line[0] == L'#') continue;
            bool ok = true;
            if (line[0] == L'[') {
                ok = line.back() == L']';
                section = Trim(line.substr(1, line.size() - 2));
            } else if (qlLib::EqualsNoCase(section.c_str(), L"Shortcuts")) {
                rawShortcuts.push_back(line);   // may name %Target%, known only at the end
            } else {
                ok = ParseLine(section, line);
            }
            if (!ok) {
                qlLib::FormatString(m_error, L"line %u: %s", lineNumber, line.c_str());
                return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
            }
        }
        if (m_productName.empty() || m_target.empty()) {
            m_error = L"[Product] needs Name and Target";
            return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
        }
        for (const std::wstring& line : rawShortcuts) {
            const std::vector<std::wstring> fields = SplitFields(line);
            CManifestShortcut shortcut;
            const bool ok = fields.size() == 2 && ExpandPath(fields[0], shortcut.link) && IsSafeTarget(fields[1]) &&
                            shortcut.link.size() > 4 &&
                            qlLib::EqualsNoCase(shortcut.link.c_str() + shortcut.link.size() - 4, L".lnk");
            if (!ok) {
                qlLib::FormatString(m_error, L"shortcut: %s", line.c_str());
                return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
            }
            shortcut.target = fields[1];
            m_shortcuts.push_back(shortcut);
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

bool CInstallManifest::ParseLine(const std::wstring& section, const std::wstring& line) {
    if (qlLib::EqualsNoCase(section.c_str(), L"Files")) {
        const std::vector<std::wstring> fields = SplitFields(line);
        if (fields.size() > 2 || !qlLib::IsSafeRelativePath(fields[0])) return false;
        CManifestFile file{fields[0], fields.size() == 2 ? fields[1] : fields[0]};
        if (!qlLib::IsSafeRelativePath(file.target)) return false;
        m_files.push_back(file);
        return true;
    }
    if (qlLib::EqualsNoCase(section.c_str(), L"Registry")) return ParseRegistry(line);
    const size_t equals = line.find(L'=');
    if (equals == std::wstring::npos) return false;
    const std::wstring name = Trim(line.substr(0, equals));
    const std::wstring value = Trim(line.substr(equals + 1));
    if (qlLib::EqualsNoCase(section.c_str(), L"Product")) return ParseProduct(name, value);
    if (qlLib::EqualsNoCase(section.c_str(), L"Outcome")) return ParseOutcome(name, value);
    return false;
}

bool CInstallManifest::ParseProduct(const std::wstring& name, const std::wstring& value) {
    if (qlLib::EqualsNoCase(name.c_str(), L"Name")) {
        m_productName = value;
        return !value.empty();
    }
    if (qlLib::EqualsNoCase(name.c_str(), L"Target")) return ExpandPath(value, m_target);
    return false;
}

bool CInstallManifest::ParseOutcome(const std::wstring& name, const std::wstring& value) {
    const wchar_t* n = name.c_str();
    DWORD number = 0;
    if (qlLib::EqualsNoCase(n, L"Result")) {
        if (!ParseNumber(value, number)) return false;
        m_outcome.hasResult = true;
        m_outcome.result = static_cast<HRESULT>(number);
        return true;
    }
    if (qlLib::EqualsNoCase(n, L"ReturnCode")) {
        m_outcome.hasReturnCode = ParseNumber(value, m_outcome.returnCode);
        return m_outcome.hasReturnCode;
    }
    if (qlLib::EqualsNoCase(n, L"DelayMs")) {
        if (!ParseNumber(value, number) || number > kMaxDelayMs) return false;
        m_outcome.delayMs = number;
        return true;
    }
    if (qlLib::EqualsNoCase(n, L"FollowUp")) {
        m_outcome.followUp = value;
        return true;
    }
    if (qlLib::EqualsNoCase(n, L"RebootTray")) return ParseFlag(value, m_outcome.rebootTray);
    if (qlLib::EqualsNoCase(n, L"RemoveCache")) return ParseFlag(value, m_outcome.removeCache);
    return false;
}

bool CInstallManifest::ParseRegistry(const std::wstring& line) {
    const std::vector<std::wstring> fields = SplitFields(line);
    if (fields.size() != 4) return false;
    CManifestRegistryValue value;
    const std::wstring& path = fields[0];
    const size_t slash = path.find(L'\\');
    if (slash == std::wstring::npos || slash + 1 >= path.size()) return false;
    const std::wstring root = path.substr(0, slash);
    if (qlLib::EqualsNoCase(root.c_str(), L"HKLM")) {
        value.root = HKEY_LOCAL_MACHINE;
    } else if (qlLib::EqualsNoCase(root.c_str(), L"HKCU")) {
        value.root = HKEY_CURRENT_USER;
    } else {
        return false;
    }
    value.key = path.substr(slash + 1);
    // Same shape rules as file paths: no empty, "." or ".." parts to climb out of the product's key.
    if (!qlLib::IsSafeRelativePath(value.key)) return false;
    value.name = fields[1];
    value.number = 0;
    if (qlLib::EqualsNoCase(fields[2].c_str(), L"REG_SZ")) {
        value.type = REG_SZ;
        value.text = fields[3];
    } else if (qlLib::EqualsNoCase(fields[2].c_str(), L"REG_DWORD")) {
        value.type = REG_DWORD;
        if (!ParseNumber(fields[3], value.number)) return false;
    } else {
        return false;
    }
    m_registry.push_back(value);
    return true;
}

bool CInstallManifest::ExpandPath(const std::wstring& value, std::wstring& path) const {
    std::wstring base;
    std::wstring rest;
    if (!value.empty() && value[0] == L'%') {
        const size_t close = value.find(L'%', 1);
        if (close == std::wstring::npos) return false;
        const std::wstring token = value.substr(1, close - 1);
        rest = value.substr(close + 1);
        if (!rest.empty() && rest[0] != L'\\') return false;
        const wchar_t* t = token.c_str();
        bool known = true;
        if (qlLib::EqualsNoCase(t, L"ProgramFiles")) {
            known = ShellFolder(CSIDL_PROGRAM_FILES, base);
        } else if (qlLib::EqualsNoCase(t, L"CommonAppData")) {
            known = ShellFolder(CSIDL_COMMON_APPDATA, base);
        } else if (qlLib::EqualsNoCase(t, L"CommonPrograms")) {
            known = ShellFolder(CSIDL_COMMON_PROGRAMS, base);
        } else if (qlLib::EqualsNoCase(t, L"InstallCache")) {
            base = m_folder;
        } else if (qlLib::EqualsNoCase(t, L"Target")) {
            base = m_target;
        } else {
            known = false;
        }
        if (!known || base.empty()) return false;
    } else {
        // Otherwise a drive path: "X:\..." and nothing relative.
        if (value.size() < 4 || value[1] != L':' || value[2] != L'\\' || !std::iswalpha(value[0])) return false;
        base = value.substr(0, 3);
        rest = value.substr(3);
    }
    while (!rest.empty() && rest[0] == L'\\') rest.erase(0, 1);
    if (!rest.empty() && !qlLib::IsSafeRelativePath(rest)) return false;
    return qlLib::JoinPath(path, base, rest);
}

}  // namespace TARN
