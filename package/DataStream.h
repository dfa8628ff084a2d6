#pragma once
// The byte stream every reader and writer of packages, archives and embedded data goes through:
// 64-bit sizes and positions. A binary interface handed to the install engine and install UI:
// the slot order and calling convention are fixed.
#include <windows.h>
#include <unknwn.h>

namespace qlLib {

// {5ADE9677-53A9-4827-A659-5595C923EFE3}
extern const IID IID_IDataStream;

class IDataStream : public IUnknown {
public:
    virtual bool STDMETHODCALLTYPE GetSize(ULONGLONG* size) = 0;
    virtual bool STDMETHODCALLTYPE SetSize(ULONGLONG size) = 0;
    virtual bool STDMETHODCALLTYPE GetPosition(ULONGLONG* position) = 0;
    virtual bool STDMETHODCALLTYPE Seek(ULONGLONG position) = 0;
    virtual bool STDMETHODCALLTYPE Write(const void* buffer, DWORD count) = 0;
    virtual bool STDMETHODCALLTYPE Read(void* buffer, DWORD count) = 0;
};

// {2F0C4E51-8B7A-4C39-9D1E-6A3B5C7D9E21}
extern const IID IID_IFileErrorInfo;

// The Win32 error of a file stream's last failed call.
class IFileErrorInfo : public IUnknown {
public:
    virtual DWORD STDMETHODCALLTYPE GetLastError() = 0;
};

}  // namespace qlLib
