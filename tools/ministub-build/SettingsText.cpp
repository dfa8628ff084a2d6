#include "tools/ministub-build/SettingsText.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "package/MemoryBuffer.h"
#include "runtime/ComPtr.h"
#include "runtime/Handles.h"

namespace builder {

using qlLib::CComPtr;
using qlLib::IKeyValueCollection;

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], n, nullptr, nullptr);
    return narrow;
}

bool ReadTextFile(const std::wstring& path, std::string& text) {
    qlLib::CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.Get(), &size) || size.QuadPart > (16 << 20)) return false;
    text.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    return text.empty() || (::ReadFile(file.Get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr) &&
                            read == text.size());
}

namespace {

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decimal, or hexadecimal with 0x; the whole text must be the number.
bool ParseUnsigned(const std::string& text, unsigned long long max, unsigned long long& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    return errno == 0 && end && *end == '\0' && value <= max;
}

bool ParseSigned(const std::string& text, long long min, long long max, long long& value) {
    if (text.empty() || text[0] == ' ') return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (hex) {
        // Hexadecimal gives the bit pattern: 0xFFFFFFFF for a long is -1.
        unsigned long long bits = 0;
        unsigned long long limit = static_cast<unsigned long long>(max) * 2 + 1;
        if (!ParseUnsigned(text, limit, bits)) return false;
        value = bits > static_cast<unsigned long long>(max) ? static_cast<long long>(bits - limit - 1) : static_cast<long long>(bits);
        return true;
    }
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0' && value >= min && value <= max;
}

bool ParseHexBytes(const std::string& text, std::vector<BYTE>& bytes) {
    bytes.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '-') continue;
        int d = HexDigit(c);
        if (d < 0) return false;
        if (high < 0) {
            high = d;
        } else {
            bytes.push_back(static_cast<BYTE>(high * 16 + d));
            high = -1;
        }
    }
    return high < 0;
}

bool ParseGuid(const std::string& text, GUID& guid) {
    std::wstring wide = Utf8ToWide(text);
    if (wide.size() != 38) return false;
    return SUCCEEDED(::CLSIDFromString(const_cast<wchar_t*>(wide.c_str()), &guid));
}

// A string value: quoted with escapes, or the text as it stands.
bool ParseStringValue(const std::string& text, std::string& value, std::string& error) {
    if (text.empty() || text[0] != '"') {
        value = text;
        return true;
    }
    value.clear();
    for (size_t i = 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            if (i + 1 != text.size()) {
                error = "text after the closing quote";
                return false;
            }
            return true;
        }
        if (c != '\\') {
            value += c;
            continue;
        }
        if (++i == text.size()) break;
        switch (text[i]) {
        case '"': value += '"'; break;
        case '\\': value += '\\'; break;
        case 'n': value += '\n'; break;
        case 'r': value += '\r'; break;
        case 't': value += '\t'; break;
        case 'x': {
            int h = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
            int l = h >= 0 ? HexDigit(text[i + 2]) : -1;
            if (l < 0) {
                error = "\\x needs two hexadecimal digits";
                return false;
            }
            value += static_cast<char>(h * 16 + l);
            i += 2;
            break;
        }
        default:
            error = std::string("unknown escape \\") + text[i];
            return false;
        }
    }
    error = "missing closing quote";
    return false;
}

