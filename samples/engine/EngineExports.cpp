// engine.dll's exports: the module binding's GetFactory and GetObjectCount, and GetDebugOutput2,
// through which the host forwards this module's trace lines into its own log.
#include <windows.h>

#include "components/ComponentFactory.h"
#include "runtime/DebugOutput.h"
#include "samples/engine/InstallEngine.h"

extern "C" {

__declspec(dllexport) HRESULT WINAPI GetFactory(REFCLSID classId, TARN::IComponentFactory** factory) {
    return TARN::CComponentFactory::Get(classId, TARN::CLSID_EngineManager, &TARN::CInstallEngine::Create, factory);
}

__declspec(dllexport) LONG WINAPI GetObjectCount() {
    return TARN::g_componentObjects;
}

__declspec(dllexport) qlLib::CDebugOutput* WINAPI GetDebugOutput2() {
    return &qlLib::GetDebugOutput();
}

}  // extern "C"
