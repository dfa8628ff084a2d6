#pragma once
// Finds the language resource module (such as "InsMUI.loc") to load from a base folder that
// holds one language folder per language: B\pp\ss\M, or B\pp\M for a language without
// sublanguage (pp and ss in hexadecimal). The language is the first that has a module among:
// the user's chosen product language, the user's and the system's UI language and the product's
// default language (each followed by its substitute from "maplngid.dat"), and the language that
// B's "fallback.dat" names. "Langver.map" in B can move a language's folders below a subpath.
#include <windows.h>

#include <string>
#include <vector>

namespace qlLib {

// Where the preferred languages come from; tests put a user of their choice in front.
class CLanguageSources {
public:
    virtual ~CLanguageSources() = default;
    virtual LANGID CurrentUILanguage() const;   // the product's registry setting of the user
    virtual LANGID UserUILanguage() const;
    virtual LANGID SystemUILanguage() const;
    virtual LANGID DefaultLanguage() const;     // the product's registry setting of the machine
};

class CResourceModuleLocator {
public:
    // Longest substitute map that is read; one of 8 bytes or less holds nothing.
    static const DWORD kMaxSubstituteMapBytes = 900;

    explicit CResourceModuleLocator(const CLanguageSources& sources = SystemSources());

    // The module file and its language; false (path empty, language 0) when no language has one.
    // A module name of "*.*" asks only which language folder would be used.
    bool FindResourceModule(const std::wstring& folder, const wchar_t* module, std::wstring& path,
                            LANGID& language) const;
    // The module file for one language, when it exists.
    static bool FindModuleForLanguage(const std::wstring& folder, const wchar_t* module, LANGID language,
                                      std::wstring& path);
    // The languages that folder holds language folders for: those of its Langver.map when it
    // names any, else every pp\ss folder with something in it and every pp folder holding a file.
    static bool FindLanguages(const std::wstring& folder, std::vector<LANGID>& languages);
    // The substitute of a language in the process's substitute map; 0 when it has none.
    static LANGID SubstituteLanguage(LANGID language, const std::wstring& firstFolder);

    static const CLanguageSources& SystemSources();

private:
    bool TryLanguage(const std::wstring& folder, const wchar_t* module, LANGID language, std::wstring& path) const;

    const CLanguageSources& m_sources;
};

}  // namespace qlLib
