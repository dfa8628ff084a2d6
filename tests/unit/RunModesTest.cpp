#include <gtest/gtest.h>

#include "stub/RunModes.h"

using TARN::CRunModes;

namespace {

CRunModes Read(const wchar_t* line) {
    qlLib::CCommandLine c;
    c.Parse(line, L"/-");
    CRunModes modes;
    EXPECT_TRUE(modes.Read(c));
    return modes;
}

}  // namespace

TEST(RunModes, PlainStartHasNoMode) {
    const CRunModes m = Read(L"C:\\dl\\setup.exe");
    EXPECT_FALSE(m.quiet || m.basicUI || m.stage || m.overExistingCache || m.noReboot || m.silentConfigWizard ||
                 m.genTrayIconScript || m.notUpgradeLayout || m.repairShortcuts || m.repair || m.validate ||
                 m.ignoreAddOns || m.runOnceDone || m.runOnce || m.service || m.deleteMode || m.trayOnly ||
                 m.forceConfig || m.lastInstallRelaunch || m.admin);
    EXPECT_FALSE(m.media.present || m.logDir.present || m.test.present || m.showErrorsValue.present);
    EXPECT_EQ(m.PublishResults(), 0u);
    EXPECT_FALSE(m.ShowErrorsSwitch());
    EXPECT_FALSE(m.TestFlag());
}

TEST(RunModes, EveryPresenceSwitchIsRead) {
    struct Case {
        const wchar_t* sw;
        bool CRunModes::*member;
    };
    const Case cases[] = {
        {L"/qn", &CRunModes::quiet},
        {L"-q", &CRunModes::quiet},
        {L"/qb", &CRunModes::basicUI},
        {L"/QR", &CRunModes::basicUI},
        {L"/stage", &CRunModes::stage},
        {L"/x", &CRunModes::overExistingCache},
        {L"/NOREBOOT", &CRunModes::noReboot},
        {L"/silentcfgwiz", &CRunModes::silentConfigWizard},
        {L"/GENTRAYICONSCRIPT", &CRunModes::genTrayIconScript},
        {L"/NOTUPGRADELAYOUT", &CRunModes::notUpgradeLayout},
        {L"/REPAIRSHORTCUTS", &CRunModes::repairShortcuts},
        {L"/REPAIR", &CRunModes::repair},
        {L"/VALIDATE", &CRunModes::validate},
        {L"/IGNOREADDONS", &CRunModes::ignoreAddOns},
        {L"/RODONE", &CRunModes::runOnceDone},
        {L"/RUNONCE", &CRunModes::runOnce},
        {L"/svc", &CRunModes::service},
        {L"/DELETEMODE", &CRunModes::deleteMode},
        {L"/TRAYONLY", &CRunModes::trayOnly},
        {L"/FORCECONFIG", &CRunModes::forceConfig},
        {L"-lirelaunch", &CRunModes::lastInstallRelaunch},
        {L"/ADMIN", &CRunModes::admin},
        {L"/DEPLOYCODES", &CRunModes::deploymentCodes},
    };
    for (const Case& c : cases) {
        const CRunModes m = Read((std::wstring(L"stub.exe ") + c.sw).c_str());
        EXPECT_TRUE(m.*(c.member)) << testing::PrintToString(std::wstring(c.sw));
        // Nothing else switched on with it (the quiet pair and the basic pair share a member).
        int on = 0;
        for (const Case& other : cases)
            if (other.member != c.member && m.*(other.member)) ++on;
        EXPECT_EQ(on, 0) << testing::PrintToString(std::wstring(c.sw));
    }
}

TEST(RunModes, SwitchesMatchWholeNamesInAnyCaseOnly) {
    // A switch whose name begins with another's turns on only its own.
    CRunModes m = Read(L"stub.exe /REPAIRSHORTCUTS");
    EXPECT_TRUE(m.repairShortcuts);
    EXPECT_FALSE(m.repair);
    m = Read(L"stub.exe /qnx /xq /stages /svchost /TRAYONLYX /DELETEMODES /RUNONCEX");
    EXPECT_FALSE(m.quiet || m.overExistingCache || m.stage || m.service || m.trayOnly || m.deleteMode || m.runOnce);
    // Case and the dash form do not matter; each of a pair is enough.
    m = Read(L"stub.exe -Q /Stage -lirelaunch /qr /Svc /rodone");
    EXPECT_TRUE(m.quiet && m.stage && m.lastInstallRelaunch && m.basicUI && m.service && m.runOnceDone);
    EXPECT_FALSE(m.runOnce || m.repair || m.validate);
}

