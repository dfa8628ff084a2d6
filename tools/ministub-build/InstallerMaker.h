#pragma once
// `make`: from a product file to a finished installer in one go. Lists the folders and checks
// every name before anything is written; compresses each folder into a 7z archive and reads it
// back; packs; runs the signing command; writes the settings after signing; reads the result back
// as `inspect` does and compares it with the product file. All of it happens in a work folder
// beside the output, and the output appears (replaced in one step) only when it is verified.
#include <windows.h>

#include <string>
#include <vector>

#include "tools/ministub-build/ArchiveWriter.h"
#include "tools/ministub-build/ProductFile.h"
#include "tools/ministub-build/ProgressLine.h"

namespace builder {

struct CMadeEntry {
    std::wstring name;
    DWORD type = 0;
    std::wstring source;
    bool archive = false;   // made from a folder
    CArchiveStats stats;    // for a made archive
    ULONGLONG bytes = 0;    // in the package
    double seconds = 0;
};

struct CMakeReport {
    std::wstring output;
    ULONGLONG installerBytes = 0;
    std::vector<CMadeEntry> entries;
    bool isSigned = false;
    int threads = 0;
    int compression = 0;
    double scanSeconds = 0, compressSeconds = 0, packSeconds = 0, signSeconds = 0, settingsSeconds = 0,
           verifySeconds = 0, totalSeconds = 0;
    std::string inspectJson;   // the finished installer as `inspect --json` shows it
};

class CInstallerMaker {
public:
    explicit CInstallerMaker(const CProductFile& product) : m_product(product) {}
    void SetThreads(int threads) { m_threads = threads; }
    void SetProgress(CProgressLine* line) { m_line = line; }
    // No file or folder time later than latest goes into the archives (SOURCE_DATE_EPOCH).
    void SetLatestTime(const FILETIME& latest) {
        m_latest = latest;
        m_clampTimes = true;
    }

    bool Make(const std::wstring& output, std::string& error);
    // After a failed Make: the product names a ready archive the stub cannot read.
    bool Refused() const { return m_refused; }
    const CMakeReport& Report() const { return m_report; }
    std::string FormatJson() const;

private:
    bool Compress(std::vector<std::vector<CArchiveItem>>& listed, std::string& error);
    // Makes the archive of entry index and reads it back; may run beside another one.
    bool MakeArchive(size_t index, const std::vector<CArchiveItem>& items, IArchiveProgress* progress,
                     std::string& error);
    bool Verify(const std::wstring& installer, std::string& error);

    const CProductFile& m_product;
    int m_threads = 2;
    CProgressLine* m_line = nullptr;
    FILETIME m_latest = {};
    bool m_clampTimes = false;
    CMakeReport m_report;
    bool m_refused = false;
};

}  // namespace builder
