#pragma once
// The process command line split into entries: switches (a token that starts with a switch
// character and is not quoted), quoted tokens and plain tokens. A switch takes its value from
// the entry after it.
#include <string>
#include <vector>

namespace qlLib {

class CCommandLine {
public:
    struct CEntry {
        bool isSwitch = false;
        std::wstring text;   // switch: without its switch character; quoted: without the quotes
        std::wstring raw;    // the token as it stood
    };

    // Parses GetCommandLineW() with the switch characters "/-".
    bool Parse();
    // False for an empty command line or switch set, for a quote that is never closed (then no
    // entry is kept) and for a lone switch character (the entries before it are kept).
    bool Parse(const wchar_t* commandLine, const wchar_t* switchChars);

    bool Has(const wchar_t* name) const;
    bool HasAny(const wchar_t* const* names, size_t count) const;
    // Appends the value after every occurrence of the switch. False when an occurrence has no
    // value (a missing or switch entry after it); true with nothing appended when it is absent.
    bool GetValues(const wchar_t* name, std::vector<std::wstring>& values) const;
    bool GetValues(const wchar_t* const* names, size_t count, std::vector<std::wstring>& values) const;
    // The first value, or null when there is none or the switch lacks a value somewhere. The
    // pointer lives as long as this object's entries.
    const wchar_t* GetValue(const wchar_t* name) const;
    const wchar_t* GetValue(const wchar_t* const* names, size_t count) const;

    const std::vector<CEntry>& Entries() const { return m_entries; }

    // Replaces, in a raw command line, every unquoted token that is the switch name (any case)
    // after any of the switch characters with replacement, as Has would see it. False only when
    // memory runs out.
    static bool ReplaceSwitch(std::wstring& line, const wchar_t* name, const wchar_t* replacement,
                              const wchar_t* switchChars = L"/-");

private:
    bool IsSwitchEntry(size_t index, const wchar_t* name) const;
    std::vector<CEntry> m_entries;
};

}  // namespace qlLib
