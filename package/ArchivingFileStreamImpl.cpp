#include "package/ArchivingFileStreamImpl.h"

#include <cwchar>
#include <new>

#include "runtime/StringUtils.h"
#include "runtime/Trace.h"

namespace qlLib {

CArchivingFileStreamImpl* CreateArchivingFileStreamImpl() {
    try {
        return new CArchivingFileStreamImpl();
    } catch (const std::bad_alloc&) {
        TraceError(L"qlLib::CreateArchivingFileStreamImpl(15) : out of memory in %s", L"ArchivingFileStreamImpl.cpp");
        return nullptr;
    }
}

CArchivingFileStreamImpl::~CArchivingFileStreamImpl() {
    FinishFile();
}

bool CArchivingFileStreamImpl::IsValidFileNameFormat(const wchar_t* format) {
    // The number is the only argument the formatter gets: any other conversion would read
    // arguments that are not there.
    if (!format || !*format) return false;
    int placeholders = 0;
    for (const wchar_t* p = format; *p; ++p) {
        if (*p != L'%') continue;
        ++p;
        if (*p == L'%') continue;
        while (*p && std::wcschr(L"-+ #0", *p)) ++p;
        int digits = 0;
        for (; *p >= L'0' && *p <= L'9'; ++p) ++digits;
        if (digits > 2) return false;
        if (*p == L'l') ++p;
        if (!*p || !std::wcschr(L"diuxXo", *p)) return false;
        ++placeholders;
    }
    return placeholders == 1;
}

bool CArchivingFileStreamImpl::FormatName(DWORD number, std::wstring& name) const {
    return FormatString(name, m_format.c_str(), number);
}

bool CArchivingFileStreamImpl::CreateNumbered(DWORD number) {
    std::wstring name;
    if (!FormatName(number, name)) return m_file.Fail(ERROR_NOT_ENOUGH_MEMORY);
    m_number = number;
    m_fileName.swap(name);
    // The log folder is written with more rights than its readers have: a link in the file's
    // place is refused before anything is cut short, so the file is opened as it is and emptied
    // through its handle rather than replaced by name.
    if (!m_file.OpenNoLink(m_fileName.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL))
        return false;
    if (::GetLastError() == ERROR_ALREADY_EXISTS && !m_file.SetLength(0)) {
        m_file.Close();
        return false;
    }
    return true;
}

void CArchivingFileStreamImpl::FinishFile() {
    if (!m_file.IsOpen()) return;
    ULONGLONG length = 0;
    const bool empty = m_file.GetLength(&length) && length == 0;
    // Deleted through the handle: the name may lead elsewhere by now.
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    if (empty && !::SetFileInformationByHandle(m_file.Handle(), FileDispositionInfo, &disposition, sizeof(disposition)))
        TraceError(L"qlLib::CArchivingFileStreamImpl::FinishFile(63) : DeleteFile failed %s (%lu)", m_fileName.c_str(),
                   ::GetLastError());
    m_file.Close();
}

bool CArchivingFileStreamImpl::SetFileNameFormat(const wchar_t* format) {
    CCriticalSectionLock lock(m_lock);
    if (!IsValidFileNameFormat(format)) {
        TraceError(L"qlLib::CArchivingFileStreamImpl::SetFileNameFormat(70) : invalid file name format: %s",
                   format ? format : L"(null)");
        return m_file.Fail(ERROR_INVALID_PARAMETER);
    }
    FinishFile();
    try {
        m_format = format;
    } catch (const std::bad_alloc&) {
        m_format.clear();
        return m_file.Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    DWORD number = 1;
    for (;; ++number) {
        std::wstring name;
        if (!FormatName(number, name)) return m_file.Fail(ERROR_NOT_ENOUGH_MEMORY);
        if (number == kMaxNumber) break;   // every earlier one is taken: the last is overwritten
        if (::GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES) {
            // A file that exists but cannot be inspected is not free.
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) break;
        }
    }
    // Another process may take the same free number at the same moment (two runs logging into
    // one folder): its file is held open, so move on to the next number.
    while (!CreateNumbered(number)) {
        if (m_file.GetLastError() == ERROR_SHARING_VIOLATION && number < kMaxNumber) {
            ++number;
            continue;
        }
        TraceError(L"qlLib::CArchivingFileStreamImpl::SetFileNameFormat(93) : failed to create file: %s (%lu)",
                   m_fileName.c_str(), m_file.GetLastError());
        return false;
    }
    return true;
}

DWORD CArchivingFileStreamImpl::GetNumber() {
    CCriticalSectionLock lock(m_lock);
    return m_number;
}

std::wstring CArchivingFileStreamImpl::GetFileName() {
    CCriticalSectionLock lock(m_lock);
    try {
        return m_fileName;
    } catch (const std::bad_alloc&) {
        return std::wstring();
    }
}

bool STDMETHODCALLTYPE CArchivingFileStreamImpl::SetSize(ULONGLONG size) {
    CCriticalSectionLock lock(m_lock);
    if (size != 0 || m_format.empty() || !m_file.IsOpen()) return CPlainFileStream::SetSize(size);
    ULONGLONG length = 0;
    if (!m_file.GetLength(&length)) return false;
    if (length == 0) return CPlainFileStream::SetSize(size);
    // Emptying a file that holds data keeps it and continues in the next number's file.
    m_file.Close();
    if (!CreateNumbered(m_number + 1)) {
        TraceError(L"qlLib::CArchivingFileStreamImpl::SetSize(123) : failed to create file: %s (%lu)",
                   m_fileName.c_str(), m_file.GetLastError());
        return false;
    }
    return true;
}

}  // namespace qlLib
