#pragma once
// The install UI's texts: the language module "InsMUI.loc" in a language folder below the UI's own
// folder ("09\01" for 0x0409), chosen for the user's UI language, the system's, or the language
// that "fallback.dat" names.
#include <windows.h>

#include <string>

#include "runtime/Handles.h"

namespace TARN {

class CLanguageModule {
public:
    // False when no module fits any of those languages.
    bool Load(const std::wstring& folder);
    bool IsLoaded() const { return m_module.IsValid(); }
    LANGID Language() const { return m_language; }
    const std::wstring& Path() const { return m_path; }
    // The string, or empty when the module lacks it.
    std::wstring String(UINT id) const;

private:
    bool TryLanguage(const std::wstring& folder, LANGID language);
    bool TryFolder(const std::wstring& folder, const std::wstring& languageFolder, LANGID language);

    qlLib::CModuleHandle m_module;
    LANGID m_language = 0;
    std::wstring m_path;
};

}  // namespace TARN
