// The builder's settings-text parser. Text that parses must format and parse again to the same
// text.
#include <string>

#include "fuzz/FuzzDriver.h"
#include "package/KeyValueCollectionImpl.h"
#include "tools/ministub-build/SettingsText.h"

namespace {

void FuzzSettingsText(const BYTE* data, size_t size, fuzz::CFuzzContext& context) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    qlLib::CComPtr<qlLib::IKeyValueCollection> settings = qlLib::CKeyValueCollectionImpl::New();
    std::string error;
    if (!builder::ParseSettingsText(text, settings.Get(), error)) {
        if (error.empty()) context.Fail("a refusal without a message");
        return;
    }
    std::string formatted, again;
    if (!builder::FormatSettingsText(settings.Get(), formatted)) return;   // values text cannot hold
    qlLib::CComPtr<qlLib::IKeyValueCollection> back = qlLib::CKeyValueCollectionImpl::New();
    if (!builder::ParseSettingsText(formatted, back.Get(), error) ||
        !builder::FormatSettingsText(back.Get(), again) || again != formatted)
        context.Fail("formatted settings did not parse back alike");
}

}  // namespace

MINISTUB_FUZZ_MAIN("settings-text", FuzzSettingsText)
