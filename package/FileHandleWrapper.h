#pragma once
// A Win32 file handle with whole-count transfers and the error of its last failed call. The base
// of the file streams; not locked itself: the stream that owns it serialises access.
#include <windows.h>

#include <string>

#include "runtime/Handles.h"

namespace qlLib {

class CFileHandleWrapper {
public:
    CFileHandleWrapper() = default;
    ~CFileHandleWrapper() = default;   // the handle closes with the object
    CFileHandleWrapper(const CFileHandleWrapper&) = delete;
    CFileHandleWrapper& operator=(const CFileHandleWrapper&) = delete;

    // CreateFileW's meanings; a handle already held is closed first. A null or empty path fails
    // with ERROR_INVALID_PARAMETER without asking the system.
    bool Open(const wchar_t* path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
              DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
    // The same through CreateFileNoLink: a link in place of the file or its folder, or an
    // existing file with a second name, is refused (kErrorLinkRefused).
    bool OpenNoLink(const wchar_t* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                    DWORD flagsAndAttributes);
    bool IsOpen() const { return m_file.IsValid(); }
    HANDLE Handle() const { return m_file.Get(); }
    // The path given to the last successful Open; empty once closed.
    const std::wstring& Path() const { return m_path; }

    // Each transfer succeeds only when the whole count moved.
    bool ReadAt(ULONGLONG offset, void* buffer, DWORD count);
    bool WriteAt(ULONGLONG offset, const void* buffer, DWORD count);
    bool Read(void* buffer, DWORD count);
    bool Write(const void* buffer, DWORD count);

    // SetFilePointer semantics (FILE_BEGIN, FILE_CURRENT, FILE_END); the new position on success.
    bool Seek(LONGLONG distance, DWORD method, ULONGLONG* newPosition = nullptr);
    bool SeekToBegin() { return Seek(0, FILE_BEGIN); }
    bool SeekToEnd(ULONGLONG* length = nullptr) { return Seek(0, FILE_END, length); }
    bool GetPosition(ULONGLONG* position) { return Seek(0, FILE_CURRENT, position); }
    bool GetLength(ULONGLONG* length);
    // Moves the end of file; the position stays where it was unless that is now past the end,
    // in which case it is the new end.
    bool SetLength(ULONGLONG length);
    bool Flush();
    bool Close();

    // The Win32 error of the last failed call, kept until the next failure; never 0 after one.
    DWORD GetLastError() const { return m_lastError; }
    // Records a failure decided above the system (e.g. by a stream's window); returns false.
    bool Fail(DWORD error);

private:
    bool FailWithSystemError() { return Fail(::GetLastError()); }
    bool Take(HANDLE file, const wchar_t* path);
    bool EnsureOpen();

    CFileHandle m_file;
    std::wstring m_path;
    DWORD m_lastError = ERROR_SUCCESS;
};

}  // namespace qlLib
