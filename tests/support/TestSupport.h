#pragma once
// Helpers shared by the unit and integration tests (they run under Wine).
#include <windows.h>

#include <string>
#include <vector>

#include "runtime/CriticalSection.h"
#include "runtime/DebugOutput.h"

namespace testing_support {

// "/a/b" -> "Z:\a\b": how Wine shows a Unix path.
std::wstring ToWinePath(const char* unixPath);
// A fresh braced GUID, e.g. for a test's own isolation silo.
std::wstring NewGuid();

// A new folder under the build tree's test-temp folder, removed with its contents at the end.
class CTempFolder {
public:
    CTempFolder();
    ~CTempFolder();
    const std::wstring& Path() const { return m_path; }
    std::wstring Join(const std::wstring& name) const;

private:
    std::wstring m_path;
};

bool WriteFileBytes(const std::wstring& path, const void* data, size_t size);
bool WriteTextFile(const std::wstring& path, const std::string& text);
bool ReadFileBytes(const std::wstring& path, std::vector<unsigned char>& data);
// UTF-16LE text of a file; hasBom tells whether it began with a byte order mark (not returned).
bool ReadUtf16File(const std::wstring& path, std::wstring& text, bool* hasBom = nullptr);
// Lines without their CR LF ends; a final empty line is dropped.
std::vector<std::wstring> SplitLines(const std::wstring& text);
// Files in a folder matching a pattern such as L"*.log".
std::vector<std::wstring> ListFiles(const std::wstring& folder, const wchar_t* pattern);
// The same for folders ("." and ".." left out).
std::vector<std::wstring> ListFolders(const std::wstring& folder, const wchar_t* pattern);
// Lets everybody do everything in a folder: how Wine shows a folder another user made.
bool MakeEverybodyWritable(const std::wstring& folder);

// A test's own isolation root "Software\Korvanta\Isolation\{guid}" under HKEY_LOCAL_MACHINE,
// in the registry view the stub reads; deleted with everything below it at the end.
class CTestIsolationRoot {
public:
    CTestIsolationRoot();
    ~CTestIsolationRoot();
    const std::wstring& Silo() const { return m_silo; }
    const std::wstring& Root() const { return m_root; }
    // Values below "<root>\<subkey>".
    bool SetDword(const std::wstring& subkey, const wchar_t* name, DWORD value);
    bool SetString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ);
    bool SetBinary(const std::wstring& subkey, const wchar_t* name, const void* data, DWORD size);

private:
    std::wstring m_silo;
    std::wstring m_root;
};

// Starts a program and waits for it; exitCode is the full 32-bit code. The ids of the process and
// its first thread are given back on request.
bool RunProgram(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs, DWORD& exitCode,
                DWORD* processId = nullptr, DWORD* threadId = nullptr);

// A trace log that keeps its lines; link the process-wide trace log to it to see every line
// the code under test reports.
class CCapturedOutput : public qlLib::CDebugOutput {
public:
    CCapturedOutput();
    void Output(const wchar_t* line) override;
    // How many lines hold text; safe while the code under test still reports.
    size_t Count(const std::wstring& text);
    std::vector<std::wstring> lines;

private:
    // Worker threads of the code under test report too.
    qlLib::CCriticalSection m_lock;
};

// Links the process-wide trace log to a capture for the life of the object.
class CCaptureProcessTrace {
public:
    CCaptureProcessTrace();
    CCapturedOutput capture;
    bool Contains(const std::wstring& text) const;

private:
    qlLib::CDebugOutputLink m_link;
};

}  // namespace testing_support
