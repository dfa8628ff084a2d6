#include "tools/ministub-build/InstallerMaker.h"

#include <wintrust.h>
#include <softpub.h>

#include <algorithm>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "runtime/CriticalSection.h"
#include "runtime/FolderUtils.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"
#include "runtime/WorkerThread.h"
#include "tools/ministub-build/ArchiveCheck.h"
#include "tools/ministub-build/InstallerInspector.h"
#include "tools/ministub-build/InstallerSettings.h"
#include "tools/ministub-build/PackEntries.h"
#include "tools/ministub-build/PackageBuilder.h"
#include "tools/ministub-build/SettingsText.h"
#include "tools/ministub-build/SigningCommand.h"

namespace builder {

namespace {

double Since(ULONGLONG start) {
    return static_cast<double>(::GetTickCount64() - start) / 1000.0;
}

// The work folder beside the output; gone again when make ends, whatever happened.
class CWorkFolder {
public:
    bool Create(const std::wstring& output, std::string& error) {
        m_path = output + L".make";
        DWORD code = 0;
        if (!qlLib::DeleteFolderTree(m_path, &code) || !::CreateDirectoryW(m_path.c_str(), nullptr)) {
            error = "cannot make the work folder " + WideToUtf8(m_path) + " (error " +
                    std::to_string(code ? code : ::GetLastError()) + ")";
            return false;
        }
        return true;
    }
    ~CWorkFolder() {
        DWORD code = 0;
        if (!m_path.empty()) qlLib::DeleteFolderTree(m_path, &code);
    }
    std::wstring Join(const std::wstring& name) const {
        std::wstring path;
        qlLib::JoinPath(path, m_path, name);
        return path;
    }

private:
    std::wstring m_path;
};

// The system's verdict on the finished file's signature. Only a broken or missing signature
// counts here: whether its certificate is trusted is the signer's business.
bool SignatureHolds(const std::wstring& path, std::string& error) {
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (result == TRUST_E_NOSIGNATURE || result == TRUST_E_BAD_DIGEST || result == TRUST_E_SUBJECT_FORM_UNKNOWN) {
        char text[16];
        snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(result));
        error = "the signed installer does not verify (" + std::string(text) + ")";
        return false;
    }
    return true;
}

// The progress of archives made at once, summed into the one progress line.
class CSharedProgress {
public:
    CSharedProgress(CProgressLine* line, ULONGLONG total) : m_line(line), m_total(total) {}

    // One lane's archives.
    class CPart : public IArchiveProgress {
    public:
        explicit CPart(CSharedProgress& owner) : m_owner(owner) {}
        void Reset() { m_done = 0; }
        void OnArchiveProgress(ULONGLONG done, ULONGLONG) override {
            m_owner.Add(done - m_done);
            m_done = done;
        }

    private:
        CSharedProgress& m_owner;
        ULONGLONG m_done = 0;
    };

private:
    void Add(ULONGLONG bytes) {
        qlLib::CCriticalSectionLock lock(m_lock);
        m_done += bytes;
        if (m_line) m_line->OnArchiveProgress(m_done, m_total);
    }

    qlLib::CCriticalSection m_lock;
    CProgressLine* m_line;
    const ULONGLONG m_total;
    ULONGLONG m_done = 0;
};

// The second lane of archives, on a thread of its own.
class CLane : private qlLib::CWorkerThread {
public:
    explicit CLane(std::function<void()> body) : m_body(std::move(body)) {}
    ~CLane() override { WaitForThread(INFINITE); }
    bool Start() { return StartThread(); }

private:
    DWORD Run() override {
        m_body();
        return 0;
    }

    std::function<void()> m_body;
};

}  // namespace

bool CInstallerMaker::MakeArchive(size_t index, const std::vector<CArchiveItem>& items, IArchiveProgress* progress,
                                  std::string& error) {
    try {
        const CProductEntry& entry = m_product.Entries()[index];
        CMadeEntry& made = m_report.entries[index];
        const ULONGLONG start = ::GetTickCount64();
        CArchiveWriter writer;
        writer.SetLevel(m_product.Compression());
        writer.SetThreads(m_threads);
        writer.SetProgress(progress);
        if (!writer.Write(items, made.source, made.stats, error)) return false;
        std::string detail;
        bool archiveAtFault = false;
        if (!TestMadeArchive(made.source, items.size(), detail, archiveAtFault)) {
            return error = "the archive made of " + WideToUtf8(entry.source) + " does not read back: " + detail, false;
        }
        made.bytes = made.stats.archiveBytes;
        made.seconds = Since(start);
        return true;
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        return false;
    }
}