std::string QuoteIfNeeded(const std::string& s) {
    bool plain = !s.empty() && s[0] != '"' && s.front() != ' ' && s.back() != ' ' && s.front() != '\t' &&
                 s.back() != '\t';
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F) plain = false;
    }
    if (plain) return s;
    std::string out = "\"";
    for (unsigned char c : s) {
        char buf[8];
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                std::snprintf(buf, sizeof(buf), "\\x%02X", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string HexText(const BYTE* data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string GuidText(const GUID& g) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

bool SetTyped(IKeyValueCollection* settings, DWORD key, const std::string& type, const std::string& rawValue,
              std::string& error) {
    std::string value = Trim(rawValue);
    unsigned long long u = 0;
    long long s = 0;
    bool ok = false;
    if (type == "bool") {
        if (value == "true" || value == "1") {
            ok = settings->SetBool(key, true);
        } else if (value == "false" || value == "0") {
            ok = settings->SetBool(key, false);
        } else {
            error = "a bool is true or false";
            return false;
        }
    } else if (type == "int8") {
        if (!ParseSigned(value, -128, 127, s)) return error = "not an int8: " + value, false;
        ok = settings->SetChar(key, static_cast<signed char>(s));
    } else if (type == "byte") {
        if (!ParseUnsigned(value, 0xFF, u)) return error = "not a byte: " + value, false;
        ok = settings->SetByte(key, static_cast<BYTE>(u));
    } else if (type == "int16") {
        if (!ParseSigned(value, -32768, 32767, s)) return error = "not an int16: " + value, false;
        ok = settings->SetShort(key, static_cast<SHORT>(s));
    } else if (type == "word") {
        if (!ParseUnsigned(value, 0xFFFF, u)) return error = "not a word: " + value, false;
        ok = settings->SetWord(key, static_cast<WORD>(u));
    } else if (type == "long") {
        if (!ParseSigned(value, -2147483647LL - 1, 2147483647LL, s)) return error = "not a long: " + value, false;
        ok = settings->SetLong(key, static_cast<LONG>(s));
    } else if (type == "dword") {
        if (!ParseUnsigned(value, 0xFFFFFFFFULL, u)) return error = "not a dword: " + value, false;
        ok = settings->SetDword(key, static_cast<DWORD>(u));
    } else if (type == "int64") {
        if (!ParseSigned(value, LLONG_MIN, LLONG_MAX, s)) return error = "not an int64: " + value, false;
        ok = settings->SetInt64(key, s);
    } else if (type == "uint64") {
        if (!ParseUnsigned(value, ULLONG_MAX, u)) return error = "not a uint64: " + value, false;
        ok = settings->SetUInt64(key, u);
    } else if (type == "double") {
        char* end = nullptr;
        double d = value.empty() ? 0 : std::strtod(value.c_str(), &end);
        if (value.empty() || !end || *end != '\0' || !std::isfinite(d)) return error = "not a double: " + value, false;
        ok = settings->SetDouble(key, d);
    } else if (type == "guid") {
        GUID g;
        if (!ParseGuid(value, g)) return error = "not a {GUID}: " + value, false;
        ok = settings->SetGuid(key, &g);
    } else if (type == "opaque16") {
        std::vector<BYTE> bytes;
        if (!ParseHexBytes(value, bytes) || bytes.size() != 16) return error = "opaque16 is 16 hexadecimal bytes", false;
        qlLib::CValue16 v;
        memcpy(&v, bytes.data(), 16);
        ok = settings->SetOpaque16(key, &v);
    } else if (type == "hex") {
        std::vector<BYTE> bytes;
        if (!ParseHexBytes(value, bytes)) return error = "not hexadecimal bytes: " + value, false;
        ok = settings->SetMemory(key, bytes.data(), static_cast<DWORD>(bytes.size()));
    } else if (type == "string" || type == "wstring") {
        std::string text;
        // Strings keep their spaces only when quoted.
        if (!ParseStringValue(value, text, error)) return false;
        if (text.find('\0') != std::string::npos) return error = "strings cannot hold a NUL character", false;
        if (type == "wstring") {
            ok = settings->SetWString(key, Utf8ToWide(text).c_str());
        } else {
            for (unsigned char c : text) {
                if (c >= 0x80) return error = "a narrow string holds ASCII only (use wstring)", false;
            }
            ok = settings->SetString(key, text.c_str());
        }
    } else {
        error = "unknown type \"" + type +
                "\" (bool, int8, byte, int16, word, long, dword, int64, uint64, double, guid, opaque16, hex, "
                "string, wstring)";
        return false;
    }
    if (!ok) error = "the collection refused the value";
    return ok;
}

}  // namespace

bool ParseSettingAssignment(const std::string& line, IKeyValueCollection* settings, std::string& error) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
        error = "expected <key> = <type>:<value>";
        return false;
    }
    std::string keyText = Trim(line.substr(0, equals));
    unsigned long long key = 0;
    if (!ParseUnsigned(keyText, 0xFFFFFFFFULL, key)) {
        error = "the key must be a number from 0 to 4294967295: \"" + keyText + "\"";
        return false;
    }
    std::string rest = line.substr(equals + 1);
    size_t colon = rest.find(':');
    if (colon == std::string::npos) {
        error = "expected <type>:<value> after the key";
        return false;
    }
    return SetTyped(settings, static_cast<DWORD>(key), Trim(rest.substr(0, colon)), rest.substr(colon + 1), error);
}

