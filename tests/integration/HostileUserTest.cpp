// Whole runs against what an unprivileged user of the machine, or whoever edits the unsigned
// settings, can plant: a DbgHelp.dll in the log and temp folders before they are the installer's,
// a setting that names a COM class, a media file, an isolation file and code in folders anybody
// may write. Each planted module is the marker module, which leaves a file beside itself when
// something loads it.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <objbase.h>
#include <sddl.h>
#include <wintrust.h>

#include <string>
#include <vector>

#include "BuildPaths.h"
#include "package/KeyValueCollectionImpl.h"
#include "runtime/FolderUtils.h"
#include "runtime/Handles.h"
#include "runtime/ProtectedFolder.h"
#include "runtime/RegKey.h"
#include "support/PeBytes.h"
#include "support/ProcessWindows.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"
#include "tools/ministub-build/ArchiveWriter.h"
#include "tools/ministub-build/SettingsText.h"

using namespace testing_support;

namespace {

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// "Z:\a\b" -> "/a/b": the host's view of a test folder.
std::wstring UnixPath(std::wstring path) {
    path.erase(0, 2);
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    return path;
}

bool IsLink(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Wine cannot make or remove links: the host's ln and rm do. A host program's process handle
// tells nothing useful under Wine, so what it does is waited for.
class CHostLink {
public:
    CHostLink(const std::wstring& target, const std::wstring& link) : m_link(link) {
        made = Host(L"Z:\\bin\\ln -s " + UnixPath(target) + L" " + UnixPath(link), true);
    }
    ~CHostLink() { Host(L"Z:\\bin\\rm -f " + UnixPath(m_link), false); }
    bool made;

private:
    bool Host(std::wstring commandLine, bool linkWanted) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &process))
            return false;
        qlLib::CKernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
        for (int wait = 0; wait < 200 && IsLink(m_link) != linkWanted; ++wait) ::Sleep(50);
        return IsLink(m_link) == linkWanted;
    }
    std::wstring m_link;
};

// An environment variable of this process (and the programs it starts) for a while.
class CTempEnvironment {
public:
    CTempEnvironment(const wchar_t* name, const std::wstring& value) : m_name(name) {
        wchar_t old[MAX_PATH] = {};
        const DWORD length = ::GetEnvironmentVariableW(name, old, MAX_PATH);
        m_had = length > 0 && length < MAX_PATH;
        m_old = old;
        ::SetEnvironmentVariableW(name, value.c_str());
    }
    ~CTempEnvironment() { ::SetEnvironmentVariableW(m_name, m_had ? m_old.c_str() : nullptr); }

private:
    const wchar_t* m_name;
    bool m_had;
    std::wstring m_old;
};

bool MakeOpenFolder(const std::wstring& folder) {
    return ::CreateDirectoryW(folder.c_str(), nullptr) && MakeEverybodyWritable(folder) &&
           !qlLib::IsProtectedFolderAt(folder);
}

// An install package whose engine is the given module.
bool MakeEngineArchive(const std::wstring& engine, const std::wstring& archive) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(engine.c_str(), GetFileExInfoStandard, &data)) return false;
    builder::CArchiveItem folder, file;
    folder.name = L"InstallPackage";
    folder.folder = true;
    folder.attributes = FILE_ATTRIBUTE_DIRECTORY;
    file.source = engine;
    file.name = L"InstallPackage\\engine.dll";
    file.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    file.attributes = FILE_ATTRIBUTE_ARCHIVE;
    folder.modified = file.modified = data.ftLastWriteTime;
    builder::CArchiveWriter writer;
    builder::CArchiveStats stats;
    std::string error;
    return writer.Write({folder, file}, archive, stats, error);
}

