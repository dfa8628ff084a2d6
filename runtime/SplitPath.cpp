#include "SplitPath.h"

#include <new>

namespace qlLib {

bool CSplitPath::Split(const std::wstring& path) {
    try {
        std::wstring drive, folder, name, extension;
        size_t pos = 0;
        if (path.size() >= 2 && path[1] == L':') {
            drive = path.substr(0, 2);
            pos = 2;
        } else if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
            // UNC: the drive part is "\\server\share".
            size_t server = path.find(L'\\', 2);
            size_t share = server == std::wstring::npos ? std::wstring::npos : path.find(L'\\', server + 1);
            pos = share == std::wstring::npos ? path.size() : share;
            drive = path.substr(0, pos);
        }
        const size_t lastSlash = path.find_last_of(L"\\/");
        size_t nameStart = pos;
        if (lastSlash != std::wstring::npos && lastSlash >= pos) {
            folder = path.substr(pos, lastSlash + 1 - pos);
            nameStart = lastSlash + 1;
        }
        std::wstring file = path.substr(nameStart);
        const size_t dot = file.find_last_of(L'.');
        if (dot != std::wstring::npos) {
            name = file.substr(0, dot);
            extension = file.substr(dot);
        } else {
            name.swap(file);
        }
        m_path = path;
        m_drive.swap(drive);
        m_folder.swap(folder);
        m_name.swap(name);
        m_extension.swap(extension);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace qlLib
