#pragma once
// Language preferences of the product and of Windows, and the text forms of a LANGID: the
// "PPSS" language string ("0901" for 0x0409, "09\01" with a separator) that names language
// folders, and the language files that hold a LANGID in hexadecimal ("fallback.dat").
#include <windows.h>

#include <string>
#include <vector>

namespace qlLib {

// Longest language file that is read at all; anything larger is corrupt.
const DWORD kMaxLanguageFileBytes = 14;

// Primary language (low 10 bits) "%02X" ("%03X" from 256 on), the separator when given, the
// sublanguage "%02X". False, with out empty, for a primary language of 0 or when memory runs out.
bool LangIDString(LANGID language, const wchar_t* separator, std::wstring& out);

// The text of a language file: UTF-16LE after a byte order mark, otherwise the bytes widened
// one by one up to the first zero.
bool DecodeLanguageText(const BYTE* bytes, DWORD size, std::wstring& text);

// Up to four hexadecimal digits after optional blanks; 0 when there are none or more.
LANGID ParseLangId(const wchar_t* text);

// The LANGID that folder\"fallback.dat" names; 0 when it is missing, too large or unreadable.
LANGID ReadFallbackLanguage(const std::wstring& folder);

class CLanguageInfo {
public:
    // The user's chosen product language: HKCU isolation root "\ResourceConfig"
    // "Current UI Language"; 0 when absent or not hexadecimal.
    static LANGID GetCurrentUILanguage();
    // The product's default language: HKLM isolation root "\LanguageConfig" "Default Language".
    static LANGID GetDefaultLanguage();
    // The languages Windows offers for its user interface, enumerated once per process.
    static bool GetUILanguages(std::vector<LANGID>& languages);

private:
    static LANGID ReadLanguageValue(HKEY hive, const wchar_t* subkey, const wchar_t* value);
    static BOOL CALLBACK AddUILanguage(LPWSTR name, LONG_PTR context);
};

}  // namespace qlLib