bool ParseSettingsText(const std::string& text, IKeyValueCollection* settings, std::string& error) {
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    unsigned lineNumber = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        ++lineNumber;
        std::string trimmed = Trim(line);
        if (!trimmed.empty() && trimmed[0] != '#') {
            std::string lineError;
            if (!ParseSettingAssignment(trimmed, settings, lineError)) {
                error = "line " + std::to_string(lineNumber) + ": " + lineError;
                return false;
            }
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

bool FormatSettingValue(IKeyValueCollection* settings, DWORD key, std::string& text) {
    if (!settings->Exists(key)) return false;
    // Values are read as stored, never converted.
    bool convert = settings->GetConvert();
    settings->SetConvert(false);
    char buf[64];
    bool ok = true;
    switch (settings->GetType(key)) {
    case qlLib::eValue_Empty: text = "empty:"; break;
    case qlLib::eValue_Bool: { bool v = false; ok = settings->GetBool(key, &v); text = v ? "bool:true" : "bool:false"; break; }
    case qlLib::eValue_Int8: { signed char v = 0; ok = settings->GetChar(key, &v); text = "int8:" + std::to_string(v); break; }
    case qlLib::eValue_Byte: { BYTE v = 0; ok = settings->GetByte(key, &v); text = "byte:" + std::to_string(v); break; }
    case qlLib::eValue_Int16: { SHORT v = 0; ok = settings->GetShort(key, &v); text = "int16:" + std::to_string(v); break; }
    case qlLib::eValue_Word: { WORD v = 0; ok = settings->GetWord(key, &v); text = "word:" + std::to_string(v); break; }
    case qlLib::eValue_Long: { LONG v = 0; ok = settings->GetLong(key, &v); text = "long:" + std::to_string(v); break; }
    case qlLib::eValue_Dword: { DWORD v = 0; ok = settings->GetDword(key, &v); text = "dword:" + std::to_string(v); break; }
    case qlLib::eValue_Int64: { LONGLONG v = 0; ok = settings->GetInt64(key, &v); text = "int64:" + std::to_string(v); break; }
    case qlLib::eValue_UInt64: { ULONGLONG v = 0; ok = settings->GetUInt64(key, &v); text = "uint64:" + std::to_string(v); break; }
    case qlLib::eValue_Double: {
        double v = 0;
        ok = settings->GetDouble(key, &v);
        std::snprintf(buf, sizeof(buf), "double:%.17g", v);
        text = buf;
        break;
    }
    case qlLib::eValue_Guid: { GUID v{}; ok = settings->GetGuid(key, &v); text = "guid:" + GuidText(v); break; }
    case qlLib::eValue_Opaque16: {
        qlLib::CValue16 v{};
        ok = settings->GetOpaque16(key, &v);
        text = "opaque16:" + HexText(reinterpret_cast<const BYTE*>(&v), 16);
        break;
    }
    case qlLib::eValue_String: { std::string v; ok = settings->GetString(key, &v); text = "string:" + QuoteIfNeeded(v); break; }
    case qlLib::eValue_WString: { std::wstring v; ok = settings->GetWString(key, &v); text = "wstring:" + QuoteIfNeeded(WideToUtf8(v)); break; }
    case qlLib::eValue_Memory: {
        CComPtr<qlLib::IMemoryBuffer> memory;
        ok = settings->GetMemory(key, memory.Receive()) && memory;
        text = ok ? "hex:" + HexText(memory->GetData(), memory->GetLength()) : "hex:";
        break;
    }
    case qlLib::eValue_Variant: text = "variant:(not editable as text)"; break;
    case qlLib::eValue_Object: text = "object:(not editable as text)"; break;
    default: ok = false; break;
    }
    settings->SetConvert(convert);
    return ok;
}

bool FormatSettingsText(IKeyValueCollection* settings, std::string& text) {
    text.clear();
    DWORD count = settings->GetCount();
    for (DWORD i = 0; i < count; ++i) {
        DWORD key = 0;
        std::string value;
        if (!settings->GetKeyAt(i, &key) || !FormatSettingValue(settings, key, value)) return false;
        text += std::to_string(key) + " = " + value + "\n";
    }
    return true;
}

}  // namespace builder
