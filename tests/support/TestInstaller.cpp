#include "support/TestInstaller.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include "BuildPaths.h"
#include "package/FilePacker.h"
#include "runtime/FolderUtils.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "runtime/RegKey.h"
#include "runtime/StringUtils.h"
#include "runtime/TempFolder.h"
#include "support/TestSupport.h"
#include "tools/ministub-build/PackageBuilder.h"
#include "tools/ministub-build/SettingsText.h"
#include "tools/ministub-build/SigningCommand.h"

namespace testing_support {

namespace {

std::wstring Archive(const char* folder, const wchar_t* name) {
    std::wstring path;
    qlLib::JoinPath(path, ToWinePath(folder), name);
    return path;
}

}  // namespace

std::wstring SpecialFolder(int csidl) {
    wchar_t folder[MAX_PATH] = {};
    ::SHGetSpecialFolderPathW(nullptr, folder, csidl, FALSE);
    return folder;
}

CTestInstaller::CTestInstaller() {
    PointStatisticsServersAt(L"127.0.0.1:9", L"127.0.0.1:9");
    qlLib::JoinPath(installerRoot, SpecialFolder(CSIDL_PROGRAM_FILES), L"VelmorInstaller");
    qlLib::JoinPath(logsRoot, SpecialFolder(CSIDL_COMMON_APPDATA), L"VelmorInstaller\\Logs");
    UseSilo(NewGuid());
}

bool PointStatisticsServersAt(const std::wstring& testServer, const std::wstring& server) {
    qlLib::CRegKey key;
    return key.Create(HKEY_LOCAL_MACHINE, L"Software\\Velmor\\Statistics", KEY_WRITE) &&
           key.SetString(L"TestServer", testServer) && key.SetString(L"Server", server);
}

void CTestInstaller::UseSilo(const std::wstring& otherSilo) {
    silo = otherSilo;
    product = L"P" + silo.substr(1, 8);
    siloFolder = installerRoot + L"\\" + silo;
    cache = siloFolder + L"\\" + product + L"\\1.2.3.4";
}

CTestInstaller::~CTestInstaller() {
    qlLib::DeleteFolderTree(siloFolder, nullptr);
    // Runs of other tests started in the same second log into the same folder: a folder that
    // names another silo stays for that test to remove.
    for (const auto& folder : RunLogFolders()) {
        bool others = false;
        for (const auto& log : ListFiles(folder, L"*.log")) {
            std::wstring text;
            if (!ReadUtf16File(folder + L"\\" + log, text)) continue;
            for (size_t at = text.find(L"VelmorInstaller\\{"); at != std::wstring::npos && !others;
                 at = text.find(L"VelmorInstaller\\{", at + 1))
                others = text.compare(at + 16, silo.size(), silo) != 0;
        }
        if (!others) qlLib::DeleteFolderTree(folder, nullptr);
    }
}

void CTestInstaller::DefaultSettings(TARN::CFileDataExtender& s) const {
    s.SetData(0, product.c_str());
    s.SetData(9, silo.c_str());
    s.SetData(18, L"Software\\Korvanta\\Isolation");
    for (DWORD i = 1; i <= 4; ++i) s.SetData(i, i);
}

CTestCertificate::CTestCertificate(const CTempFolder& temp, const std::wstring& name)
    : m_folder(temp.Path()), m_name(name) {
    const std::wstring key = temp.Join(name + L".key"), certificate = temp.Join(name + L".pem");
    std::string error;
    if (!builder::CSigningCommand(L"openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out {out}")
             .Run(m_folder, key, key, error) ||
        !builder::CSigningCommand(L"openssl req -x509 -new -days 2 -subj /CN=" + name + L" -key {in} -out {out}")
             .Run(m_folder, key, certificate, error))
        ADD_FAILURE() << "certificate " << builder::WideToUtf8(name) << ": " << error;
}

bool CTestCertificate::Sign(const std::wstring& in, const std::wstring& out) const {
    const std::wstring command = L"osslsigncode sign -certs " + m_name + L".pem -key " + m_name +
                                 L".key -n MiniStubTest -h sha256 -in {in} -out {out}";
    std::string error;
    ::DeleteFileW(out.c_str());   // osslsigncode never overwrites
    if (builder::CSigningCommand(command).Run(m_folder, in, out, error)) return true;
    ADD_FAILURE() << "signing " << builder::WideToUtf8(in) << ": " << error;
    return false;
}

std::function<bool(const std::wstring&, const std::wstring&)> CTestCertificate::Signer() const {
    return [this](const std::wstring& in, const std::wstring& out) { return Sign(in, out); };
}

bool CTestInstaller::Pack(const std::wstring& stub, const std::wstring& output) {
    std::string error;
    builder::CPackageBuilder packageBuilder;
    const std::wstring packed = sign ? output + L".unsigned" : output;
    if (!packageBuilder.Build(stub,
                              {{!uiArchive.empty() ? uiArchive
                                : Archive(realUI ? ENGINE_ARCHIVES_UNIX_PATH : UNPACKER_ARCHIVES_UNIX_PATH, L"ui.7z"),
                                L"QDX-TRRootuiPackage.7z", TARN::eFileType_UIPackage},
                               {Archive(UNPACKER_ARCHIVES_UNIX_PATH, L"layout.7z"), L"QDX-TRRoot.7z",
                                TARN::eFileType_Archive},
                               {installArchive.empty() ? Archive(ENGINE_ARCHIVES_UNIX_PATH, L"install.7z")
                                                       : installArchive,
                                L"QDX-TRRootInstallPackage.7z", TARN::eFileType_InstallPackage}},
                              packed, error)) {
        ADD_FAILURE() << error;
        return false;
    }
    return !sign || sign(packed, output);
}

bool CTestInstaller::Make(const std::wstring& stub, const std::wstring& output, const Fill& fill) {
    if (!Pack(stub, output)) return false;
    TARN::CFileDataExtender settings;
    if (!settings.Initialize(output.c_str(), true)) {
        ADD_FAILURE() << "settings block of the new installer";
        return false;
    }
    if (fill) {
        fill(settings);
    } else {
        DefaultSettings(settings);
    }
    if (!settings.Save()) {
        ADD_FAILURE() << "settings not saved";
        return false;
    }
    return true;
}

std::vector<std::wstring> CTestInstaller::RunLogFolders() const {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((logsRoot + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return found;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || entry.cFileName[0] == L'.') continue;
        const std::wstring folder = logsRoot + L"\\" + entry.cFileName;
        for (const auto& log : ListFiles(folder, L"*.log")) {
            std::wstring text;
            if (ReadUtf16File(folder + L"\\" + log, text) && text.find(silo) != std::wstring::npos) {
                found.push_back(folder);
                break;
            }
        }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    return found;
}

size_t CTestInstaller::CountInLog(const std::wstring& text) const {
    const std::wstring log = RunLog();
    size_t count = 0;
    for (size_t at = log.find(text); at != std::wstring::npos; at = log.find(text, at + 1)) ++count;
    return count;
}

std::wstring CTestInstaller::RunLog() const {
    std::wstring all;
    for (const auto& folder : RunLogFolders())
        for (const auto& log : ListFiles(folder, L"*.log")) {
            std::wstring text;
            if (ReadUtf16File(folder + L"\\" + log, text)) all += text;
        }
    return all;
}

bool IsPendingDeletion(const std::wstring& path) {
    qlLib::CRegKeyHandle key;
    DWORD size = 0;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                        key.Receive()) != ERROR_SUCCESS ||
        ::RegQueryValueExW(key.Get(), L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return false;
    std::wstring data(size / sizeof(wchar_t) + 2, L'\0');
    ::RegQueryValueExW(key.Get(), L"PendingFileRenameOperations", nullptr, nullptr, reinterpret_cast<BYTE*>(&data[0]),
                       &size);
    // Pairs of source and destination; an empty destination deletes.
    for (size_t at = 0; data[at];) {
        const std::wstring source(&data[at]);
        at += source.size() + 1;
        const bool deletes = !data[at];
        at += wcslen(&data[at]) + 1;
        if (deletes && qlLib::EqualsNoCase(source.c_str(), (L"\\??\\" + path).c_str())) return true;
    }
    return false;
}

std::wstring StubTempFolder() {
    std::wstring path;
    qlLib::GetTempFolder(path);
    if (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

void WaitForProgramsNamed(const std::wstring& fileName) {
    qlLib::CFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL found = snapshot && ::Process32FirstW(snapshot.Get(), &entry); found;
         found = ::Process32NextW(snapshot.Get(), &entry)) {
        if (!qlLib::EqualsNoCase(entry.szExeFile, fileName.c_str())) continue;
        qlLib::CKernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (process) {
            EXPECT_EQ(::WaitForSingleObject(process.Get(), 120000), WAIT_OBJECT_0) << fileName.c_str();
        }
    }
}

std::vector<std::wstring> DeleteModeCopies(const CTestInstaller& product) {
    std::vector<std::wstring> found;
    const std::wstring temp = StubTempFolder();
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((temp + L"\\VelmorRemoval-*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return found;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        const std::wstring folder = temp + L"\\" + entry.cFileName;
        for (const std::wstring& copy : ListFiles(folder, (product.silo + L"_" + product.product + L"_*.exe").c_str()))
            found.push_back(folder + L"\\" + copy);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    return found;
}

void FinishDeleteModeCopies(const CTestInstaller& product) {
    for (const std::wstring& copy : DeleteModeCopies(product)) {
        WaitForProgramsNamed(copy.substr(copy.rfind(L'\\') + 1));
        ::DeleteFileW(copy.c_str());
        ::RemoveDirectoryW(copy.substr(0, copy.rfind(L'\\')).c_str());
    }
}

void CInstallerTest::SetUp() {
    app = temp.Join(L"app");
    ASSERT_TRUE(::CreateDirectoryW(app.c_str(), nullptr));
    // Runs started in the same second share one log folder and file, and a test reads its runs'
    // lines from the files that name its product: its runs start in a second no earlier run of
    // another test (or of a script) has logged in.
    for (int wait = 0; wait < 3; ++wait) {
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        wchar_t stamp[40];
        swprintf(stamp, 40, L"\\%04d-%02d-%02d-%02dh%02dm%02ds", now.wYear, now.wMonth, now.wDay, now.wHour,
                 now.wMinute, now.wSecond);
        if (::GetFileAttributesW((product.logsRoot + stamp).c_str()) == INVALID_FILE_ATTRIBUTES) break;
        ::Sleep(1005 - now.wMilliseconds);
    }
}

void CInstallerTest::TearDown() {
    ::SetEnvironmentVariableW(L"MINISTUB_ENGINE_SCRIPT", nullptr);
}

std::wstring CInstallerTest::MakeInstaller(const std::wstring& stub, const CTestInstaller::Fill& fill,
                                           const std::wstring& name) {
    const std::wstring out = app + L"\\" + name;
    product.Make(stub, out, fill);
    return out;
}

void CInstallerTest::ScriptEngine(const std::string& text) {
    // The stubs started by this test inherit the variable; the engine they unpack reads it.
    const std::wstring script = temp.Join(L"engine.ini");
    ASSERT_TRUE(WriteTextFile(script, text));
    ASSERT_TRUE(::SetEnvironmentVariableW(L"MINISTUB_ENGINE_SCRIPT", script.c_str()));
}

DWORD CInstallerTest::Run(const std::wstring& exe, const std::wstring& arguments) {
    DWORD code = 0xDEADBEEF;
    EXPECT_TRUE(RunProgram(exe, arguments, 120000, code));
    return code;
}

}  // namespace testing_support
