#pragma once
// The one holder for reference-counted objects: AddRef on copy, Release on reset.
#include <windows.h>
#include <unknwn.h>

namespace qlLib {

template <class T>
class CComPtr {
public:
    CComPtr() noexcept : m_p(nullptr) {}
    CComPtr(T* p) noexcept : m_p(p) {   // takes a new reference
        if (m_p) m_p->AddRef();
    }
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.m_p) {}
    CComPtr(CComPtr&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    ~CComPtr() { Release(); }
    CComPtr& operator=(const CComPtr& other) noexcept {
        if (other.m_p) other.m_p->AddRef();
        Release();
        m_p = other.m_p;
        return *this;
    }
    CComPtr& operator=(CComPtr&& other) noexcept {
        if (this != &other) {
            Release();
            m_p = other.m_p;
            other.m_p = nullptr;
        }
        return *this;
    }
    CComPtr& operator=(T* p) noexcept {
        if (p) p->AddRef();
        Release();
        m_p = p;
        return *this;
    }

    // Takes over a reference the caller already owns (e.g. a factory's result).
    static CComPtr Adopt(T* p) noexcept {
        CComPtr holder;
        holder.m_p = p;
        return holder;
    }
    void Attach(T* p) noexcept {
        Release();
        m_p = p;
    }
    T* Detach() noexcept {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    void Release() noexcept {
        if (m_p) {
            T* p = m_p;
            m_p = nullptr;
            p->Release();
        }
    }
    // For out-parameters that hand over a reference.
    T** Receive() noexcept {
        Release();
        return &m_p;
    }

    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // Asks the held object for another interface; null when it has none.
    template <class U>
    CComPtr<U> As(REFIID iid) const noexcept {
        CComPtr<U> other;
        if (m_p) m_p->QueryInterface(iid, reinterpret_cast<void**>(other.Receive()));
        return other;
    }

private:
    T* m_p;
};

// Reference count for objects that implement IUnknown themselves.
class CRefCount {
public:
    ULONG AddRef() noexcept { return static_cast<ULONG>(::InterlockedIncrement(&m_count)); }
    ULONG Release() noexcept { return static_cast<ULONG>(::InterlockedDecrement(&m_count)); }

private:
    volatile LONG m_count = 1;   // the creator holds the first reference
};

}  // namespace qlLib
