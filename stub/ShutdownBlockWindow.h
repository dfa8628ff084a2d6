#pragma once
// While a quiet install runs, a hidden window refuses the end of the session and, where the
// system has it, names the product as the reason.
#include <windows.h>

#include <string>

#include "runtime/MessageWindowThread.h"

namespace TARN {

class CShutdownBlockWindow : public qlLib::CMessageWindowThread {
public:
    ~CShutdownBlockWindow() override;
    // The window's class, title and block reason are the product ID; false without a window.
    bool Create(const std::wstring& productId);
    // Ends the window and its thread. Safe without Create.
    void Destroy();

protected:
    void OnWindowDestroyed() override;
    BOOL OnShutdownQuery() override;
    void OnShutdownEnd(bool, bool) override {}

private:
    bool m_created = false;
    std::wstring m_productId;
};

}  // namespace TARN
