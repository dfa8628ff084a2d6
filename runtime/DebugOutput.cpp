#include "DebugOutput.h"

#include <new>

#include "DebugOptions.h"
#include "NoLinkFile.h"
#include "PathUtils.h"
#include "SplitPath.h"
#include "StringUtils.h"

namespace qlLib {

namespace {

// Lines held back before the log's folder may be written: a start-up's worth.
const size_t kMaxHeldChars = 64 * 1024;

const wchar_t* SeverityWord(LONG severity) {
    switch (severity) {
    case eSeverity_Information: return L"Information";
    case eSeverity_Warning: return L"Warning";
    case eSeverity_Error: return L"Error";
    default: return nullptr;
    }
}

}  // namespace

CDebugOutput::CDebugOutput(const wchar_t* moduleName)
    : m_level(0),
      m_outputToDebugger(0),
      m_outputToFile(0),
      m_appendProcessIdToFile(0),
      m_prependThreadId(0),
      m_prependProcessId(0),
      m_prependDateTime(0),
      m_prependModuleName(0),
      m_appendNewLine(0),
      m_prependType(0),
      m_file(INVALID_HANDLE_VALUE),
      m_lockCreated(true),
      m_initialized(false),
      m_forward(nullptr),
      m_holding(false) {
    try {
        if (moduleName) m_moduleName = moduleName;
    } catch (const std::bad_alloc&) {
    }
}

CDebugOutput::~CDebugOutput() {
    CloseFileLocked();
    m_lockCreated = false;
}

CDebugOutput* CDebugOutput::LastOfChain() {
    CDebugOutput* target = this;
    // A chain is a link or two; the bound guards against a cycle made by mistake.
    for (int hops = 0; target->m_forward && hops < 16; ++hops) target = target->m_forward;
    return target;
}

void CDebugOutput::EnsureInitialized() {
    if (m_initialized) return;
    CCriticalSectionLock lock(m_lock);
    if (m_initialized) return;
    FillDefaultNameAndDirectory();
    m_initialized = true;
}

void CDebugOutput::FillDefaultNameAndDirectory() {
    if (!m_moduleName.empty() && !m_directory.empty()) return;
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH - 1) return;
    CSplitPath split;
    if (!split.Split(path)) return;
    try {
        if (m_moduleName.empty()) m_moduleName = split.FileName();
        if (m_directory.empty()) m_directory = split.DriveAndFolder();
    } catch (const std::bad_alloc&) {
    }
}

bool CDebugOutput::IsEnabled(LONG severity) {
    EnsureInitialized();
    CDebugOutput* target = LastOfChain();
    if (target != this) target->EnsureInitialized();
    const LONG level = target->m_level;
    return level != 0 && severity >= level;
}

