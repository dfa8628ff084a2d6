#include "package/MemoryBuffer.h"

#include <new>

namespace qlLib {

IMemoryBuffer* CMemoryBuffer::Create(const void* data, DWORD length) {
    CMemoryBuffer* buffer = new (std::nothrow) CMemoryBuffer();
    if (!buffer) return nullptr;
    if (!buffer->SetData(data, length)) {
        buffer->Release();
        return nullptr;
    }
    return buffer;
}

HRESULT STDMETHODCALLTYPE CMemoryBuffer::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMemoryBuffer) {
        *object = static_cast<IMemoryBuffer*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CMemoryBuffer::AddRef() {
    return m_refs.AddRef();
}

ULONG STDMETHODCALLTYPE CMemoryBuffer::Release() {
    const ULONG count = m_refs.Release();
    if (count == 0) delete this;
    return count;
}

DWORD STDMETHODCALLTYPE CMemoryBuffer::GetLength() noexcept {
    return static_cast<DWORD>(m_bytes.size());
}

const BYTE* STDMETHODCALLTYPE CMemoryBuffer::GetData() noexcept {
    return reinterpret_cast<const BYTE*>(m_bytes.data());
}

bool STDMETHODCALLTYPE CMemoryBuffer::SetData(const void* data, DWORD length) noexcept {
    // An empty block is a null pointer with length 0; one without the other is a mistake.
    if ((data == nullptr) != (length == 0)) return false;
    try {
        m_bytes.assign(static_cast<const char*>(data), length);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace qlLib