TEST(RunModes, EveryValueSwitchKeepsItsValue) {
    struct Case {
        const wchar_t* name;
        TARN::CSwitchValue CRunModes::*member;
    };
    const Case cases[] = {
        {L"PUBLISHRESULTS", &CRunModes::publishResultsValue},
        {L"LOGDIR", &CRunModes::logDir},
        {L"COPYBASECACHE", &CRunModes::copyBaseCache},
        {L"PRODID", &CRunModes::productId},
        {L"DEFLANG", &CRunModes::defaultLanguage},
        {L"SHOWERRORS", &CRunModes::showErrorsValue},
        {L"PATH", &CRunModes::path},
        {L"TESTMODE", &CRunModes::testModeValue},
        {L"TEST", &CRunModes::test},
        {L"MEDIA", &CRunModes::media},
    };
    for (const Case& c : cases) {
        const std::wstring name(c.name);
        CRunModes m = Read((L"stub.exe /" + name + L" \"C:\\some folder\\" + name + L"\"").c_str());
        EXPECT_TRUE((m.*(c.member)).present) << testing::PrintToString(name);
        EXPECT_TRUE((m.*(c.member)).hasValue) << testing::PrintToString(name);
        EXPECT_EQ((m.*(c.member)).value, L"C:\\some folder\\" + name);
        // Given last without a value: present, no value.
        m = Read((L"stub.exe /qn /" + name).c_str());
        EXPECT_TRUE((m.*(c.member)).present) << testing::PrintToString(name);
        EXPECT_FALSE((m.*(c.member)).hasValue) << testing::PrintToString(name);
        EXPECT_TRUE((m.*(c.member)).value.empty());
    }
}

TEST(RunModes, PublishResultsAcceptsOnlyOneAndTwo) {
    EXPECT_EQ(Read(L"s /PUBLISHRESULTS 1").PublishResults(), 1u);
    EXPECT_EQ(Read(L"s /publishresults 2").PublishResults(), 2u);
    EXPECT_EQ(Read(L"s /PUBLISHRESULTS 3").PublishResults(), 0u);
    EXPECT_EQ(Read(L"s /PUBLISHRESULTS yes").PublishResults(), 0u);
    EXPECT_EQ(Read(L"s /PUBLISHRESULTS").PublishResults(), 0u);
}

TEST(RunModes, NumericSwitchesReadDecimalNumbers) {
    EXPECT_TRUE(Read(L"s /qn /SHOWERRORS 1").ShowErrorsSwitch());
    EXPECT_FALSE(Read(L"s /qn /SHOWERRORS 0").ShowErrorsSwitch());
    EXPECT_FALSE(Read(L"s /qn /SHOWERRORS").ShowErrorsSwitch());
    EXPECT_FALSE(Read(L"s /qn /SHOWERRORS abc").ShowErrorsSwitch());
    EXPECT_TRUE(Read(L"s /TEST C:\\t /TESTMODE 7").TestFlag());
    EXPECT_FALSE(Read(L"s /TEST C:\\t /TESTMODE 0").TestFlag());
    EXPECT_FALSE(Read(L"s /TEST C:\\t").TestFlag());
}

TEST(RunModes, InstanceChecksAreSkippedOnlyForQuietRunsOverAnExistingCache) {
    EXPECT_TRUE(Read(L"s /x /qn").SkipInstanceChecks());
    EXPECT_TRUE(Read(L"s -q -X").SkipInstanceChecks());
    EXPECT_FALSE(Read(L"s /x").SkipInstanceChecks());
    EXPECT_FALSE(Read(L"s /qn").SkipInstanceChecks());
    EXPECT_FALSE(Read(L"s /x /qb").SkipInstanceChecks());
}

TEST(RunModes, UnclosedQuoteLeavesAPlainStart) {
    const CRunModes m = Read(L"s /qn /x /MEDIA \"C:\\media.exe");
    EXPECT_FALSE(m.quiet);
    EXPECT_FALSE(m.overExistingCache);
    EXPECT_FALSE(m.media.present);
}
