#pragma once
// Makes an installer: the stub's image, its build signature (or a 4-byte zero placeholder for an
// unsigned stub), the package header, the index and the entries' data, padded so that a
// certificate table appended by signing starts on an 8-byte boundary.
#include <windows.h>

#include <string>
#include <vector>

namespace builder {

struct CPackEntry {
    std::wstring source;   // file whose bytes become the entry
    std::wstring name;     // extraction path stored in the index
    DWORD type;            // entry type (TARN::EFileType)
};

class CPackageBuilder {
public:
    // Writes the installer to outputPath (through a temporary file beside it, so a failed build
    // never leaves a half-written installer). error receives one line on failure.
    bool Build(const std::wstring& stubPath, const std::vector<CPackEntry>& entries, const std::wstring& outputPath,
               std::string& error);
};

}  // namespace builder
