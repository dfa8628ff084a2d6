// The sample engine's manifest reader, on the file as the engine reads it. A manifest that loads
// names only paths inside its folders.
#include <string>

#include "fuzz/FuzzDriver.h"
#include "runtime/PathUtils.h"
#include "samples/engine/InstallManifest.h"

namespace {

void FuzzManifest(const BYTE*, size_t, fuzz::CFuzzContext& context) {
    std::wstring path;
    if (!context.WriteInput(L"Install.mft", path)) context.Fail("cannot write the input");
    TARN::CInstallManifest manifest;
    const HRESULT hr = manifest.Load(path);
    if (FAILED(hr)) {
        if (hr == HRESULT_FROM_WIN32(ERROR_BAD_FORMAT) && manifest.ErrorText().empty())
            context.Fail("a refusal without a message");
        return;
    }
    for (const TARN::CManifestFile& file : manifest.Files()) {
        if (!qlLib::IsSafeRelativePath(file.source) || !qlLib::IsSafeRelativePath(file.target))
            context.Fail("a manifest file leaves its folder");
    }
    for (const TARN::CManifestShortcut& shortcut : manifest.Shortcuts()) {
        if (!shortcut.target.empty() && !qlLib::IsSafeRelativePath(shortcut.target)) context.Fail("a shortcut target leaves its folder");
    }
}

}  // namespace

MINISTUB_FUZZ_MAIN("manifest", FuzzManifest)
