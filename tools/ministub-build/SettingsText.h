#pragma once
// Product settings as readable text: one typed key per line,
//     <key> = <type>:<value>
// for example "0 = wstring:PRODUCT", "1 = dword:2014", "11 = bool:false". Blank lines and lines
// starting with '#' are ignored. A string value may be quoted ("...") to keep leading or
// trailing spaces; inside quotes \" \\ \n \r \t and \xHH escape.
#include <windows.h>
#include <string>

#include "package/ValueCollection.h"

namespace builder {

// Parses one "<key> = <type>:<value>" assignment (without comment handling) into the collection.
bool ParseSettingAssignment(const std::string& line, qlLib::IKeyValueCollection* settings, std::string& error);

// Parses a whole settings text (UTF-8, optional byte order mark) into the collection; an error
// names the line.
bool ParseSettingsText(const std::string& text, qlLib::IKeyValueCollection* settings, std::string& error);

// The "<type>:<value>" text of one value, in the form the parser reads back.
bool FormatSettingValue(qlLib::IKeyValueCollection* settings, DWORD key, std::string& text);

// The whole collection in the text form, one line per key in ascending order.
bool FormatSettingsText(qlLib::IKeyValueCollection* settings, std::string& text);

// A whole text file (at most 16 MiB), as bytes.
bool ReadTextFile(const std::wstring& path, std::string& text);

// UTF-8 <-> UTF-16 for the text forms.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

}  // namespace builder
