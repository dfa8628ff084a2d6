#include "support/TestSupport.h"

#include <aclapi.h>
#include <objbase.h>
#include <sddl.h>
#include <shellapi.h>

#include "BuildPaths.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"

namespace testing_support {

std::wstring ToWinePath(const char* unixPath) {
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p; ++p) path.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(*p));
    return path;
}

std::wstring NewGuid() {
    GUID guid;
    ::CoCreateGuid(&guid);
    wchar_t text[64];
    ::StringFromGUID2(guid, text, 64);
    return text;
}

CTempFolder::CTempFolder() {
    const std::wstring base = ToWinePath(TEST_TEMP_UNIX_PATH);
    ::CreateDirectoryW(base.c_str(), nullptr);
    qlLib::JoinPath(m_path, base, NewGuid());
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}

CTempFolder::~CTempFolder() {
    std::wstring from = m_path;
    from.push_back(L'\0');   // double-terminated list
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    ::SHFileOperationW(&op);
}

std::wstring CTempFolder::Join(const std::wstring& name) const {
    std::wstring path;
    qlLib::JoinPath(path, m_path, name);
    return path;
}

bool WriteFileBytes(const std::wstring& path, const void* data, size_t size) {
    qlLib::CFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return ::WriteFile(file.Get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

bool WriteTextFile(const std::wstring& path, const std::string& text) {
    return WriteFileBytes(path, text.data(), text.size());
}

bool ReadFileBytes(const std::wstring& path, std::vector<unsigned char>& data) {
    qlLib::CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return false;
    const DWORD size = ::GetFileSize(file.Get(), nullptr);
    data.resize(size);
    DWORD got = 0;
    return size == 0 || (::ReadFile(file.Get(), data.data(), size, &got, nullptr) && got == size);
}

bool ReadUtf16File(const std::wstring& path, std::wstring& text, bool* hasBom) {
    std::vector<unsigned char> bytes;
    if (!ReadFileBytes(path, bytes) || bytes.size() % 2 != 0) return false;
    text.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    const bool bom = !text.empty() && text[0] == 0xFEFF;
    if (bom) text.erase(0, 1);
    if (hasBom) *hasBom = bom;
    return true;
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

namespace {

std::vector<std::wstring> ListEntries(const std::wstring& folder, const wchar_t* pattern, bool folders) {
    std::vector<std::wstring> names;
    std::wstring query;
    qlLib::JoinPath(query, folder, pattern);
    WIN32_FIND_DATAW data;
    qlLib::CFindHandle find(::FindFirstFileW(query.c_str(), &data));
    if (!find) return names;
    do {
        const std::wstring name = data.cFileName;
        if (((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folders && name != L"." && name != L"..")
            names.push_back(name);
    } while (::FindNextFileW(find.Get(), &data));
    return names;
}

}  // namespace

std::vector<std::wstring> ListFiles(const std::wstring& folder, const wchar_t* pattern) {
    return ListEntries(folder, pattern, false);
}

std::vector<std::wstring> ListFolders(const std::wstring& folder, const wchar_t* pattern) {
    return ListEntries(folder, pattern, true);
}

bool MakeEverybodyWritable(const std::wstring& folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1, &descriptor,
                                                                nullptr))
        return false;
    qlLib::CLocalMemory memory(descriptor);
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    std::wstring name(folder);
    return ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
           ::SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                   dacl, nullptr) == ERROR_SUCCESS;
}

CTestIsolationRoot::CTestIsolationRoot() : m_silo(NewGuid()) {
    qlLib::JoinPath(m_root, L"Software\\Korvanta\\Isolation", m_silo);
}

CTestIsolationRoot::~CTestIsolationRoot() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_root.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_root.c_str());
}

namespace {

bool SetValue(const std::wstring& root, const std::wstring& subkey, const wchar_t* name, DWORD type,
              const void* data, DWORD size) {
    std::wstring path;
    qlLib::JoinPath(path, root, subkey);
    qlLib::CRegKeyHandle key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.Receive(),
                          nullptr) != ERROR_SUCCESS)
        return false;
    return ::RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

}  // namespace

bool CTestIsolationRoot::SetDword(const std::wstring& subkey, const wchar_t* name, DWORD value) {
    return SetValue(m_root, subkey, name, REG_DWORD, &value, sizeof(value));
}

bool CTestIsolationRoot::SetString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value,
                                   DWORD type) {
    return SetValue(m_root, subkey, name, type, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool CTestIsolationRoot::SetBinary(const std::wstring& subkey, const wchar_t* name, const void* data, DWORD size) {
    return SetValue(m_root, subkey, name, REG_BINARY, data, size);
}

bool RunProgram(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs, DWORD& exitCode,
                DWORD* processId, DWORD* threadId) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    qlLib::CKernelHandle process(pi.hProcess), thread(pi.hThread);
    if (processId) *processId = pi.dwProcessId;
    if (threadId) *threadId = pi.dwThreadId;
    if (::WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.Get(), 1);
        return false;
    }
    return ::GetExitCodeProcess(process.Get(), &exitCode) != FALSE;
}

CCapturedOutput::CCapturedOutput() : CDebugOutput(L"Capture") {
    SetLevel(qlLib::eSeverity_Information);
}

void CCapturedOutput::Output(const wchar_t* line) {
    // Components and worker threads report from their own threads.
    qlLib::CCriticalSectionLock lock(m_lock);
    lines.push_back(line);
}

CCaptureProcessTrace::CCaptureProcessTrace() : m_link(&qlLib::GetDebugOutput(), &capture) {}

size_t CCapturedOutput::Count(const std::wstring& text) {
    qlLib::CCriticalSectionLock lock(m_lock);
    size_t count = 0;
    for (const auto& line : lines)
        if (line.find(text) != std::wstring::npos) ++count;
    return count;
}

bool CCaptureProcessTrace::Contains(const std::wstring& text) const {
    for (const auto& line : capture.lines)
        if (line.find(text) != std::wstring::npos) return true;
    return false;
}

}  // namespace testing_support