bool CDebugOutput::ComposeLine(std::wstring& line, LONG severity, const wchar_t* format, va_list args) {
    try {
        std::wstring text;
        std::wstring part;
        if (m_prependDateTime) {
            if (!FormatLocalTimeStamp(part)) return false;
            text += part;
            text += L" : ";
        }
        if (m_prependModuleName && !m_moduleName.empty()) {
            text += m_moduleName;
            text += L" : ";
        }
        if (m_prependProcessId) {
            if (!FormatString(part, L"0x%04X : ", ::GetCurrentProcessId())) return false;
            text += part;
        }
        if (m_prependThreadId) {
            if (!FormatString(part, L"0x%04X : ", ::GetCurrentThreadId())) return false;
            text += part;
        }
        if (m_prependType) {
            if (const wchar_t* word = SeverityWord(severity)) {
                text += word;
                text += L" : ";
            }
        }
        if (!FormatStringV(part, format, args)) return false;
        text += part;
        if (m_appendNewLine) {
            while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
            text += L"\r\n";
        }
        line.swap(text);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CDebugOutput::WriteV(LONG severity, const wchar_t* format, va_list args) {
    if (!format) return false;
    if (!IsEnabled(severity)) return false;
    CDebugOutput* target = LastOfChain();
    std::wstring line;
    if (!target->ComposeLine(line, severity, format, args)) return false;
    target->Output(line.c_str());
    return true;
}

bool CDebugOutput::Write(LONG severity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool written = WriteV(severity, format, args);
    va_end(args);
    return written;
}

bool CDebugOutput::Error(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool written = WriteV(eSeverity_Error, format, args);
    va_end(args);
    return written;
}

bool CDebugOutput::Warning(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool written = WriteV(eSeverity_Warning, format, args);
    va_end(args);
    return written;
}

bool CDebugOutput::Information(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool written = WriteV(eSeverity_Information, format, args);
    va_end(args);
    return written;
}

void CDebugOutput::Output(const wchar_t* line) {
    if (!line) return;
    if (m_outputToDebugger) ::OutputDebugStringW(line);
    if (!m_outputToFile) return;
    CCriticalSectionLock lock(m_lock);
    if (m_holding) {
        const size_t length = ::lstrlenW(line);
        try {
            if (m_held.size() + length <= kMaxHeldChars) m_held.append(line, length);
        } catch (const std::bad_alloc&) {
        }
        return;
    }
    if (m_file == INVALID_HANDLE_VALUE) OpenFileLocked();   // a failed open is retried next line
    if (m_file == INVALID_HANDLE_VALUE) return;
    const size_t bytes = ::lstrlenW(line) * sizeof(wchar_t);
    DWORD written = 0;
    ::WriteFile(m_file, line, static_cast<DWORD>(bytes), &written, nullptr);
}

void CDebugOutput::HoldFileLines(bool hold) {
    EnsureInitialized();
    CCriticalSectionLock lock(m_lock);
    m_holding = hold;
    if (hold || m_held.empty()) return;
    if (m_outputToFile && m_file == INVALID_HANDLE_VALUE) OpenFileLocked();
    if (m_outputToFile && m_file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(m_file, m_held.data(), static_cast<DWORD>(m_held.size() * sizeof(wchar_t)), &written, nullptr);
    }
    std::wstring().swap(m_held);
}

bool CDebugOutput::BuildLogFilePath(std::wstring& path, const std::wstring& directory,
                                    const std::wstring& moduleName, bool appendProcessId,
                                    DWORD processId) {
    try {
        std::wstring result = directory;
        RemoveTrailingBackslashes(result);
        result += L'\\';
        result += moduleName;
        if (appendProcessId) {
            std::wstring pid;
            if (!FormatString(pid, L"-0x%04X", processId)) return false;
            result += pid;
        }
        result += L".log";
        path.swap(result);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CDebugOutput::OpenFileLocked() {
    CloseFileLocked();
    std::wstring path;
    if (!BuildLogFilePath(path, m_directory, m_moduleName, m_appendProcessIdToFile != 0,
                          ::GetCurrentProcessId()))
        return false;
    ::SetLastError(ERROR_SUCCESS);
    // Append-only and shared: two processes that name the same log (two runs started in the
    // same second) both keep their lines, each line written whole at the end.
    // A link planted in place of the log (or of its folder) would make this process append its
    // lines to a file of somebody else's choosing: such a log is not opened.
    HANDLE file = CreateFileNoLink(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE) return false;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
        const WORD bom = 0xFEFF;
        DWORD written = 0;
        ::WriteFile(file, &bom, sizeof(bom), &written, nullptr);
    }
    m_file = file;
    return true;
}

void CDebugOutput::CloseFileLocked() {
    if (m_file != INVALID_HANDLE_VALUE) {
        ::CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
    }
}

void CDebugOutput::ReopenIfOpen() {
    if (m_file != INVALID_HANDLE_VALUE) OpenFileLocked();
}

void CDebugOutput::SetLevel(LONG level) {
    EnsureInitialized();
    m_level = level;
}

LONG CDebugOutput::GetLevel() {
    EnsureInitialized();
    return m_level;
}

bool CDebugOutput::SetModuleName(const wchar_t* name) {
    EnsureInitialized();
    try {
        CCriticalSectionLock lock(m_lock);
        const std::wstring value = name ? name : L"";
        if (value == m_moduleName) return true;
        m_moduleName = value;
        ReopenIfOpen();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CDebugOutput::SetModuleNameDirect(const wchar_t* name) {
    EnsureInitialized();
    try {
        CCriticalSectionLock lock(m_lock);
        m_moduleName = name ? name : L"";
        // No reopen now; a file already open under the old name is closed so that the next
        // line lands in the file of the new name.
        CloseFileLocked();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

std::wstring CDebugOutput::GetModuleName() {
    EnsureInitialized();
    try {
        CCriticalSectionLock lock(m_lock);
        return m_moduleName;
    } catch (const std::bad_alloc&) {
        return std::wstring();
    }
}

bool CDebugOutput::SetDirectory(const wchar_t* directory) {
    EnsureInitialized();
    try {
        CCriticalSectionLock lock(m_lock);
        const std::wstring value = directory ? directory : L"";
        if (value == m_directory) return true;
        m_directory = value;
        ReopenIfOpen();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

std::wstring CDebugOutput::GetDirectory() {
    EnsureInitialized();
    try {
        CCriticalSectionLock lock(m_lock);
        return m_directory;
    } catch (const std::bad_alloc&) {
        return std::wstring();
    }
}

void CDebugOutput::SetAppendProcessIdToFile(BOOL on) {
    EnsureInitialized();
    CCriticalSectionLock lock(m_lock);
    if (m_appendProcessIdToFile == on) return;
    m_appendProcessIdToFile = on;
    ReopenIfOpen();
}

BOOL CDebugOutput::GetAppendProcessIdToFile() {
    EnsureInitialized();
    return m_appendProcessIdToFile;
}

#define QL_DEBUG_OUTPUT_SWITCH(Name, member)    \
    void CDebugOutput::Set##Name(BOOL on) {     \
        EnsureInitialized();                    \
        member = on;                            \
    }                                           \
    BOOL CDebugOutput::Get##Name() {            \
        EnsureInitialized();                    \
        return member;                          \
    }

QL_DEBUG_OUTPUT_SWITCH(OutputToDebugger, m_outputToDebugger)
QL_DEBUG_OUTPUT_SWITCH(OutputToFile, m_outputToFile)
QL_DEBUG_OUTPUT_SWITCH(PrependThreadId, m_prependThreadId)
QL_DEBUG_OUTPUT_SWITCH(PrependProcessId, m_prependProcessId)
QL_DEBUG_OUTPUT_SWITCH(PrependDateTime, m_prependDateTime)
QL_DEBUG_OUTPUT_SWITCH(PrependModuleName, m_prependModuleName)
QL_DEBUG_OUTPUT_SWITCH(AppendNewLine, m_appendNewLine)
QL_DEBUG_OUTPUT_SWITCH(PrependType, m_prependType)

#undef QL_DEBUG_OUTPUT_SWITCH

// ---- registry-backed process-wide object -------------------------------------------------------

CRegistryDebugOutput::CRegistryDebugOutput(const wchar_t* moduleName)
    : CDebugOutput(moduleName), m_loading(false) {}

void CRegistryDebugOutput::EnsureInitialized() {
    if (m_initialized) return;
    CCriticalSectionLock lock(m_lock);
    // The options' own setters come back here while loading; so does another thread that
    // waited for the lock after the load finished.
    if (m_initialized || m_loading) return;
    m_loading = true;
    CDebugOptions options;
    options.Reset();
    if (options.Load()) {
        options.ApplyTo(*this);
        FillDefaultNameAndDirectory();
    }
    m_loading = false;
    m_initialized = true;   // also after a failed load: the registry is read once
}

bool CRegistryDebugOutput::ApplyLoadedOptions(const CDebugOptions& options) {
    CCriticalSectionLock lock(m_lock);
    FillDefaultNameAndDirectory();
    m_initialized = true;
    return options.ApplyTo(*this);
}

CRegistryDebugOutput& GetDebugOutput() {
    static CRegistryDebugOutput s_debugOutput(L"InstStub");
    return s_debugOutput;
}

// ---- forward link ---------------------------------------------------------------------------------

CDebugOutputLink::CDebugOutputLink(CDebugOutput* component, CDebugOutput* target)
    : m_component(component) {
    if (m_component && m_component != target) m_component->m_forward = target;
}

CDebugOutputLink::~CDebugOutputLink() {
    if (m_component) m_component->m_forward = nullptr;
}

}  // namespace qlLib
