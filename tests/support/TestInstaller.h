#pragma once
// Installers for process tests: a stub packed by the builder with the unpacker test archives and
// product settings, the folders its runs use, and their clean-up.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "package/FileDataExtender.h"
#include "support/TestSupport.h"

namespace testing_support {

class CTestInstaller {
public:
    using Fill = std::function<void(TARN::CFileDataExtender&)>;

    // A product of its own: product ID, silo (isolation GUID) and version 1.2.3.4.
    CTestInstaller();
    // Removes the silo's cache folder and the log folders of the runs.
    ~CTestInstaller();

    // Another silo for the product (one a test's isolation root already names).
    void UseSilo(const std::wstring& otherSilo);

    // stub with the UI, layout and install package (the scripted engine) archives as output; settings written by fill (default:
    // DefaultSettings). False with a test failure when something cannot be made.
    bool Make(const std::wstring& stub, const std::wstring& output, const Fill& fill = Fill());
    // Make without settings: the packed installer, signed when sign is set.
    bool Pack(const std::wstring& stub, const std::wstring& output);
    void DefaultSettings(TARN::CFileDataExtender& settings) const;

    // Install log folders whose logs name this product's silo, and every line they hold.
    std::vector<std::wstring> RunLogFolders() const;
    std::wstring RunLog() const;
    // How often text stands in those logs (runs started in one second share a log).
    size_t CountInLog(const std::wstring& text) const;

    // The demo product's real install UI instead of the unpacker test's UI files.
    bool realUI = false;
    // Another install package archive instead of the scripted engine's, another UI package.
    std::wstring installArchive, uiArchive;
    // Signs the packed installer (unsigned -> signed) before the settings go behind the
    // signature; the unsigned file stays beside it as "<output>.unsigned".
    std::function<bool(const std::wstring& unsignedPath, const std::wstring& signedPath)> sign;
    std::wstring product, silo;
    std::wstring installerRoot;   // Program Files\VelmorInstaller
    std::wstring logsRoot;        // common application data\VelmorInstaller\Logs
    std::wstring siloFolder;      // installerRoot\silo
    std::wstring cache;           // siloFolder\product\1.2.3.4
};

// A self-signed code signing certificate made for a test (openssl on the Unix side), and
// osslsigncode signing with it.
class CTestCertificate {
public:
    CTestCertificate(const CTempFolder& temp, const std::wstring& name);
    bool Sign(const std::wstring& in, const std::wstring& out) const;
    std::function<bool(const std::wstring&, const std::wstring&)> Signer() const;

private:
    std::wstring m_folder, m_name;
};

std::wstring SpecialFolder(int csidl);

// Where failed runs report to: "host:port" of the test and the production statistics server.
// Installer tests point both at a port where nobody listens, so that no run leaves the machine.
bool PointStatisticsServersAt(const std::wstring& testServer, const std::wstring& server);

// Whether path is among the deletions pending for the next restart (tests never simulate the
// restart: it would act on the whole prefix).
bool IsPendingDeletion(const std::wstring& path);
// The temp folder the stub stages its delete-mode copies in: GetTempPath2W where the system has it.
std::wstring StubTempFolder();
// Waits for the running programs of that file name to end.
void WaitForProgramsNamed(const std::wstring& fileName);
// The delete-mode copies of a product's runs that are still there ("<silo>_<product>_<n>.exe",
// each in a "VelmorRemoval-" folder of its own in the temp folder), as full paths.
std::vector<std::wstring> DeleteModeCopies(const CTestInstaller& product);
// Waits for those copies to end, and removes them with their folders.
void FinishDeleteModeCopies(const CTestInstaller& product);

// A test that makes installers into its own "app" folder and runs them.
class CInstallerTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::wstring MakeInstaller(const std::wstring& stub, const CTestInstaller::Fill& fill = CTestInstaller::Fill(),
                               const std::wstring& name = L"setup.exe");
    // The scripted engine's answers for the runs of this test (its "engine.ini" text).
    void ScriptEngine(const std::string& text);
    // Runs a program and gives back its full exit code.
    DWORD Run(const std::wstring& exe, const std::wstring& arguments);

    CTempFolder temp;
    CTestInstaller product;
    std::wstring app;
};

}  // namespace testing_support
