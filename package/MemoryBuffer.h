#pragma once
#include <windows.h>

#include <string>

#include "package/ValueCollection.h"
#include "runtime/ComPtr.h"

namespace qlLib {

// Memory values: a reference-counted byte buffer.
class CMemoryBuffer : public IMemoryBuffer {
public:
    static IMemoryBuffer* Create(const void* data, DWORD length);   // null when out of memory

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    DWORD STDMETHODCALLTYPE GetLength() noexcept override;
    const BYTE* STDMETHODCALLTYPE GetData() noexcept override;
    bool STDMETHODCALLTYPE SetData(const void* data, DWORD length) noexcept override;

private:
    CMemoryBuffer() = default;
    virtual ~CMemoryBuffer() = default;
    CRefCount m_refs;
    std::string m_bytes;
};

}  // namespace qlLib
