#pragma once
// Registry keys opened by force: when a key of the product's own refuses to open because of its
// permissions, access is granted level by level down the key path and, as a last resort, a
// level's permissions are reset to what it inherits from its parent; then the open is tried once
// more. Keys the product does not own are opened plainly.
#include <windows.h>

#include <string>

#include "runtime/RegKey.h"

namespace TARN {

class CRegistry : public qlLib::CRegKey {
public:
    // Opens (or with create, creates) root\subkey; a missing key is never forced.
    bool Open(const wchar_t* subkey, HKEY root, REGSAM access, bool create = false, DWORD options = 0);
    // Grants and resets permissions down the path so that it opens; S_OK or the failure.
    HRESULT ForceOpenKey(const wchar_t* subkey, HKEY root, bool create);
    // Opens with KEY_ALL_ACCESS; a product key that refuses is first granted it (see
    // CGrantPrincipals for whom). S_OK or the HRESULT of the open error.
    HRESULT EnsureOpen(HKEY root, const wchar_t* subkey, bool create);
    // Keys of the product's own, the only ones whose rights are ever forced: below the vendor's
    // key "SOFTWARE\Velmor" or the isolation root, under HKEY_LOCAL_MACHINE.
    static bool IsProductKey(HKEY root, const wchar_t* subkey);
    // This key's path joined with name, read-only, never created.
    bool OpenSubkey(const CRegistry& parent, const wchar_t* name);
    // This key's path joined with "Reboot": written, created volatile.
    bool CreateRebootSubkey(const CRegistry& parent);
    // Removes the open key's subkeys and values, forcing access where it is refused.
    bool DeleteTree();

    const std::wstring& GetPath() const { return m_path; }
    HKEY GetRoot() const { return m_root; }

    // "MACHINE", "CURRENT_USER", "CLASSES_ROOT", "USERS"; null for any other root.
    static const wchar_t* RootName(HKEY root);

private:
    std::wstring m_path;
    HKEY m_root = nullptr;
};

}  // namespace TARN
