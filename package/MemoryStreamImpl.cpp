#include "package/MemoryStreamImpl.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "runtime/Trace.h"

namespace qlLib {

CMemoryStreamImpl* CreateMemoryStreamImpl() {
    try {
        return new CMemoryStreamImpl();
    } catch (const std::bad_alloc&) {
        TraceError(L"qlLib::CreateMemoryStreamImpl(15) : out of memory in %s", L"MemoryStreamImpl.cpp");
        return nullptr;
    }
}

HRESULT STDMETHODCALLTYPE CMemoryStreamImpl::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDataStream) {
        *object = static_cast<IDataStream*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CMemoryStreamImpl::AddRef() {
    return m_refs.AddRef();
}

ULONG STDMETHODCALLTYPE CMemoryStreamImpl::Release() {
    const ULONG count = m_refs.Release();
    if (count == 0) delete this;
    return count;
}

bool STDMETHODCALLTYPE CMemoryStreamImpl::GetSize(ULONGLONG* size) {
    if (!size) return false;
    CCriticalSectionLock lock(m_lock);
    *size = m_bytes.size();
    return true;
}

bool STDMETHODCALLTYPE CMemoryStreamImpl::SetSize(ULONGLONG size) {
    if (size > MAXDWORD) return false;
    CCriticalSectionLock lock(m_lock);
    try {
        m_bytes.resize(static_cast<size_t>(size));
        m_bytes.shrink_to_fit();
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    m_position = 0;
    return true;
}

bool STDMETHODCALLTYPE CMemoryStreamImpl::GetPosition(ULONGLONG* position) {
    if (!position) return false;
    CCriticalSectionLock lock(m_lock);
    *position = m_position;
    return true;
}

bool STDMETHODCALLTYPE CMemoryStreamImpl::Seek(ULONGLONG position) {
    CCriticalSectionLock lock(m_lock);
    if (position > m_bytes.size() || position > MAXDWORD) return false;
    m_position = static_cast<DWORD>(position);
    return true;
}

bool STDMETHODCALLTYPE CMemoryStreamImpl::Write(const void* buffer, DWORD count) {
    if (count == 0) return true;
    if (!buffer) return false;
    CCriticalSectionLock lock(m_lock);
    const ULONGLONG end = static_cast<ULONGLONG>(m_position) + count;
    if (end > MAXDWORD) return false;
    // A caller may copy from this very buffer (e.g. through Data()); growth moves it.
    const BYTE* source = static_cast<const BYTE*>(buffer);
    const BYTE* const begin = m_bytes.data();
    const bool inside = !m_bytes.empty() && source >= begin && source < begin + m_bytes.size();
    const size_t sourceOffset = inside ? static_cast<size_t>(source - begin) : 0;
    if (end > m_bytes.size()) {
        try {
            m_bytes.resize(static_cast<size_t>(end));
        } catch (const std::bad_alloc&) {
            return false;
        } catch (const std::length_error&) {
            return false;
        }
        if (inside) source = m_bytes.data() + sourceOffset;
    }
    std::memmove(m_bytes.data() + m_position, source, count);
    m_position = static_cast<DWORD>(end);
    return true;
}

bool STDMETHODCALLTYPE CMemoryStreamImpl::Read(void* buffer, DWORD count) {
    if (count == 0) return true;
    if (!buffer) return false;
    CCriticalSectionLock lock(m_lock);
    if (count > m_bytes.size() - m_position) return false;
    std::memcpy(buffer, m_bytes.data() + m_position, count);
    m_position += count;
    return true;
}

const BYTE* CMemoryStreamImpl::Data() {
    CCriticalSectionLock lock(m_lock);
    return m_bytes.data();
}

DWORD CMemoryStreamImpl::Size() {
    CCriticalSectionLock lock(m_lock);
    return static_cast<DWORD>(m_bytes.size());
}

std::vector<BYTE> CMemoryStreamImpl::TakeData() {
    CCriticalSectionLock lock(m_lock);
    std::vector<BYTE> bytes;
    bytes.swap(m_bytes);
    m_position = 0;
    return bytes;
}

}  // namespace qlLib
