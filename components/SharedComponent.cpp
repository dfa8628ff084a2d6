#include "components/SharedComponent.h"

#include <string>

#include "runtime/PathExpansion.h"
#include "runtime/PathUtils.h"

namespace TARN {

HRESULT CreateSharedComponentObject(CComponentModule& module, const wchar_t* dllName, REFCLSID classId, REFIID iid,
                                    void** object) {
    std::wstring folder, path;
    if (!qlLib::ExpandPath(L"%QLROOT%", folder) || folder.empty()) return E_COMPONENT_LOAD_FAILED;
    if (!qlLib::JoinPath(path, folder, dllName)) return E_OUTOFMEMORY;
    const HRESULT hr = module.Load(path);
    if (FAILED(hr)) return hr;
    return module.CreateObject(classId, iid, object);
}

}  // namespace TARN
