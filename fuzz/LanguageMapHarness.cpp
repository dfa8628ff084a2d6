// The language map reader: a folder whose Langver.map is the input, read as the language lookup
// reads it (the map of a folder is read once per process, so every input gets a new folder).
#include <string>
#include <vector>

#include "fuzz/FuzzDriver.h"
#include "runtime/FolderUtils.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "runtime/ResourceModuleLocator.h"
#include "runtime/StringUtils.h"

namespace {

void FuzzLanguageMap(const BYTE* data, size_t size, fuzz::CFuzzContext& context) {
    std::wstring name, folder, path;
    if (!qlLib::FormatString(name, L"m%I64u", context.Serial()) || !qlLib::JoinPath(folder, context.Work(), name) ||
        !::CreateDirectoryW(folder.c_str(), nullptr) || !qlLib::JoinPath(path, folder, L"Langver.map"))
        context.Fail("cannot make the input's folder");
    {
        qlLib::CFileHandle file(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.Get(), data, static_cast<DWORD>(size), &written, nullptr))
            context.Fail("cannot write the input");
    }
    std::vector<LANGID> languages;
    qlLib::CResourceModuleLocator::FindLanguages(folder, languages);
    for (LANGID language : languages) {
        std::wstring module;
        if (qlLib::CResourceModuleLocator::FindModuleForLanguage(folder, L"InsMUI.loc", language, module))
            context.Fail("a module that does not exist was found");
    }
    qlLib::DeleteFolderTree(folder, nullptr);
}

}  // namespace

MINISTUB_FUZZ_MAIN("language-map", FuzzLanguageMap)
