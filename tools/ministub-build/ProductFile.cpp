#include "tools/ministub-build/ProductFile.h"

#include <cstdlib>

#include "package/FilePacker.h"
#include "package/KeyValueCollectionImpl.h"
#include "runtime/PathUtils.h"
#include "tools/ministub-build/PackEntries.h"
#include "tools/ministub-build/SettingsText.h"

namespace builder {

namespace {

struct CKind {
    const char* key;
    DWORD type;
    const wchar_t* defaultName;
};

const CKind kArchiveKinds[] = {
    {"ui-package", TARN::eFileType_UIPackage, L"QDX-TRRootuiPackage.7z"},
    {"install-package", TARN::eFileType_InstallPackage, L"QDX-TRRootInstallPackage.7z"},
    {"layout", TARN::eFileType_Archive, L"QDX-TRRoot.7z"},
    {"scanner", TARN::eFileType_Scanner, L"scanner.7z"},
};

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

bool IsNumber(const std::string& s) {
    return !s.empty() && s.size() <= 10 && s.find_first_not_of("0123456789") == std::string::npos;
}

bool Expand(const std::string& value, const std::map<std::wstring, std::wstring>& defines, std::string& out,
            std::string& message) {
    out.clear();
    for (size_t at = 0; at < value.size();) {
        const size_t open = value.find("${", at);
        if (open == std::string::npos) {
            out += value.substr(at);
            break;
        }
        const size_t close = value.find('}', open);
        if (close == std::string::npos) return message = "unterminated ${ in the value", false;
        const std::string name = value.substr(open + 2, close - open - 2);
        auto found = defines.find(Utf8ToWide(name));
        if (found == defines.end()) return message = "${" + name + "} is not defined (make --define " + name + "=...)", false;
        out += value.substr(at, open - at) + WideToUtf8(found->second);
        at = close + 1;
    }
    return true;
}

}  // namespace

bool CProductFile::Read(const std::wstring& path, const std::map<std::wstring, std::wstring>& defines,
                        std::string& error) {
    m_path = FullPath(path);
    const size_t slash = m_path.find_last_of(L"\\/");
    m_folder = slash == std::wstring::npos ? std::wstring() : m_path.substr(0, slash);
    const std::string shown = WideToUtf8(slash == std::wstring::npos ? m_path : m_path.substr(slash + 1));
    m_settings = qlLib::CKeyValueCollectionImpl::New();
    std::string text;
    if (!m_settings) return error = "out of memory", false;
    if (!ReadTextFile(m_path, text)) return error = "cannot read " + WideToUtf8(m_path), false;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);

    std::string section;
    int number = 0;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        ++number;
        const std::string where = shown + ":" + std::to_string(number) + ": ";
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            section = Lower(Trim(line.substr(1, line.find(']') - 1)));
            if (line.back() != ']' || (section != "installer" && section != "payload" && section != "settings")) {
                return error = where + "unknown section " + line + " (installer, payload, settings)", false;
            }
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos) return error = where + "expected KEY = VALUE", false;
        if (section.empty()) return error = where + "a key before the first [section]", false;
        std::string value, message;
        const std::string key = Lower(Trim(line.substr(0, equals)));
        if (!Expand(Trim(line.substr(equals + 1)), defines, value, message) ||
            !Line(section, key, value, number, message)) {
            return error = where + message, false;
        }
    }
    if (m_stub.empty()) return error = shown + ": no stub ([installer] stub = PATH)", false;
    if (m_placement == L"signature" && m_sign.empty()) {
        return error = shown + ":" + std::to_string(m_seen["placement"]) +
                       ": placement = signature needs a signed installer: give a sign command", false;
    }
    return true;
}

