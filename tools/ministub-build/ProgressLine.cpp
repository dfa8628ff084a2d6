#include "tools/ministub-build/ProgressLine.h"

#include <cstdio>

#include "tools/ministub-build/SettingsText.h"

namespace builder {

CProgressLine::CProgressLine() {
    HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode)) m_console = handle;
}

void CProgressLine::Begin(const std::string& label) {
    m_label = label;
    m_started = ::GetTickCount64();
    m_lastShown = 0;
}

void CProgressLine::OnArchiveProgress(ULONGLONG done, ULONGLONG total) {
    if (!m_console) return;
    const ULONGLONG now = ::GetTickCount64();
    // A few updates a second are enough to read; the last one always shows.
    if (done != total && now - m_lastShown < 200) return;
    m_lastShown = now;
    Show(done, total);
}

void CProgressLine::Show(ULONGLONG done, ULONGLONG total) {
    const double seconds = static_cast<double>(::GetTickCount64() - m_started) / 1000.0;
    const double mb = 1024.0 * 1024.0;
    char text[160];
    snprintf(text, sizeof text, "\r%-24.24s %8.1f of %.1f MB  %6.1f MB/s ", m_label.c_str(), done / mb, total / mb,
             seconds > 0.05 ? done / mb / seconds : 0.0);
    const std::wstring wide = Utf8ToWide(text);
    DWORD written = 0;
    ::WriteConsoleW(m_console, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

void CProgressLine::End() {
    if (!m_console) return;
    const std::wstring blank = L"\r" + std::wstring(72, L' ') + L"\r";
    DWORD written = 0;
    ::WriteConsoleW(m_console, blank.c_str(), static_cast<DWORD>(blank.size()), &written, nullptr);
}

}  // namespace builder
