#pragma once
// A file stream that can present one region of a larger file as a whole stream: a package entry
// read in place. SetBase takes the file's current position as the window's first byte; SetLimit
// gives the window's length. Until SetBase the stream is the whole file.
#include <windows.h>

#include "package/PlainFileStream.h"

namespace qlLib {

// The plain file stream's handle, lock, reference count and error interface, with the window
// laid over its positions.
class CFileStreamImpl : public CPlainFileStream {
public:
    // CreateFileW's meanings (no security attributes, no template). Drops any window.
    bool Open(const wchar_t* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
              DWORD flagsAndAttributes = FILE_ATTRIBUTE_NORMAL);
    bool Close();
    // File() (inherited) gives the file itself, for raw positioning by the stream's owner
    // (positions are file offsets); calls through it bypass the stream's lock.

    // Starts a window at the file's current position (length 0 until SetLimit).
    bool SetBase();
    // The window's length; only once a base is set.
    bool SetLimit(ULONGLONG limit);
    bool HasWindow();
    ULONGLONG GetBase();
    ULONGLONG GetLimit();

    // Positions and sizes are relative to the window when one is set.
    bool STDMETHODCALLTYPE GetSize(ULONGLONG* size) override;
    // Refused inside a window; otherwise the file's length, the position kept.
    bool STDMETHODCALLTYPE SetSize(ULONGLONG size) override;
    bool STDMETHODCALLTYPE GetPosition(ULONGLONG* position) override;
    // A position past the window's end is clamped to the end.
    bool STDMETHODCALLTYPE Seek(ULONGLONG position) override;
    // Refused inside a window.
    bool STDMETHODCALLTYPE Write(const void* buffer, DWORD count) override;
    // Refused without reading when it would run past the window's end.
    bool STDMETHODCALLTYPE Read(void* buffer, DWORD count) override;

private:
    friend CFileStreamImpl* CreateFileStreamImpl();
    CFileStreamImpl() = default;
    ~CFileStreamImpl() override = default;
    // The file position relative to the window's start (0 to the limit).
    bool WindowPosition(ULONGLONG& position);

    bool m_windowed = false;
    ULONGLONG m_base = 0;    // file offset of the window's first byte
    ULONGLONG m_limit = 0;   // window length
};

// A new, closed stream with one reference for the caller; null when out of memory.
CFileStreamImpl* CreateFileStreamImpl();

}  // namespace qlLib