bool CProductFile::Line(const std::string& section, const std::string& key, const std::string& value, int line,
                        std::string& message) {
    const bool repeatable = key == "file" || key == "entry" || IsNumber(key);
    if (!repeatable && !m_seen.emplace(key, line).second) {
        return message = key + " was given already on line " + std::to_string(m_seen[key]), false;
    }
    if (section == "installer") {
        if (key == "stub") {
            CProductEntry stub;
            if (!Source(value, false, stub, message)) return false;
            m_stub = stub.source;
        } else if (key == "sign") {
            if (value.find("{in}") == std::string::npos || value.find("{out}") == std::string::npos) {
                return message = "the sign command must name {in} and {out}", false;
            }
            m_sign = Utf8ToWide(value);
        } else if (key == "placement") {
            if (value != "signature" && value != "table") return message = "placement is signature or table", false;
            m_placement = Utf8ToWide(value);
        } else if (key == "compression") {
            if (value.size() != 1 || value[0] < '0' || value[0] > '9') return message = "compression is 0 to 9", false;
            m_compression = value[0] - '0';
        } else {
            return message = "unknown key " + key + " in [installer] (stub, sign, placement, compression)", false;
        }
        return true;
    }
    if (section == "payload") {
        CProductEntry entry;
        entry.line = line;
        for (const CKind& kind : kArchiveKinds) {
            if (key != kind.key) continue;
            entry.type = kind.type;
            entry.name = kind.defaultName;
            if (!Source(value, true, entry, message)) return false;
            m_entries.push_back(entry);
            return true;
        }
        if (key == "file") {
            entry.type = TARN::eFileType_Extract;
            if (!Source(value, false, entry, message)) return false;
        } else if (key == "entry") {
            const size_t colon = value.find(':');
            const std::string type = colon == std::string::npos ? std::string() : Trim(value.substr(0, colon));
            if (!IsNumber(type) || strtoul(type.c_str(), nullptr, 10) == TARN::eFileType_Stub) {
                return message = "entry is TYPE:PATH [| NAME] with a type number other than 6", false;
            }
            entry.type = strtoul(type.c_str(), nullptr, 10);
            if (!Source(value.substr(colon + 1), true, entry, message)) return false;
        } else {
            return message = "unknown key " + key +
                             " in [payload] (ui-package, install-package, layout, scanner, file, entry)", false;
        }
        m_entries.push_back(entry);
        return true;
    }
    // [settings]
    std::string assignment;
    if (IsNumber(key)) {
        assignment = key + " = " + value;
    } else if (key == "product") {
        assignment = "0 = wstring:" + value;
    } else if (key == "language") {
        assignment = "5 = wstring:" + value;
    } else if (key == "isolation") {
        GUID guid;
        if (FAILED(::IIDFromString(Utf8ToWide(value).c_str(), &guid))) return message = "isolation is a {GUID}", false;
        assignment = "9 = wstring:" + value;
    } else if (key == "isolation-root") {
        assignment = "18 = wstring:" + value;
    } else if (key == "version") {
        std::string parts[4];
        size_t at = 0;
        for (int i = 0; i < 4; ++i) {
            const size_t dot = i < 3 ? value.find('.', at) : value.size();
            parts[i] = dot == std::string::npos ? std::string() : value.substr(at, dot - at);
            if (!IsNumber(parts[i]) || strtoull(parts[i].c_str(), nullptr, 10) > 0xFFFFFFFFULL) {
                return message = "version is four numbers A.B.C.D", false;
            }
            at = dot + 1;
        }
        for (int i = 0; i < 4; ++i) {
            if (!ParseSettingAssignment(std::to_string(1 + i) + " = dword:" + parts[i], m_settings.Get(), message)) {
                return false;
            }
        }
        return true;
    } else {
        return message = "unknown key " + key +
                         " in [settings] (product, version, isolation, isolation-root, language, or a key number)",
               false;
    }
    return ParseSettingAssignment(assignment, m_settings.Get(), message);
}

bool CProductFile::Source(const std::string& value, bool allowFolder, CProductEntry& entry, std::string& message) {
    const size_t bar = value.find('|');
    std::wstring path = Utf8ToWide(Trim(value.substr(0, bar)));
    if (bar != std::string::npos) {
        entry.name = Utf8ToWide(Trim(value.substr(bar + 1)));
        if (!qlLib::IsSafeRelativePath(entry.name)) {
            return message = "\"" + WideToUtf8(entry.name) + "\" is not a relative path that stays inside its folder",
                   false;
        }
    }
    if (path.empty()) return message = "a path is missing", false;
    const bool absolute = (path.size() > 1 && path[1] == L':') || path[0] == L'\\' || path[0] == L'/';
    if (!absolute) {
        for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
        std::wstring joined;
        qlLib::JoinPath(joined, m_folder, path);
        path = joined;
    }
    entry.source = FullPath(path);
    const DWORD attributes = ::GetFileAttributesW(entry.source.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return message = "no such file or folder: " + WideToUtf8(entry.source), false;
    entry.folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (entry.folder && !allowFolder) return message = WideToUtf8(entry.source) + " is a folder, not a file", false;
    if (entry.name.empty()) {
        std::wstring source = entry.source;
        qlLib::RemoveTrailingBackslashes(source);
        const size_t slash = source.find_last_of(L"\\/");
        entry.name = source.substr(slash == std::wstring::npos ? 0 : slash + 1) + (entry.folder ? L".7z" : L"");
    }
    return true;
}

}  // namespace builder
