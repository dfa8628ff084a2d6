#include "tools/ministub-build/InstallerSettings.h"

#include "package/FileDataExtender.h"
#include "tools/ministub-build/SettingsText.h"

namespace builder {

bool ReadInstallerSettings(const std::wstring& installer, qlLib::IKeyValueCollection* settings, std::string& error) {
    TARN::CFileDataExtender extender;
    if (!extender.Initialize(installer.c_str(), false) || !extender.GetCollection(settings)) {
        error = "cannot read the present settings of " + WideToUtf8(installer);
        return false;
    }
    return true;
}

bool WriteInstallerSettings(const std::wstring& installer, qlLib::IKeyValueCollection* settings,
                            const std::wstring& placement, std::string& error) {
    TARN::CFileDataExtender extender;
    if (!extender.Initialize(installer.c_str(), true)) {
        error = "cannot open the settings of " + WideToUtf8(installer) + " for writing";
        return false;
    }
    if (placement == L"signature") {
        if (!extender.IsSigned()) {
            error = WideToUtf8(installer) + " is not signed: its signature cannot carry the settings";
            return false;
        }
        extender.SetPlacement(TARN::CFileDataExtender::ePlacement_Signature);
    } else if (placement == L"table") {
        extender.SetPlacement(TARN::CFileDataExtender::ePlacement_Table);
    }
    if (!extender.Import(settings) || !extender.Save()) {
        error = "cannot write the settings into " + WideToUtf8(installer);
        return false;
    }
    return true;
}

}  // namespace builder
