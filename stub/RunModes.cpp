#include "RunModes.h"

#include <new>

#include "runtime/StringUtils.h"

namespace TARN {

namespace {

bool ReadValue(const qlLib::CCommandLine& commandLine, const wchar_t* name, CSwitchValue& out) {
    out.present = commandLine.Has(name);
    const wchar_t* value = out.present ? commandLine.GetValue(name) : nullptr;
    out.hasValue = value != nullptr;
    try {
        out.value = value ? value : L"";
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

const wchar_t CRunModes::kDeploymentCodesSwitch[] = L"DEPLOYCODES";

bool CRunModes::IsHelpOnly(const qlLib::CCommandLine& commandLine) {
    const auto& entries = commandLine.Entries();
    return entries.size() == 2 && !entries[0].isSwitch && entries[1].isSwitch && entries[1].text == L"?";
}

bool CRunModes::Read(const qlLib::CCommandLine& c) {
    static const wchar_t* const kQuiet[] = {L"qn", L"q"};
    static const wchar_t* const kBasicUI[] = {L"qb", L"qr"};
    quiet = c.HasAny(kQuiet, 2);
    basicUI = c.HasAny(kBasicUI, 2);
    stage = c.Has(L"stage");
    overExistingCache = c.Has(L"x");
    noReboot = c.Has(L"NOREBOOT");
    silentConfigWizard = c.Has(L"silentcfgwiz");
    genTrayIconScript = c.Has(L"GENTRAYICONSCRIPT");
    notUpgradeLayout = c.Has(L"NOTUPGRADELAYOUT");
    repairShortcuts = c.Has(L"REPAIRSHORTCUTS");
    repair = c.Has(L"REPAIR");
    validate = c.Has(L"VALIDATE");
    ignoreAddOns = c.Has(L"IGNOREADDONS");
    runOnceDone = c.Has(L"RODONE");
    runOnce = c.Has(L"RUNONCE");
    service = c.Has(L"svc");
    deleteMode = c.Has(L"DELETEMODE");
    trayOnly = c.Has(L"TRAYONLY");
    forceConfig = c.Has(L"FORCECONFIG");
    lastInstallRelaunch = c.Has(L"LIRELAUNCH");
    admin = c.Has(L"ADMIN");
    deploymentCodes = c.Has(kDeploymentCodesSwitch);

    return ReadValue(c, L"PUBLISHRESULTS", publishResultsValue) && ReadValue(c, L"LOGDIR", logDir) &&
           ReadValue(c, L"COPYBASECACHE", copyBaseCache) && ReadValue(c, L"PRODID", productId) &&
           ReadValue(c, L"DEFLANG", defaultLanguage) && ReadValue(c, L"SHOWERRORS", showErrorsValue) &&
           ReadValue(c, L"PATH", path) && ReadValue(c, L"TESTMODE", testModeValue) &&
           ReadValue(c, L"TEST", test) && ReadValue(c, L"MEDIA", media);
}

unsigned long CRunModes::PublishResults() const {
    if (!publishResultsValue.hasValue) return 0;
    if (qlLib::EqualsNoCase(publishResultsValue.value.c_str(), L"1")) return 1;
    if (qlLib::EqualsNoCase(publishResultsValue.value.c_str(), L"2")) return 2;
    return 0;
}

bool CRunModes::ShowErrorsSwitch() const {
    return showErrorsValue.hasValue && qlLib::ParseDecimal(showErrorsValue.value.c_str()) != 0;
}

bool CRunModes::TestFlag() const {
    return testModeValue.hasValue && qlLib::ParseDecimal(testModeValue.value.c_str()) != 0;
}

}  // namespace TARN
