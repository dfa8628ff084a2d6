#include "stub/ShutdownBlockWindow.h"

#include <new>

#include "runtime/OsVersion.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

// Vista and later only: looked up, so that the stub still starts where they are missing.
using ReasonCreateFn = BOOL(WINAPI*)(HWND, LPCWSTR);
using ReasonDestroyFn = BOOL(WINAPI*)(HWND);

void* User32Export(const char* name) {
    HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    return user32 ? reinterpret_cast<void*>(::GetProcAddress(user32, name)) : nullptr;
}

}  // namespace

CShutdownBlockWindow::~CShutdownBlockWindow() {
    // The window thread calls this object's hooks: it ends before the object does.
    Stop(INFINITE);
}

bool CShutdownBlockWindow::Create(const std::wstring& productId) {
    TraceInfo(L"create hidden window");
    try {
        m_productId = productId;
    } catch (const std::bad_alloc&) {
        TraceError(L"Couldn't copy ProductID");
        return false;
    }
    m_created = CMessageWindowThread::Create(m_productId.c_str(), m_productId.c_str());
    return m_created;
}

void CShutdownBlockWindow::Destroy() {
    Stop(INFINITE);
    TraceInfo(L"destroy hidden window");
    m_created = false;
    m_productId.clear();
}

BOOL CShutdownBlockWindow::OnShutdownQuery() {
    TraceInfo(L"Shutdown blocked");
    HWND window = Window();
    if (qlLib::IsVistaOrLater() && m_created && ::IsWindow(window)) {
        TraceInfo(L"Trying to prevent shutdown on Vista+");
        auto create = reinterpret_cast<ReasonCreateFn>(User32Export("ShutdownBlockReasonCreate"));
        if (!create || !create(window, m_productId.c_str()))
            TraceError(L"Couldn't block the shutdown...%lu", ::GetLastError());
    }
    // The install must not be cut off half way.
    return FALSE;
}

void CShutdownBlockWindow::OnWindowDestroyed() {
    HWND window = Window();
    if (!qlLib::IsVistaOrLater() || !::IsWindow(window)) return;
    TraceInfo(L"removing Shutdownblock");
    auto destroy = reinterpret_cast<ReasonDestroyFn>(User32Export("ShutdownBlockReasonDestroy"));
    if (!destroy || !destroy(window)) TraceError(L"Couldn't remove shutdown block");
}

}  // namespace TARN