bool CInstallerMaker::Compress(std::vector<std::vector<CArchiveItem>>& listed, std::string& error) {
    std::vector<size_t> folders;
    ULONGLONG total = 0;
    std::vector<ULONGLONG> bytes(listed.size());
    for (size_t i = 0; i < m_product.Entries().size(); ++i) {
        if (!m_product.Entries()[i].folder) continue;
        folders.push_back(i);
        for (const CArchiveItem& item : listed[i]) bytes[i] += item.size;
        total += bytes[i];
    }
    if (folders.empty()) return true;
    // The largest first: while it is made, a second lane makes the others and reads them back,
    // on the processor time the largest one's coder leaves.
    std::stable_sort(folders.begin(), folders.end(), [&](size_t a, size_t b) { return bytes[a] > bytes[b]; });
    CSharedProgress progress(m_line, total);
    std::vector<std::string> errors(listed.size());
    std::vector<char> failed(listed.size(), 0);
    volatile LONG stop = 0;
    auto lane = [&](size_t first, size_t last) {
        CSharedProgress::CPart part(progress);
        for (size_t k = first; k < last && !stop; ++k) {
            const size_t i = folders[k];
            part.Reset();
            if (!MakeArchive(i, listed[i], &part, errors[i])) {
                failed[i] = 1;
                ::InterlockedExchange(&stop, 1);
            }
        }
    };
    if (m_line) m_line->Begin(folders.size() == 1 ? WideToUtf8(m_product.Entries()[folders[0]].name) : "archives");
    if (m_threads > 1 && folders.size() > 1) {
        CLane second([&] { lane(1, folders.size()); });
        const bool started = second.Start();
        lane(0, started ? 1 : folders.size());
    } else {
        lane(0, folders.size());
    }
    if (m_line) m_line->End();
    for (size_t i = 0; i < listed.size(); ++i) {
        if (failed[i]) return error = errors[i], false;
    }
    return true;
}

