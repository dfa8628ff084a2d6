#pragma once
// The compression's progress as one line that rewrites itself on the console: bytes done of
// the total and the rate. Silent when the error output is not a console (a log, a pipe, a build
// system), so that no carriage returns end up in files.
#include <windows.h>

#include <string>

#include "tools/ministub-build/ArchiveWriter.h"

namespace builder {

class CProgressLine : public IArchiveProgress {
public:
    CProgressLine();
    // Names the archive being made; the line starts over.
    void Begin(const std::string& label);
    void OnArchiveProgress(ULONGLONG done, ULONGLONG total) override;
    // Clears the line.
    void End();

private:
    void Show(ULONGLONG done, ULONGLONG total);

    HANDLE m_console = nullptr;   // null: not a console
    std::string m_label;
    ULONGLONG m_started = 0;
    ULONGLONG m_lastShown = 0;
};

}  // namespace builder
