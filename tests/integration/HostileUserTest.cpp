// Whole runs against what an unprivileged user of the machine, or whoever edits the unsigned
// settings, can plant: a DbgHelp.dll in the log and temp folders before they are the installer's,
// and a setting that names a COM class. Each planted module is the marker module, which leaves a
// file beside itself when something loads it.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "BuildPaths.h"
#include "package/KeyValueCollectionImpl.h"
#include "runtime/RegKey.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
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