// An object that saves itself as just its class id: what a hostile setting carries.
class CNamedClass : public IPersistStream {
public:
    explicit CNamedClass(const CLSID& id) : m_id(id) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_IPersist || iid == IID_IPersistStream) {
            *object = static_cast<IPersistStream*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override {
        *id = m_id;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Load(IStream*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Save(IStream*, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* size) override {
        size->QuadPart = 0;
        return S_OK;
    }

private:
    CLSID m_id;
};

class HostileUser : public CInstallerTest {
protected:
    void SetUp() override {
        CInstallerTest::SetUp();
        marker = ToWinePath(MARKER_DLL_UNIX_PATH);
        // Wine would load its own copy for a system DLL's name where Windows loads the file
        // named: this test's installer, and only it, gets the Windows behaviour.
        qlLib::CRegKey key;
        ASSERT_TRUE(key.Create(HKEY_CURRENT_USER, kOverrides, KEY_WRITE));
        ASSERT_TRUE(key.SetString(L"dbghelp", L"native,builtin"));
    }
    void TearDown() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\HostileSetup.exe");
        for (const std::wstring& folder : planted) {
            ::DeleteFileW((folder + L"\\DbgHelp.dll").c_str());
            ::DeleteFileW((folder + L"\\DbgHelp.dll.loaded").c_str());
            ::RemoveDirectoryW(folder.c_str());
        }
        CInstallerTest::TearDown();
    }
    bool Plant(const std::wstring& folder) {
        ::CreateDirectoryW(folder.c_str(), nullptr);
        planted.push_back(folder);
        return ::CopyFileW(marker.c_str(), (folder + L"\\DbgHelp.dll").c_str(), FALSE) != FALSE;
    }

    static constexpr const wchar_t* kOverrides = L"Software\\Wine\\AppDefaults\\HostileSetup.exe\\DllOverrides";
    std::wstring marker;
    std::vector<std::wstring> planted;
};

}  // namespace

TEST_F(HostileUser, ADbgHelpPlantedInTheLogAndTempFoldersIsNeverLoaded) {
    ScriptEngine("[Engine]\r\nWriteComplete=1\r\n");
    const std::wstring setup = MakeInstaller(ToWinePath(MINISTUB_EXE_UNIX_PATH), CTestInstaller::Fill(), L"HostileSetup.exe");
    // The log folders of the next half minute, made before the run, each with a module.
    ::CreateDirectoryW(product.logsRoot.substr(0, product.logsRoot.rfind(L'\\')).c_str(), nullptr);
    ::CreateDirectoryW(product.logsRoot.c_str(), nullptr);
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    FILETIME start;
    ::SystemTimeToFileTime(&now, &start);
    for (int second = 0; second < 30; ++second) {
        ULARGE_INTEGER at;
        at.LowPart = start.dwLowDateTime;
        at.HighPart = start.dwHighDateTime;
        at.QuadPart += static_cast<ULONGLONG>(second) * 10000000ull;
        FILETIME time = {at.LowPart, at.HighPart};
        SYSTEMTIME t;
        ::FileTimeToSystemTime(&time, &t);
        wchar_t stamp[64];
        swprintf(stamp, 64, L"%04d-%02d-%02d-%02dh%02dm%02ds", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                 t.wSecond);
        if (!Exists(product.logsRoot + L"\\" + stamp)) {
            ASSERT_TRUE(Plant(product.logsRoot + L"\\" + stamp));
        }
    }
    const std::wstring korTemp = product.logsRoot.substr(0, product.logsRoot.rfind(L'\\')) + L"\\KorTemp";
    if (!Exists(korTemp + L"\\DbgHelp.dll")) {
        ASSERT_TRUE(Plant(korTemp));
    }

    EXPECT_EQ(Run(setup, L"/qn"), 0u);
    const std::wstring log = product.RunLog();
    EXPECT_NE(log.find(L"install log folder: "), std::wstring::npos);
    for (const std::wstring& folder : planted) EXPECT_FALSE(Exists(folder + L"\\DbgHelp.dll.loaded")) << folder;
}

// The message module of a run that finds no installed product is unpacked into the temp folder.
// Another user made "VelmorInstall" there first: everybody may write in it, and a folder in it is
// a link to a victim's folder. The run never uses it, never changes it and deletes nothing of it.
TEST_F(HostileUser, ATempFolderOfTheSharedNameIsNeitherUsedNorEmptied) {
    product.realUI = true;
    const std::wstring setup = MakeInstaller(ToWinePath(STUBPROBE_EXE_UNIX_PATH), CTestInstaller::Fill(), L"HostileSetup.exe");
    const std::wstring tempFolder = temp.Join(L"tmp"), shared = tempFolder + L"\\VelmorInstall";
    const std::wstring victim = temp.Join(L"victim");
    for (const std::wstring& folder : {tempFolder, shared, victim}) {
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    }
    ASSERT_TRUE(WriteTextFile(shared + L"\\kept.txt", "kept"));
    ASSERT_TRUE(WriteTextFile(victim + L"\\victim.txt", "victim"));
    ASSERT_TRUE(MakeEverybodyWritable(shared));
    CHostLink link(victim, shared + L"\\sub");
    ASSERT_TRUE(link.made);

    DWORD exitCode = 1;
    std::vector<CShownMessageBox> boxes;
    {
        CTempEnvironment tmp(L"TMP", tempFolder), temp(L"TEMP", tempFolder);
        ASSERT_TRUE(RunAnsweringMessageBoxes(setup, L"/?", 120000, exitCode, boxes));
    }
    EXPECT_EQ(exitCode, 0u);
    // The text came from the package's module, unpacked into a folder of the run's own...
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Setup command line");
    // ...which went again afterwards.
    EXPECT_EQ(ListFolders(tempFolder, L"*"), std::vector<std::wstring>{L"VelmorInstall"});
    // The other user's folder is as it was: contents, link and rights.
    EXPECT_EQ(ListFiles(shared, L"*"), std::vector<std::wstring>{L"kept.txt"});
    EXPECT_TRUE(IsLink(shared + L"\\sub"));
    EXPECT_FALSE(qlLib::IsProtectedFolderAt(shared));
    EXPECT_EQ(ListFiles(victim, L"*"), std::vector<std::wstring>{L"victim.txt"});
}

