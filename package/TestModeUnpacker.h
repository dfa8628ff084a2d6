#pragma once
// The unpacker of the command line's test mode: writes every entry of a package, and the stub,
// as files into an output folder and, on request, unpacks the archives into fixed subfolders
// ("Archive", "InstallPackage", "Scanner", "InstallUI").
#include <windows.h>

#include "package/InstallUnpacker.h"

namespace TARN {

class CTestModeUnpacker : public CInstallUnpacker {
public:
    explicit CTestModeUnpacker(const wchar_t* outputFolder);

    using CInstallUnpacker::Extract;
    HRESULT Extract(const wchar_t* packedFile, bool extractArchives);

    DWORD GetExtractMode(DWORD type) override;
    HRESULT OnExtractStream(DWORD type, qlLib::IDataStream* stream, const wchar_t* path, ULONGLONG size) override;

private:
    bool m_extractArchives;
};

}  // namespace TARN
