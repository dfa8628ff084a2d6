#pragma once
// The entries a pack command names: "FILE[=NAME]" values and the files below a folder.
#include <windows.h>

#include <string>
#include <vector>

#include "tools/ministub-build/ArchiveWriter.h"
#include "tools/ministub-build/PackageBuilder.h"

namespace builder {

// The full form of a path as given on the command line.
std::wstring FullPath(const std::wstring& path);

// "FILE[=NAME]"; the name defaults to the file's own name. FILE may itself hold "=": the value is
// split at the first "=" whose left part names an existing file, and a value that names an
// existing file as a whole is that file. error says why a value cannot be used.
bool ParseEntry(const std::wstring& value, DWORD type, CPackEntry& entry, std::string& error);

// path's name relative to root ("a\b.txt" for root "C:\r" and path "C:\r\a\b.txt"); false when
// path does not lie below root (C:\root is no prefix of C:\rootX\a).
bool RelativeName(const std::wstring& root, const std::wstring& path, std::wstring& name);

// Every file below folder, in a stable order, as plain-file entries named relative to root.
// Links (junctions, symbolic links) are never followed: they land in skipped, so a link that
// points back up cannot make the walk endless.
bool AddFolder(const std::wstring& root, const std::wstring& folder, std::vector<CPackEntry>& entries,
               std::vector<std::wstring>& skipped, std::string& error);

// Every file and folder below root as archive items named relative to root, a folder before its
// contents. Fails, before anything is written anywhere, on a link (never followed) and on a name
// the stub would refuse to unpack (device names, streams, trailing dots or spaces).
bool ListArchiveItems(const std::wstring& root, std::vector<CArchiveItem>& items, std::string& error);

}  // namespace builder