TEST_F(HostileUser, ASettingThatNamesAClassNeverCreatesIt) {
    // A class registered with the marker module as its server, as any registered class is.
    GUID id;
    ASSERT_EQ(::CoCreateGuid(&id), S_OK);
    wchar_t text[64] = {};
    ::StringFromGUID2(id, text, 64);
    const std::wstring server = temp.Join(L"server.dll");
    ASSERT_TRUE(::CopyFileW(marker.c_str(), server.c_str(), FALSE));
    const std::wstring classKey = std::wstring(L"Software\\Classes\\CLSID\\") + text;
    {
        qlLib::CRegKey key;
        ASSERT_TRUE(key.Create(HKEY_LOCAL_MACHINE, (classKey + L"\\InprocServer32").c_str(), KEY_WRITE));
        ASSERT_TRUE(key.SetString(nullptr, server));
    }
    ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CNamedClass named(id);
    const std::wstring setup = MakeInstaller(ToWinePath(MINISTUB_EXE_UNIX_PATH), [&](TARN::CFileDataExtender& s) {
        product.DefaultSettings(s);
        qlLib::CComPtr<qlLib::IKeyValueCollection> extra = qlLib::CKeyValueCollectionImpl::New();
        VARIANT value;
        ::VariantInit(&value);
        value.vt = VT_UNKNOWN;
        value.punkVal = &named;
        ASSERT_TRUE(extra->SetVariant(700, &value));
        ASSERT_TRUE(s.Import(extra.Get()));
    });
    ::CoUninitialize();

    // The silo on the command line finds the run's log: the settings that name it are unread.
    const DWORD code = Run(setup, L"/qn /PRODID " + product.silo);
    EXPECT_EQ(code, 0x80047D71u) << std::hex << code;   // the settings cannot be read
    EXPECT_FALSE(Exists(server + L".loaded"));
    // Refused wherever the block is read (the exit-code mapping reads it again).
    EXPECT_GE(product.CountInLog(L"object value (type 13) refused"), 1u) << testing::PrintToString(product.RunLog());
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, classKey.c_str());
}