bool CInstallerMaker::Make(const std::wstring& output, std::string& error) {
    try {
        const ULONGLONG started = ::GetTickCount64();
        m_report = CMakeReport();
        m_refused = false;
        m_report.output = output;
        m_report.threads = m_threads;
        m_report.compression = m_product.Compression();

        // Everything is listed and checked before the first byte is written.
        std::vector<std::vector<CArchiveItem>> listed(m_product.Entries().size());
        std::map<std::wstring, int> names;
        for (size_t i = 0; i < m_product.Entries().size(); ++i) {
            const CProductEntry& entry = m_product.Entries()[i];
            const std::string where = "line " + std::to_string(entry.line) + ": ";
            std::wstring key = entry.name;
            for (wchar_t& c : key) c = c == L'/' ? L'\\' : static_cast<wchar_t>(towlower(c));
            if (!names.emplace(key, entry.line).second) {
                return error = where + "the package has an entry named " + WideToUtf8(entry.name) + " already (line " +
                               std::to_string(names[key]) + ")", false;
            }
            if (entry.folder) {
                std::string message;
                if (!ListArchiveItems(entry.source, listed[i], message)) return error = where + message, false;
                if (listed[i].empty()) return error = where + WideToUtf8(entry.source) + " is empty", false;
                for (CArchiveItem& item : listed[i]) {
                    if (m_clampTimes && ::CompareFileTime(&item.modified, &m_latest) > 0) item.modified = m_latest;
                }
            }
            CMadeEntry made;
            made.name = entry.name;
            made.type = entry.type;
            made.source = entry.source;
            made.archive = entry.folder;
            m_report.entries.push_back(made);
        }
        m_report.scanSeconds = Since(started);

        CWorkFolder work;
        if (!work.Create(output, error)) return false;
        for (size_t i = 0; i < m_report.entries.size(); ++i) {
            CMadeEntry& made = m_report.entries[i];
            if (made.archive) {
                made.source = work.Join(std::to_wstring(i) + L".7z");
            } else {
                WIN32_FILE_ATTRIBUTE_DATA data;
                if (!::GetFileAttributesExW(made.source.c_str(), GetFileExInfoStandard, &data)) {
                    return error = "cannot read " + WideToUtf8(made.source), false;
                }
                made.bytes = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
                // A ready archive goes in as it is: the stub must be able to read it.
                if (!CheckReadyArchive(made.source, made.name, made.type, work.Join(L"check"), error, m_refused)) {
                    return error = "line " + std::to_string(m_product.Entries()[i].line) + ": " + error, false;
                }
            }
        }
        ULONGLONG phase = ::GetTickCount64();
        if (!Compress(listed, error)) return false;
        m_report.compressSeconds = Since(phase);

        phase = ::GetTickCount64();
        std::vector<CPackEntry> pack;
        for (const CMadeEntry& made : m_report.entries) pack.push_back(CPackEntry{made.source, made.name, made.type});
        std::wstring installer = work.Join(L"packed.exe");
        CPackageBuilder packer;
        if (!packer.Build(m_product.Stub(), pack, installer, error)) return false;
        m_report.packSeconds = Since(phase);

        if (!m_product.SignCommand().empty()) {
            phase = ::GetTickCount64();
            const std::wstring signedInstaller = work.Join(L"signed.exe");
            if (!CSigningCommand(m_product.SignCommand()).Run(m_product.Folder(), installer, signedInstaller, error)) {
                return false;
            }
            if (::GetFileAttributesW(signedInstaller.c_str()) == INVALID_FILE_ATTRIBUTES) {
                return error = "the sign command wrote no " + WideToUtf8(signedInstaller), false;
            }
            installer = signedInstaller;
            m_report.signSeconds = Since(phase);
        }

        phase = ::GetTickCount64();
        if (m_product.Settings()->GetCount() > 0 || !m_product.Placement().empty()) {
            if (!WriteInstallerSettings(installer, m_product.Settings(), m_product.Placement(), error)) return false;
        }
        m_report.settingsSeconds = Since(phase);

        phase = ::GetTickCount64();
        if (!Verify(installer, error)) return false;
        m_report.verifySeconds = Since(phase);

        if (!::MoveFileExW(installer.c_str(), output.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return error = "cannot create " + WideToUtf8(output) + " (error " + std::to_string(::GetLastError()) + ")",
                   false;
        }
        m_report.totalSeconds = Since(started);
        return true;
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        return false;
    }
}

bool CInstallerMaker::Verify(const std::wstring& installer, std::string& error) {
    CInstallerInspector inspector;
    CInstallerReport report;
    if (!inspector.Inspect(installer, report, error)) return false;
    auto differs = [&](const std::string& what) {
        error = "the installer read back differs from the product file: " + what;
        return false;
    };
    if (!report.hasPackage || !report.packageError.empty()) return differs("no readable package");
    if (report.entries.size() != m_report.entries.size()) return differs("entry count");
    for (size_t i = 0; i < report.entries.size(); ++i) {
        const CIndexEntry& found = report.entries[i];
        const CMadeEntry& made = m_report.entries[i];
        if (found.name != made.name || found.type != made.type || found.size != made.bytes) {
            return differs("entry " + std::to_string(i + 1) + " (" + WideToUtf8(found.name) + ")");
        }
    }
    if (report.storedChecksum != report.computedChecksum) return differs("PE checksum");
    const bool signing = !m_product.SignCommand().empty();
    if (report.isSigned != signing) return differs(signing ? "the sign command left it unsigned" : "signed");
    std::string expected, found;
    FormatSettingsText(m_product.Settings(), expected);
    if (report.settings) FormatSettingsText(report.settings.Get(), found);
    if (expected != found) return differs("settings");
    if (m_product.Settings()->GetCount() > 0) {
        if (!report.hasBlock || (report.blockVersion >= 1 && report.storedHash != report.computedHash)) {
            return differs("settings block hash");
        }
        if (report.blockInSignature != (m_product.Placement() == L"signature")) return differs("settings placement");
    }
    if (signing && !SignatureHolds(installer, error)) return false;
    m_report.isSigned = report.isSigned;
    m_report.installerBytes = report.fileLength;
    m_report.inspectJson = CInstallerInspector::FormatJson(report);
    return true;
}

std::string CInstallerMaker::FormatJson() const {
    try {
        nlohmann::ordered_json out;
        const CMakeReport& r = m_report;
        out["output"] = WideToUtf8(r.output);
        out["installerBytes"] = r.installerBytes;
        out["signed"] = r.isSigned;
        out["compression"] = r.compression;
        out["threads"] = r.threads;
        nlohmann::ordered_json entries = nlohmann::ordered_json::array();
        for (const CMadeEntry& e : r.entries) {
            nlohmann::ordered_json entry;
            entry["name"] = WideToUtf8(e.name);
            entry["type"] = e.type;
            entry["kind"] = EntryTypeName(e.type);
            entry["bytes"] = e.bytes;
            if (e.archive) {
                entry["files"] = e.stats.files;
                entry["folders"] = e.stats.folders;
                entry["executables"] = e.stats.executables;
                entry["sourceBytes"] = e.stats.sourceBytes;
                entry["ratio"] = e.stats.sourceBytes ? static_cast<double>(e.bytes) / e.stats.sourceBytes : 0.0;
                entry["seconds"] = e.seconds;
            }
            entries.push_back(entry);
        }
        out["entries"] = entries;
        out["seconds"] = {{"scan", r.scanSeconds},     {"compress", r.compressSeconds}, {"pack", r.packSeconds},
                          {"sign", r.signSeconds},     {"settings", r.settingsSeconds}, {"verify", r.verifySeconds},
                          {"total", r.totalSeconds}};
        const nlohmann::ordered_json inspected = nlohmann::ordered_json::parse(r.inspectJson);
        out["placement"] = inspected.value("placement", nlohmann::ordered_json());
        out["settings"] = inspected.value("settings", nlohmann::ordered_json::object());
        return out.dump(2) + "\n";
    } catch (const std::exception&) {
        return "{}\n";
    }
}

}  // namespace builder
