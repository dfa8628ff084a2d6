#pragma once
// Marks a running frame or tray as the instance of a product (by its compile GUID), so that a
// second start of the same product can find it and ask it to come forward. The mark is a
// message-only window of kBeaconWindowClass titled with the GUID.
#include <windows.h>

#include <memory>
#include <string>

#include "samples/installui/WindowClass.h"

namespace TARN {

class CInstanceBeacon {
public:
    CInstanceBeacon() = default;
    ~CInstanceBeacon() { Destroy(); }
    CInstanceBeacon(const CInstanceBeacon&) = delete;
    CInstanceBeacon& operator=(const CInstanceBeacon&) = delete;

    // On this thread; a come-forward request is posted on to owner as eUIMessage_ComeForward.
    bool Create(const std::wstring& compileGuid, HWND owner);
    void Destroy();

    // Whether another process marks compileGuid; with signal it is asked to come forward.
    static bool FindOther(const std::wstring& compileGuid, bool signal);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    std::unique_ptr<CWindowClassUse> m_class;
    HWND m_window = nullptr;
};

}  // namespace TARN