TEST_F(HostileUser, AMediaFileIsUsedOnlyWhenTheInstallersSignerSignedIt) {
    ScriptEngine("[Engine]\r\nWriteComplete=1\r\n");
    const std::wstring stub = ToWinePath(MINISTUB_EXE_UNIX_PATH);
    const CTestCertificate ours(temp, L"ours"), theirs(temp, L"theirs");
    product.sign = ours.Signer();
    const std::wstring setup = MakeInstaller(stub);
    // What another user hands over: the marker module as the engine, unsigned and signed by
    // themselves, and the installer's own package behind another program.
    const std::wstring markerEngine = temp.Join(L"marker-install.7z");
    ASSERT_TRUE(MakeEngineArchive(marker, markerEngine));
    const std::wstring plain = temp.Join(L"plain.exe"), theirsSigned = temp.Join(L"theirs.exe"),
                       otherImage = temp.Join(L"other-image.exe");
    product.installArchive = markerEngine;
    product.sign = nullptr;
    ASSERT_TRUE(product.Pack(stub, plain));
    product.sign = theirs.Signer();
    ASSERT_TRUE(product.Pack(stub, theirsSigned));
    product.installArchive.clear();
    product.sign = nullptr;
    ASSERT_TRUE(product.Pack(ToWinePath(STUBPROBE_EXE_UNIX_PATH), otherImage));
    // Their signature record made another type of record: Wine's verifier falls over such a table.
    const std::wstring oddRecord = temp.Join(L"odd-record.exe");
    Bytes bytes;
    ASSERT_TRUE(ReadFileBytes(theirsSigned, bytes));
    PutWord(bytes, GetDword(bytes, LayoutOf(bytes).SecurityEntryOffset()) + 6, WIN_CERT_TYPE_X509);
    ASSERT_TRUE(WriteFileBytes(oddRecord, bytes.data(), bytes.size()));
    for (const std::wstring& media : {plain, theirsSigned, otherImage, oddRecord}) {
        // Refused as a missing package; nothing of it is unpacked.
        EXPECT_EQ(Run(setup, L"/qn /MEDIA \"" + media + L"\""), 0x80070002u) << builder::WideToUtf8(media);
        EXPECT_TRUE(ListFiles(product.cache, L"*").empty()) << builder::WideToUtf8(media);
        EXPECT_EQ(product.CountInLog(media + L" is neither signed by this installer's signer"), 1u);
    }
    // A marker engine that was loaded would be gone with the cache a failed run extracts again:
    // the log says whether any engine was loaded.
    EXPECT_EQ(product.CountInLog(L"Start: Load EngineManager"), 0u);

    // Signed by the installer's signer, or the installer's own bytes without the signature: used.
    const std::wstring oursSigned = temp.Join(L"ours.exe");
    product.sign = ours.Signer();
    ASSERT_TRUE(product.Pack(stub, oursSigned));
    for (const std::wstring& media : {oursSigned, setup + L".unsigned"}) {
        qlLib::DeleteFolderTree(product.siloFolder, nullptr);
        EXPECT_EQ(Run(setup, L"/qn /MEDIA \"" + media + L"\""), 0u) << builder::WideToUtf8(media);
        EXPECT_TRUE(Exists(product.cache + L"\\engine.dll"));
    }
    EXPECT_EQ(product.CountInLog(L"media " + oursSigned + L": signed by this installer's signer"), 1u);
    EXPECT_EQ(product.CountInLog(L"media " + setup + L".unsigned: holds this installer's own package"), 1u);
}

TEST_F(HostileUser, AnInstallerSwappedAfterItsStartIsNotReadForItsPackage) {
    // Whoever may write the download folder renames the installer once it has started and puts
    // the same installer with the marker module as its engine in its place.
    ScriptEngine("[Engine]\r\nWriteComplete=1\r\n");
    const std::wstring stub = ToWinePath(MINISTUB_EXE_UNIX_PATH);
    const std::wstring setup = MakeInstaller(stub);
    const std::wstring markerEngine = temp.Join(L"marker-install.7z"), swapped = temp.Join(L"swapped.exe");
    ASSERT_TRUE(MakeEngineArchive(marker, markerEngine));
    product.installArchive = markerEngine;
    ASSERT_TRUE(product.Make(stub, swapped));
    std::wstring commandLine = L"\"" + setup + L"\" /qn";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(::CreateProcessW(setup.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                 nullptr, &startup, &process));
    qlLib::CKernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
    const bool replaced =
        ::MoveFileW(setup.c_str(), (setup + L".started").c_str()) && ::CopyFileW(swapped.c_str(), setup.c_str(), TRUE);
    ::ResumeThread(process.hThread);
    ASSERT_EQ(::WaitForSingleObject(process.hProcess, 120000), WAIT_OBJECT_0);
    ASSERT_TRUE(replaced);
    DWORD code = 0;
    ASSERT_TRUE(::GetExitCodeProcess(process.hProcess, &code));
    // Refused as a missing package; nothing of the swapped file is unpacked or loaded.
    EXPECT_EQ(code, 0x80070002u) << std::hex << code;
    EXPECT_TRUE(ListFiles(product.cache, L"*").empty());
    EXPECT_EQ(product.CountInLog(L"Start: Load EngineManager"), 0u);
    EXPECT_EQ(product.CountInLog(setup + L" is not the file this installer runs from"), 1u);
}

