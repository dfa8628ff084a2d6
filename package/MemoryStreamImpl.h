#pragma once
// A stream over a growable byte buffer: 32-bit sizes and positions behind the 64-bit interface.
#include <windows.h>

#include <vector>

#include "package/DataStream.h"
#include "runtime/ComPtr.h"
#include "runtime/CriticalSection.h"

namespace qlLib {

class CMemoryStreamImpl : public IDataStream {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    bool STDMETHODCALLTYPE GetSize(ULONGLONG* size) override;
    // Reallocates to exactly size bytes (new bytes are zero); the position becomes 0.
    bool STDMETHODCALLTYPE SetSize(ULONGLONG size) override;
    bool STDMETHODCALLTYPE GetPosition(ULONGLONG* position) override;
    // Fails past the used length.
    bool STDMETHODCALLTYPE Seek(ULONGLONG position) override;
    // Grows the buffer as needed.
    bool STDMETHODCALLTYPE Write(const void* buffer, DWORD count) override;
    // Reads all of count or nothing.
    bool STDMETHODCALLTYPE Read(void* buffer, DWORD count) override;

    // The used bytes, for callers that hash or copy them. Valid until the next call that changes
    // the stream; the caller keeps other users away meanwhile.
    const BYTE* Data();
    DWORD Size();
    // Hands the bytes over and leaves the stream empty at position 0.
    std::vector<BYTE> TakeData();

private:
    friend CMemoryStreamImpl* CreateMemoryStreamImpl();
    CMemoryStreamImpl() = default;
    virtual ~CMemoryStreamImpl() = default;

    CRefCount m_refs;
    CCriticalSection m_lock;
    std::vector<BYTE> m_bytes;   // size() is the used length
    DWORD m_position = 0;
};

// A new, empty stream with one reference for the caller; null when out of memory.
CMemoryStreamImpl* CreateMemoryStreamImpl();

}  // namespace qlLib
