#pragma once
// The trace log: filters lines by severity, composes them with optional prefixes and writes them
// to the debugger and/or to a UTF-16 log file. One process-wide object (GetDebugOutput()) serves
// every thread; a loaded component's own object can be forwarded to it (CDebugOutputLink).
#include <windows.h>
#include <cstdarg>
#include <string>

#include "CriticalSection.h"

namespace qlLib {

class CDebugOptions;

enum ETraceSeverity : LONG {
    eSeverity_Information = 1,
    eSeverity_Warning = 2,
    eSeverity_Error = 3,
};

class CDebugOutput {
public:
    explicit CDebugOutput(const wchar_t* moduleName = L"");
    virtual ~CDebugOutput();
    CDebugOutput(const CDebugOutput&) = delete;
    CDebugOutput& operator=(const CDebugOutput&) = delete;

    // Holds other threads' lines back while a group of settings changes, so that none of them
    // is written under half of the new settings (a new name in the old folder, say).
    class CChangeGroup {
    public:
        explicit CChangeGroup(CDebugOutput& output) : m_output(output) { m_output.m_lock.Enter(); }
        ~CChangeGroup() { m_output.m_lock.Leave(); }
        CChangeGroup(const CChangeGroup&) = delete;
        CChangeGroup& operator=(const CChangeGroup&) = delete;

    private:
        CDebugOutput& m_output;
    };

    // Writes one finished line to the debugger and/or the log file.
    virtual void Output(const wchar_t* line);
    // Lazy initialisation, run at the start of every setter, getter and level test.
    virtual void EnsureInitialized();

    bool WriteV(LONG severity, const wchar_t* format, va_list args);
    bool Write(LONG severity, const wchar_t* format, ...);
    bool Error(const wchar_t* format, ...);
    bool Warning(const wchar_t* format, ...);
    bool Information(const wchar_t* format, ...);

    // Whether a line of this severity passes the level of the last object of the forward chain.
    bool IsEnabled(LONG severity);

    void SetLevel(LONG level);
    LONG GetLevel();
    // Module name and directory reopen an open log file under the new name when they change.
    bool SetModuleName(const wchar_t* name);
    std::wstring GetModuleName();
    bool SetDirectory(const wchar_t* directory);
    std::wstring GetDirectory();
    // Sets the module name without opening a file now: the next line opens the file of the new
    // name (the install run names its log this way).
    bool SetModuleNameDirect(const wchar_t* name);

    void SetOutputToDebugger(BOOL on);
    BOOL GetOutputToDebugger();
    void SetOutputToFile(BOOL on);
    BOOL GetOutputToFile();
    // While held, lines meant for the file are kept in memory (up to a limit) and no file is
    // opened; releasing writes them first into the file of the settings then in force. A run
    // with more rights than the log folder's other users holds its lines until the folder is
    // its own.
    void HoldFileLines(bool hold);
    void SetAppendProcessIdToFile(BOOL on);   // reopens an open file when it changes
    BOOL GetAppendProcessIdToFile();
    void SetPrependThreadId(BOOL on);
    BOOL GetPrependThreadId();
    void SetPrependProcessId(BOOL on);
    BOOL GetPrependProcessId();
    void SetPrependDateTime(BOOL on);
    BOOL GetPrependDateTime();
    void SetPrependModuleName(BOOL on);
    BOOL GetPrependModuleName();
    void SetAppendNewLine(BOOL on);
    BOOL GetAppendNewLine();
    void SetPrependType(BOOL on);
    BOOL GetPrependType();

    // The log file's path for the given settings: directory without trailing backslashes,
    // "\" module, "-0x%04X" with the process id when asked, ".log".
    static bool BuildLogFilePath(std::wstring& path, const std::wstring& directory,
                                 const std::wstring& moduleName, bool appendProcessId,
                                 DWORD processId);
    // Composes a line from these settings (no level test, no output). Exposed for tests.
    bool ComposeLine(std::wstring& line, LONG severity, const wchar_t* format, va_list args);

protected:
    friend class CDebugOutputLink;

    CDebugOutput* LastOfChain();
    // Base initialisation: fills an empty module name and directory from the executable's path.
    void FillDefaultNameAndDirectory();
    bool OpenFileLocked();
    void CloseFileLocked();
    void ReopenIfOpen();

    // Field order is shared with the components' own trace log objects.
    LONG m_level;
    std::wstring m_moduleName;
    std::wstring m_directory;
    BOOL m_outputToDebugger;
    BOOL m_outputToFile;
    BOOL m_appendProcessIdToFile;
    BOOL m_prependThreadId;
    BOOL m_prependProcessId;
    BOOL m_prependDateTime;
    BOOL m_prependModuleName;
    BOOL m_appendNewLine;
    BOOL m_prependType;
    HANDLE m_file;
    CCriticalSection m_lock;
    bool m_lockCreated;
    bool m_initialized;
    CDebugOutput* m_forward;
    // After the shared fields: a component's own object never has them.
    bool m_holding;
    std::wstring m_held;
};

// The process-wide flavour: its lazy initialisation reads the debug options from the registry
// once and applies them.
class CRegistryDebugOutput : public CDebugOutput {
public:
    explicit CRegistryDebugOutput(const wchar_t* moduleName);
    void EnsureInitialized() override;
    // Start-up path of the entry point: options already loaded are applied, and the registry
    // is not read a second time.
    bool ApplyLoadedOptions(const CDebugOptions& options);

private:
    bool m_loading;
};

// The process-wide trace log ("InstStub"), constructed before the entry point runs.
CRegistryDebugOutput& GetDebugOutput();

// Binds a component's trace log to another one (normally the process-wide one) for as long as
// the link lives.
class CDebugOutputLink {
public:
    CDebugOutputLink(CDebugOutput* component, CDebugOutput* target);
    ~CDebugOutputLink();
    CDebugOutputLink(const CDebugOutputLink&) = delete;
    CDebugOutputLink& operator=(const CDebugOutputLink&) = delete;

private:
    CDebugOutput* m_component;
};

}  // namespace qlLib
