#pragma once
// Small owning wrappers for Win32 handles: one template, one traits struct per handle kind.
#include <windows.h>
#include <winsvc.h>

namespace qlLib {

template <class Traits>
class CUniqueHandle {
public:
    using Type = typename Traits::Type;

    CUniqueHandle() noexcept : m_h(Traits::Invalid()) {}
    explicit CUniqueHandle(Type h) noexcept : m_h(h) {}
    ~CUniqueHandle() { Close(); }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    CUniqueHandle(CUniqueHandle&& other) noexcept : m_h(other.Detach()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Detach());
        return *this;
    }

    Type Get() const noexcept { return m_h; }
    bool IsValid() const noexcept { return m_h != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    // For out-parameters of creating calls: closes what is held first.
    Type* Receive() noexcept { Close(); return &m_h; }

    Type Detach() noexcept { Type h = m_h; m_h = Traits::Invalid(); return h; }
    void Reset(Type h = Traits::Invalid()) noexcept { Close(); m_h = h; }
    void Close() noexcept {
        if (IsValid()) {
            Traits::Close(m_h);
            m_h = Traits::Invalid();
        }
    }

private:
    Type m_h;
};

struct CFileHandleTraits {   // CreateFileW and friends: INVALID_HANDLE_VALUE on failure
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};
struct CKernelHandleTraits {  // events, semaphores, processes, threads, tokens: NULL on failure
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};
struct CRegKeyHandleTraits {
    using Type = HKEY;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::RegCloseKey(h); }
};
struct CModuleHandleTraits {
    using Type = HMODULE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::FreeLibrary(h); }
};
struct CFindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::FindClose(h); }
};
struct CLocalMemoryTraits {   // memory from LocalAlloc, e.g. security descriptors and SIDs
    using Type = HLOCAL;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::LocalFree(h); }
};

struct CServiceHandleTraits {   // OpenSCManagerW / OpenServiceW / CreateServiceW
    using Type = SC_HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::CloseServiceHandle(h); }
};

struct CAllocatedSidTraits {   // AllocateAndInitializeSid
    using Type = PSID;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::FreeSid(h); }
};

// CreateEnvironmentBlock. userenv is loaded at run time (it is not a KnownDLL): a block exists
// only once it has been loaded, so it is found by name to release the block.
struct CEnvironmentBlockTraits {
    using Type = void*;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept {
        typedef BOOL(WINAPI * DestroyFn)(void*);
        if (HMODULE userenv = ::GetModuleHandleW(L"userenv.dll")) {
            const auto destroy = reinterpret_cast<DestroyFn>(
                reinterpret_cast<void*>(::GetProcAddress(userenv, "DestroyEnvironmentBlock")));
            if (destroy) destroy(h);
        }
    }
};

using CFileHandle = CUniqueHandle<CFileHandleTraits>;
using CKernelHandle = CUniqueHandle<CKernelHandleTraits>;
using CRegKeyHandle = CUniqueHandle<CRegKeyHandleTraits>;
using CModuleHandle = CUniqueHandle<CModuleHandleTraits>;
using CFindHandle = CUniqueHandle<CFindHandleTraits>;
using CLocalMemory = CUniqueHandle<CLocalMemoryTraits>;
using CServiceHandle = CUniqueHandle<CServiceHandleTraits>;
using CAllocatedSid = CUniqueHandle<CAllocatedSidTraits>;
using CEnvironmentBlock = CUniqueHandle<CEnvironmentBlockTraits>;

}  // namespace qlLib
