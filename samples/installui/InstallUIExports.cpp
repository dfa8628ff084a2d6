// InstUI.dll's exports: the module binding's GetFactory and GetObjectCount, and GetDebugOutput,
// through which the host forwards this module's trace lines into its own log.
#include <windows.h>

#include "components/ComponentFactory.h"
#include "runtime/DebugOutput.h"
#include "samples/installui/InstallUIFrame.h"

extern "C" {

__declspec(dllexport) HRESULT WINAPI GetFactory(REFCLSID classId, TARN::IComponentFactory** factory) {
    return TARN::CComponentFactory::Get(classId, TARN::CLSID_InstallUIFrame, &TARN::CInstallUIFrame::Create, factory);
}

__declspec(dllexport) LONG WINAPI GetObjectCount() {
    return TARN::g_componentObjects;
}

__declspec(dllexport) qlLib::CDebugOutput* WINAPI GetDebugOutput() {
    return &qlLib::GetDebugOutput();
}

}  // extern "C"
