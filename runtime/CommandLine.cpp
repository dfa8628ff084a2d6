#include "CommandLine.h"

#include <windows.h>

#include <cwchar>
#include <new>

#include "StringUtils.h"

namespace qlLib {

bool CCommandLine::Parse() {
    return Parse(::GetCommandLineW(), L"/-");
}

bool CCommandLine::Parse(const wchar_t* commandLine, const wchar_t* switchChars) {
    m_entries.clear();
    if (!commandLine || !*commandLine || !switchChars || !*switchChars) return false;
    try {
        // Tokens first: an unclosed quote anywhere fails before any entry is made.
        std::vector<std::wstring> tokens;
        const std::wstring line(commandLine);
        size_t i = 0;
        const size_t n = line.size();
        for (;;) {
            while (i < n && line[i] == L' ') ++i;
            if (i >= n) break;
            const size_t start = i;
            while (i < n && line[i] != L' ') ++i;
            std::wstring token = line.substr(start, i - start);
            if (token[0] == L'"' && (token.size() == 1 || token.back() != L'"')) {
                // A quoted string with spaces: runs up to and including the next quote.
                const size_t close = line.find(L'"', i);
                if (close == std::wstring::npos) return false;
                token = line.substr(start, close + 1 - start);
                i = close + 1;
            }
            tokens.push_back(std::move(token));
        }

        for (const std::wstring& token : tokens) {
            CEntry entry;
            entry.raw = token;
            if (token[0] == L'"') {
                const size_t first = token.find_first_not_of(L'"');
                if (first != std::wstring::npos)
                    entry.text = token.substr(first, token.find_last_not_of(L'"') + 1 - first);
            } else if (std::wcschr(switchChars, token[0]) == nullptr) {
                entry.text = token;
            } else {
                if (token.size() == 1) return false;   // a lone switch character
                entry.isSwitch = true;
                entry.text = token.substr(1);
            }
            m_entries.push_back(std::move(entry));
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CCommandLine::ReplaceSwitch(std::wstring& line, const wchar_t* name, const wchar_t* replacement,
                                 const wchar_t* switchChars) {
    if (!name || !*name || !replacement || !switchChars) return true;
    try {
        std::wstring out;
        out.reserve(line.size());
        const size_t n = line.size();
        size_t i = 0;
        bool quoted = false;
        while (i < n) {
            if (line[i] == L' ' || quoted) {
                if (line[i] == L'"') quoted = false;
                out.push_back(line[i++]);
                continue;
            }
            size_t end = i;
            while (end < n && line[end] != L' ') ++end;
            std::wstring token = line.substr(i, end - i);
            if (token[0] == L'"') {
                // A quoted token runs to its closing quote, spaces and all: never a switch.
                quoted = token.size() == 1 || token.back() != L'"';
                out += token;
            } else if (token.size() > 1 && std::wcschr(switchChars, token[0]) &&
                       EqualsNoCase(token.c_str() + 1, name)) {
                out += replacement;
            } else {
                out += token;
            }
            i = end;
        }
        line.swap(out);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CCommandLine::IsSwitchEntry(size_t index, const wchar_t* name) const {
    const CEntry& entry = m_entries[index];
    return entry.isSwitch && EqualsNoCase(entry.text.c_str(), name);
}

bool CCommandLine::Has(const wchar_t* name) const {
    if (!name || !*name) return false;
    for (size_t i = 0; i < m_entries.size(); ++i)
        if (IsSwitchEntry(i, name)) return true;
    return false;
}

bool CCommandLine::HasAny(const wchar_t* const* names, size_t count) const {
    if (!names) return false;
    for (size_t i = 0; i < count; ++i)
        if (Has(names[i])) return true;
    return false;
}

bool CCommandLine::GetValues(const wchar_t* name, std::vector<std::wstring>& values) const {
    if (!name || !*name) return true;
    try {
        for (size_t i = 0; i < m_entries.size(); ++i) {
            if (!IsSwitchEntry(i, name)) continue;
            if (i + 1 >= m_entries.size() || m_entries[i + 1].isSwitch) return false;
            values.push_back(m_entries[i + 1].text);
            ++i;   // the value is not scanned again
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CCommandLine::GetValues(const wchar_t* const* names, size_t count, std::vector<std::wstring>& values) const {
    if (!names) return true;
    for (size_t i = 0; i < count; ++i)
        if (!GetValues(names[i], values)) return false;
    return true;
}

const wchar_t* CCommandLine::GetValue(const wchar_t* name) const {
    return GetValue(&name, 1);
}

const wchar_t* CCommandLine::GetValue(const wchar_t* const* names, size_t count) const {
    // The same scan as GetValues, answering with a pointer into the entries.
    if (!names) return nullptr;
    const wchar_t* first = nullptr;
    for (size_t n = 0; n < count; ++n) {
        if (!names[n] || !*names[n]) continue;
        for (size_t i = 0; i < m_entries.size(); ++i) {
            if (!IsSwitchEntry(i, names[n])) continue;
            if (i + 1 >= m_entries.size() || m_entries[i + 1].isSwitch) return nullptr;
            if (!first) first = m_entries[i + 1].text.c_str();
            ++i;
        }
    }
    return first;
}

}  // namespace qlLib
