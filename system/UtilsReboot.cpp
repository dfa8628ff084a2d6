// The pending-restart marker: a volatile key that the next restart removes by itself.
#include "system/Utils.h"

#include "runtime/Trace.h"
#include "system/Registry.h"

namespace TARN {

namespace {

const wchar_t kVendorKey[] = L"SOFTWARE\\Velmor";
const wchar_t kRebootKey[] = L"SOFTWARE\\Velmor\\Reboot";

}  // namespace

void CUtils::SetRebootFlag() {
    CRegistry vendor;
    if (vendor.Open(kVendorKey, HKEY_LOCAL_MACHINE, KEY_READ, false)) {
        CRegistry reboot;
        if (!reboot.CreateRebootSubkey(vendor)) {
            TraceError(L"TARN::CUtils::SetRebootFlag(22) : failed to create reboot key (%lu)", reboot.GetLastError());
        }
        return;
    }
    if (vendor.GetLastError() == ERROR_FILE_NOT_FOUND) {
        // Both levels in one create; only the leaf is volatile.
        CRegistry reboot;
        if (!reboot.Create(HKEY_LOCAL_MACHINE, kRebootKey, KEY_WRITE, nullptr, REG_OPTION_VOLATILE)) {
            TraceError(L"TARN::CUtils::SetRebootFlag(30) : failed to create reboot key (%lu)", reboot.GetLastError());
        }
        return;
    }
    TraceError(L"TARN::CUtils::SetRebootFlag(34) : failed to open Velmor key (%lu)", vendor.GetLastError());
}

bool CUtils::IsRebootPending() {
    CRegistry reboot;
    if (!reboot.Open(L"Software\\Velmor\\Reboot", HKEY_LOCAL_MACHINE, KEY_READ, false)) return false;
    TraceInfo(L"reboot key found (need to reboot before running install)");
    return true;
}

}  // namespace TARN
