#include "OsVersion.h"

namespace qlLib {

bool IsWindowsVersionOrGreater(DWORD major, DWORD minor) {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    ULONGLONG mask = 0;
    mask = ::VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    return ::VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, mask) != FALSE;
}

}  // namespace qlLib

namespace qlLib {

namespace {

// major.minor exactly, a workstation, any service pack.
bool IsWorkstationVersion(DWORD major, DWORD minor) {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.wServicePackMajor = 0;
    info.wServicePackMinor = 0;
    info.wProductType = VER_NT_WORKSTATION;
    ULONGLONG mask = 0;
    mask = ::VerSetConditionMask(mask, VER_MAJORVERSION, VER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_MINORVERSION, VER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_SERVICEPACKMINOR, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_PRODUCT_TYPE, VER_EQUAL);
    return ::VerifyVersionInfoW(&info,
                                VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR | VER_SERVICEPACKMINOR |
                                    VER_PRODUCT_TYPE,
                                mask) != FALSE;
}

}  // namespace

bool IsWindowsXP() {
    return IsWorkstationVersion(5, 1) || IsWorkstationVersion(5, 2);
}

bool IsVistaOrLater() {
    return IsWorkstationVersion(6, 0) || IsWindowsVersionOrGreater(6, 0);
}

}  // namespace qlLib
