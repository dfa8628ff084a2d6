#pragma once
// A file stream that writes to numbered files ("Install.<n>.mft"): it starts at the first free
// number, and each SetSize(0) on a file that holds data closes that file and continues in the
// next number's file. A file left empty is deleted when the stream goes away.
#include <windows.h>

#include <string>

#include "package/PlainFileStream.h"

namespace qlLib {

class CArchivingFileStreamImpl : public CPlainFileStream {
public:
    // Highest number looked for; when every file up to it exists, this one is overwritten.
    static const DWORD kMaxNumber = 199;

    // format: a path with exactly one integer placeholder (%d, %u, %i, %x, %X, %o, optionally
    // with flags, a width of up to two digits and an "l" size); "%%" is a literal percent sign.
    // Anything else is refused. Creates the first free number's file (closing a file still open).
    bool SetFileNameFormat(const wchar_t* format);
    DWORD GetNumber();
    std::wstring GetFileName();

    bool STDMETHODCALLTYPE SetSize(ULONGLONG size) override;

    // Whether format holds exactly one integer placeholder and nothing else to substitute.
    static bool IsValidFileNameFormat(const wchar_t* format);

private:
    friend CArchivingFileStreamImpl* CreateArchivingFileStreamImpl();
    CArchivingFileStreamImpl() = default;
    ~CArchivingFileStreamImpl() override;

    bool FormatName(DWORD number, std::wstring& name) const;
    // Creates (or truncates) the file of that number and makes it current.
    bool CreateNumbered(DWORD number);
    // Closes the current file; deletes it when it holds nothing.
    void FinishFile();

    std::wstring m_format;
    DWORD m_number = 1;
    std::wstring m_fileName;
};

// A new stream without a file, one reference for the caller; null when out of memory.
CArchivingFileStreamImpl* CreateArchivingFileStreamImpl();

}  // namespace qlLib