TEST_F(HostileUser, AnIsolationFileInAFolderOthersMayWriteChangesNothing) {
    // The keys a planted isolation file would name: debug options that open a trace file.
    CTestIsolationRoot planted;
    const std::wstring logs = temp.Join(L"planted-logs"), options = L"Quillon\\Debug\\DebugOutput";
    ASSERT_TRUE(::CreateDirectoryW(logs.c_str(), nullptr));
    ASSERT_TRUE(planted.SetDword(options, L"DebugType", 1));
    ASSERT_TRUE(planted.SetDword(options, L"OutputToFile", 1));
    ASSERT_TRUE(planted.SetString(options, L"Directory", logs));
    // A download in a shared folder: the file above it, and beside it.
    const std::wstring shared = temp.Join(L"shared"), download = shared + L"\\download";
    ASSERT_TRUE(MakeOpenFolder(shared));
    ASSERT_TRUE(MakeOpenFolder(download));
    ScriptEngine("[Engine]\r\nWriteComplete=1\r\n");
    const std::wstring setup = download + L"\\setup.exe";
    ASSERT_TRUE(product.Make(ToWinePath(MINISTUB_EXE_UNIX_PATH), setup));
    for (const std::wstring& folder : {shared, download}) {
        const std::wstring ini = folder + L"\\isolate.ini";
        ASSERT_TRUE(WriteTextFile(ini, "[isolation]\r\nsilo=" + builder::WideToUtf8(planted.Silo()) + "\r\n"));
        qlLib::DeleteFolderTree(product.siloFolder, nullptr);
        EXPECT_EQ(Run(setup, L"/qn"), 0u);
        EXPECT_TRUE(ListFiles(logs, L"*.log").empty()) << builder::WideToUtf8(ini);
        EXPECT_EQ(product.CountInLog(ini + L" ignored"), 1u) << builder::WideToUtf8(ini);
        ASSERT_TRUE(::DeleteFileW(ini.c_str()));
    }
}

TEST_F(HostileUser, CodeFromAFolderOthersMayWriteIsNeitherLoadedNorCopied) {
    // An installed product's stub in such a folder, beside a planted engine.
    const std::wstring open = temp.Join(L"open"), stub = open + L"\\InstStub.exe";
    ASSERT_TRUE(MakeOpenFolder(open));
    ASSERT_TRUE(::CopyFileW(ToWinePath(MINISTUB_EXE_UNIX_PATH).c_str(), stub.c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(marker.c_str(), (open + L"\\engine.dll").c_str(), FALSE));
    ASSERT_TRUE(WriteTextFile(open + L"\\Install.mft", ""));
    EXPECT_EQ(Run(stub, L"/VALIDATE"), 0x8000FFFFu);   // as without an engine
    EXPECT_FALSE(Exists(open + L"\\engine.dll.loaded"));

    // Base files from that folder, and from a folder whose subfolder anybody may write.
    const std::wstring base = temp.Join(L"base"), sub = base + L"\\sub";
    ASSERT_TRUE(::CreateDirectoryW(base.c_str(), nullptr));
    ASSERT_TRUE(MakeOpenFolder(sub));
    ASSERT_TRUE(::CopyFileW(marker.c_str(), (base + L"\\a.dll").c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(marker.c_str(), (sub + L"\\b.dll").c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(marker.c_str(), (open + L"\\c.dll").c_str(), FALSE));
    ScriptEngine("[Engine]\r\nWriteComplete=1\r\n");
    const std::wstring setup = MakeInstaller(ToWinePath(MINISTUB_EXE_UNIX_PATH), [this](TARN::CFileDataExtender& s) {
        product.DefaultSettings(s);
        s.SetData(20513, true);
    });
    for (const std::wstring& folder : {open, base}) {
        qlLib::DeleteFolderTree(product.siloFolder, nullptr);
        EXPECT_EQ(Run(setup, L"/qn /COPYBASECACHE \"" + folder + L"\""), 0u) << builder::WideToUtf8(folder);
        EXPECT_EQ(product.CountInLog(folder + L" is not a folder only administrators may write"), 1u);
        for (const wchar_t* copy : {L"\\c.dll", L"\\a.dll", L"\\sub\\b.dll"})
            EXPECT_FALSE(Exists(product.cache + copy)) << builder::WideToUtf8(folder + copy);
        EXPECT_TRUE(Exists(product.cache + L"\\engine.dll"));
    }

    // A last-install relaunch's manifest, which says what the engine installs and runs after,
    // from a folder the settings name: the open one is refused as a missing manifest.
    ASSERT_TRUE(WriteTextFile(open + L"\\Install.mft", "[Product]\r\nName=Planted\r\n"));
    const std::wstring relaunch = MakeInstaller(ToWinePath(MINISTUB_EXE_UNIX_PATH), [&](TARN::CFileDataExtender& s) {
        product.DefaultSettings(s);
        s.SetData(20502, open.c_str());
    }, L"relaunch.exe");
    qlLib::DeleteFolderTree(product.siloFolder, nullptr);
    const size_t engines = product.CountInLog(L"Start: Load EngineManager");
    EXPECT_EQ(Run(relaunch, L"/qn /LIRELAUNCH"), 0x80070002u);
    // (Once more after the retry from the media that a missing manifest brings.)
    EXPECT_GE(product.CountInLog(open + L" is not a folder only administrators may write, with every folder below it: "
                                        L"its manifest is not used"),
              1u);
    EXPECT_EQ(product.CountInLog(L"Start: Load EngineManager"), engines);
}
