#pragma once
// Paths written with %TOKEN%s: each token is expanded from the product's path map in the
// registry (isolation root + "\Quillon\PathExpansionMap", written by the installed product),
// else from a built-in table of shell folders and isolation data folders. A token that only the
// path map knows (such as %INSTALLCACHEDIR%) therefore tells whether the product is installed.
#include <windows.h>

#include <string>

namespace qlLib {

// True when every token was expanded; out then holds the expanded text. On false, out holds the
// text expanded so far. pathMap: an already open path-map key, or null to open the product's.
bool ExpandPath(const wchar_t* text, std::wstring& out, HKEY pathMap = nullptr);

// The special folders of the built-in table: the common (CSIDL_COMMON_APPDATA) or local
// (CSIDL_LOCAL_APPDATA) application data folder + data extension + silo identity.
bool GetSiloDataFolder(int csidl, std::wstring& path);

}  // namespace qlLib
