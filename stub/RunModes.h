#pragma once
// The stub's switches, read once from the parsed command line. Presence switches are booleans;
// switches that carry a value keep the value (empty when given without one) and whether they
// were present at all.
#include <string>

#include "runtime/CommandLine.h"

namespace TARN {

struct CSwitchValue {
    bool present = false;     // the switch is on the command line
    bool hasValue = false;    // and a value follows it
    std::wstring value;
};

class CRunModes {
public:
    bool Read(const qlLib::CCommandLine& commandLine);

    // "qn" or "q": quiet run.
    bool quiet = false;
    // "qb" or "qr": basic UI run.
    bool basicUI = false;
    bool stage = false;               // "stage"
    bool overExistingCache = false;   // "x"
    bool noReboot = false;            // "NOREBOOT"
    bool silentConfigWizard = false;  // "silentcfgwiz"
    bool genTrayIconScript = false;   // "GENTRAYICONSCRIPT"
    bool notUpgradeLayout = false;    // "NOTUPGRADELAYOUT"
    bool repairShortcuts = false;     // "REPAIRSHORTCUTS"
    bool repair = false;              // "REPAIR"
    bool validate = false;            // "VALIDATE"
    bool ignoreAddOns = false;        // "IGNOREADDONS"
    bool runOnceDone = false;         // "RODONE"
    bool runOnce = false;             // "RUNONCE"
    bool service = false;             // "svc"
    bool deleteMode = false;          // "DELETEMODE"
    bool trayOnly = false;            // "TRAYONLY"
    bool forceConfig = false;         // "FORCECONFIG"
    bool lastInstallRelaunch = false; // "LIRELAUNCH"
    bool admin = false;               // "ADMIN"
    bool deploymentCodes = false;     // "DEPLOYCODES"

    CSwitchValue publishResultsValue; // "PUBLISHRESULTS"
    CSwitchValue logDir;              // "LOGDIR"
    CSwitchValue copyBaseCache;       // "COPYBASECACHE"
    CSwitchValue productId;           // "PRODID"
    CSwitchValue defaultLanguage;     // "DEFLANG"
    CSwitchValue showErrorsValue;     // "SHOWERRORS"
    CSwitchValue path;                // "PATH"
    CSwitchValue testModeValue;       // "TESTMODE"
    CSwitchValue test;                // "TEST"
    CSwitchValue media;               // "MEDIA"

    // 1 or 2 for "PUBLISHRESULTS" "1"/"2"; 0 for anything else, a missing value included.
    unsigned long PublishResults() const;
    // "SHOWERRORS" present: its value as a decimal number is non-zero (no value: false).
    // Absent: the product's default decides, so this answers only for the present case.
    bool ShowErrorsSwitch() const;
    // "TESTMODE" value read as a decimal number is non-zero (absent: off).
    bool TestFlag() const;
    // "x" together with a quiet run skips every check for another running instance.
    bool SkipInstanceChecks() const { return overExistingCache && quiet; }

    // Asks for the exit codes that deployment tools know (3010, 1641, 1618); not a name of the
    // switches above, so no existing command line changes its meaning.
    static const wchar_t kDeploymentCodesSwitch[];
    // "/?" as the only argument: the switch summary instead of a run. Anywhere else it is an
    // unknown switch like any other.
    static bool IsHelpOnly(const qlLib::CCommandLine& commandLine);
};

}  // namespace TARN
