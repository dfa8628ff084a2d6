#pragma once
// Takes one named file out of the install UI archive of a package (a language resource, say),
// reading the archive in place; every other entry is skipped.
#include <windows.h>

#include <string>

#include "package/FilePacker.h"

namespace TARN {

class CResourceUnpacker : public CFilePacker {
public:
    // The item's path inside the install UI archive (compared without regard to case).
    bool SetItemPath(const wchar_t* itemPath);
    HRESULT ExtractFile(const wchar_t* packedFile, const wchar_t* destination);

    DWORD GetExtractMode(DWORD type) override;
    HRESULT OnExtractStream(DWORD type, qlLib::IDataStream* stream, const wchar_t* path, ULONGLONG size) override;

private:
    std::wstring m_itemPath;
    std::wstring m_destination;
};

}  // namespace TARN
