// The pending-restart marker: a volatile key that the next restart removes by itself.
#include "system/Utils.h"

#include "runtime/Trace.h"
#include "system/Registry.h"

namespace TARN {

namespace {

const wchar_t kVendorKey[] = L"SOFTWARE\\Velmor";

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
        // One volatile create of both levels would make the vendor key volatile as well: no
        // lasting key (the failure count) could be made under it until the restart. The vendor
        // key is made to last first; only the leaf is volatile.
        CRegistry reboot;
        if (!vendor.Create(HKEY_LOCAL_MACHINE, kVendorKey, KEY_READ | KEY_WRITE) || !reboot.CreateRebootSubkey(vendor)) {
            const DWORD error = vendor.IsOpen() ? reboot.GetLastError() : vendor.GetLastError();
            TraceError(L"TARN::CUtils::SetRebootFlag(30) : failed to create reboot key (%lu)", error);
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
