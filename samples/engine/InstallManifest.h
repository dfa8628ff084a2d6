#pragma once
// Install.mft, the sample engine's manifest: which product this is, where it goes, which layout
// files it installs, the registry values and shortcuts it writes, and optional scripted outcomes.
// The format is described in samples/README.md. A manifest may come from anyone who hands the
// stub a media file, so every path is checked before anything is written.
#include <windows.h>

#include <string>
#include <vector>

namespace TARN {

struct CManifestFile {
    std::wstring source;   // relative to the manifest's folder
    std::wstring target;   // relative to the target folder
};

struct CManifestRegistryValue {
    HKEY root;
    std::wstring key;
    std::wstring name;
    DWORD type;            // REG_SZ or REG_DWORD
    std::wstring text;
    DWORD number;
};

struct CManifestShortcut {
    std::wstring link;     // absolute .lnk path
    std::wstring target;   // relative to the target folder
};

// Scripted results, for demos and tests.
struct CManifestOutcome {
    bool hasResult = false;
    HRESULT result = S_OK;        // answered after a successful install
    bool rebootTray = false;
    std::wstring followUp;
    bool removeCache = false;
    bool hasReturnCode = false;
    DWORD returnCode = 0;
    DWORD delayMs = 0;            // pause after each file, so that progress can be watched
};

class CInstallManifest {
public:
    // Reads and checks path (UTF-8, or UTF-16LE after a byte order mark, at most 1 MiB).
    // Failures: the file's Win32 error, or ERROR_BAD_FORMAT with ErrorText() naming the line.
    HRESULT Load(const std::wstring& path);
    // The same on text already read; folder is the manifest's folder.
    HRESULT Parse(const std::wstring& text, const std::wstring& folder);

    const std::wstring& ErrorText() const { return m_error; }
    const std::wstring& Folder() const { return m_folder; }
    const std::wstring& ProductName() const { return m_productName; }
    const std::wstring& TargetFolder() const { return m_target; }
    const std::vector<CManifestFile>& Files() const { return m_files; }
    const std::vector<CManifestRegistryValue>& RegistryValues() const { return m_registry; }
    const std::vector<CManifestShortcut>& Shortcuts() const { return m_shortcuts; }
    const CManifestOutcome& Outcome() const { return m_outcome; }

private:
    bool ParseLine(const std::wstring& section, const std::wstring& line);
    bool ParseProduct(const std::wstring& name, const std::wstring& value);
    bool ParseOutcome(const std::wstring& name, const std::wstring& value);
    bool ParseRegistry(const std::wstring& line);
    // %Token%\rest to an absolute path; false for unknown tokens and unsafe results.
    bool ExpandPath(const std::wstring& value, std::wstring& path) const;

    std::wstring m_error;
    std::wstring m_folder;
    std::wstring m_productName;
    std::wstring m_target;
    std::vector<CManifestFile> m_files;
    std::vector<CManifestRegistryValue> m_registry;
    std::vector<CManifestShortcut> m_shortcuts;
    CManifestOutcome m_outcome;
};

}  // namespace TARN
