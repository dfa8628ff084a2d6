#pragma once
// Carries out a manifest: copies the layout's files into the target folder with progress, writes
// the registry values and shortcuts, and checks or repairs an installed product against it.
#include <windows.h>

#include <string>
#include <vector>

#include "components/ComponentInterfaces.h"
#include "samples/engine/InstallManifest.h"

namespace TARN {

class CProductInstaller {
public:
    // ui may be null; cancel is the engine's cancel flag (non-zero stops at the next chunk).
    CProductInstaller(const CInstallManifest& manifest, IInstallUI* ui, volatile LONG* cancel);

    // The whole install. installed receives the target paths written, in order. A cancel answers
    // E_INSTALL_USEREXIT and leaves no partly copied file.
    HRESULT Install(std::vector<std::wstring>& installed);
    // eEngineMode_Validate checks files, registry values and shortcuts; eEngineMode_Repair also
    // restores files and registry values from the layout; eEngineMode_RepairShortcuts recreates
    // missing shortcuts. Every finding is one trace line. Validation answers 0x80070002 when
    // something is missing and 0x80070570 when a file differs; repairs answer their first failure.
    HRESULT Check(DWORD mode);

private:
    HRESULT CopyLayoutFile(const std::wstring& source, const std::wstring& target);
    HRESULT ReportProgress();
    HRESULT WriteRegistryValue(const CManifestRegistryValue& value);
    bool RegistryValueMatches(const CManifestRegistryValue& value);
    HRESULT WriteShortcut(const CManifestShortcut& shortcut);
    bool SourcePath(const CManifestFile& file, std::wstring& path) const;
    bool TargetPath(const std::wstring& relative, std::wstring& path) const;

    const CInstallManifest& m_manifest;
    IInstallUI* m_ui;
    volatile LONG* m_cancel;
    ULONGLONG m_done = 0;
    ULONGLONG m_total = 0;
};

}  // namespace TARN
