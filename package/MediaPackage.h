#pragma once
// The file a run takes its package from: the running installer itself, or the file the command
// line names (/MEDIA). Whoever starts the run picks that file, so an elevated or SYSTEM run
// unpacks, loads or copies nothing of it unless it carries a valid signature by the running
// installer's own signer, or the running installer's own image and package byte for byte. The
// file that was judged stays open without write or delete sharing, and the package reader is
// held to that very file: what was judged is what is read.
#include <windows.h>

#include <string>

#include "package/FileHandleWrapper.h"
#include "package/InstallUnpacker.h"
#include "package/InstallerFile.h"

namespace TARN {

class CMediaPackage {
public:
    // Whether the package in media may be used by a run of the installer whose file (at
    // installerPath) is installer: S_OK, or 0x80070002 (the code of a missing package, so the
    // media is asked for again) after one trace line. Judged once for as long as the same file
    // stays the media. The installer's own file is used when it is held (see CInstallerFile);
    // nothing is judged for an unsigned installer, or in a run without administrator rights:
    // those take the package as they always did.
    HRESULT Accept(const std::wstring& media, const std::wstring& installerPath, CInstallerFile& installer);
    // Extracts the accepted media's package into folder with unpacker, reading the judged file
    // only. 0x80070002 when nothing was accepted.
    HRESULT Extract(CInstallUnpacker& unpacker, qlLib::IKeyValueCollection* streams, const std::wstring& folder);

private:
    std::wstring m_path;
    bool m_accepted = false;
    // Held while the run may read the media (none when nothing was judged).
    qlLib::CFileHandleWrapper m_file;
    // The installer's own file, held by its owner, when that is the media.
    HANDLE m_installerFile = nullptr;
};

}  // namespace TARN
