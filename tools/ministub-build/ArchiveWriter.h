#pragma once
// Writes a 7z archive the stub's reader unpacks: executables (by extension) in one solid block
// through BCJ2 and LZMA, the other files in a second block through LZMA, each block's files
// ordered by type; empty files and folders as items without data. The encoders are 7-Zip's, the
// files are read (and converted) on a thread beside the coder's; the header, with a CRC for every
// file, is stored compressed as 7-Zip's tool stores it (plain when that is smaller, as for an
// archive of one small file).
#include <windows.h>

#include <string>
#include <vector>

namespace builder {

struct CArchiveItem {
    std::wstring source;   // the file whose bytes the item holds (empty for a folder)
    std::wstring name;     // path inside the archive, '\' separated, already checked
    bool folder = false;
    ULONGLONG size = 0;    // as listed; a file that changes before it is read fails the archive
    DWORD attributes = 0;
    FILETIME modified = {};
};

// Receives the source bytes read so far; called from the thread that reads the files.
class IArchiveProgress {
public:
    virtual void OnArchiveProgress(ULONGLONG done, ULONGLONG total) = 0;

protected:
    ~IArchiveProgress() = default;
};

struct CArchiveStats {
    ULONGLONG sourceBytes = 0;
    ULONGLONG archiveBytes = 0;
    DWORD files = 0;
    DWORD folders = 0;
    DWORD executables = 0;   // files that went through BCJ2
};

class CArchiveWriter {
public:
    // 0 (store-like, fastest) to 9; 5 is 7-Zip's default.
    void SetLevel(int level) { m_level = level; }
    // 2 lets the encoder find matches in a second thread.
    void SetThreads(int threads) { m_threads = threads; }
    void SetProgress(IArchiveProgress* progress) { m_progress = progress; }

    // Writes items (in this order for the folders and empty files; data files are grouped by
    // block and ordered by type) to path, which is created or replaced. error receives one line
    // on failure.
    bool Write(const std::vector<CArchiveItem>& items, const std::wstring& path, CArchiveStats& stats,
               std::string& error);

private:
    int m_level = 5;
    int m_threads = 2;
    IArchiveProgress* m_progress = nullptr;
};

// Whether a file goes through the x86 branch converter: .exe, .dll, .sys, .ocx, .cpl, .scr, .drv,
// .efi.
bool IsExecutableName(const std::wstring& name);

}  // namespace builder
