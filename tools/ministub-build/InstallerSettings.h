#pragma once
// Reading and writing the product settings of an installer file (its signature or the record
// behind it), with the signature left valid.
#include <windows.h>

#include <string>

#include "package/ValueCollection.h"

namespace builder {

// Copies the installer's present settings into settings (nothing when it has none).
bool ReadInstallerSettings(const std::wstring& installer, qlLib::IKeyValueCollection* settings, std::string& error);

// Replaces the installer's settings with settings. placement: "signature" (an attribute of the
// signature; the installer must be signed), "table" (a record behind the signature) or empty
// (where the settings are already, else table).
bool WriteInstallerSettings(const std::wstring& installer, qlLib::IKeyValueCollection* settings,
                            const std::wstring& placement, std::string& error);

}  // namespace builder
