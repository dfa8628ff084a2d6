#include "tools/ministub-build/SourceDate.h"

#include "tools/ministub-build/SettingsText.h"

namespace builder {

namespace {

const ULONGLONG kUnixEpochAsFileTime = 116444736000000000ULL;   // 1970-01-01 in 100 ns since 1601
const ULONGLONG kLastSecond = 253402300799ULL;                  // 9999-12-31 23:59:59

}  // namespace

bool ReadSourceDateEpoch(bool& set, FILETIME& latest, std::string& error) {
    set = false;
    wchar_t value[64];
    const DWORD length = ::GetEnvironmentVariableW(L"SOURCE_DATE_EPOCH", value, ARRAYSIZE(value));
    if (length == 0) return true;
    ULONGLONG seconds = 0;
    bool valid = length < ARRAYSIZE(value);
    for (DWORD i = 0; valid && i < length; ++i) {
        valid = value[i] >= L'0' && value[i] <= L'9' && seconds <= kLastSecond;
        seconds = seconds * 10 + (value[i] - L'0');
    }
    if (!valid || seconds > kLastSecond) {
        error = "SOURCE_DATE_EPOCH is " + (length < ARRAYSIZE(value) ? "\"" + WideToUtf8(value) + "\"" : "too long") +
                ", not a number of seconds since 1970-01-01 UTC";
        return false;
    }
    const ULONGLONG time = kUnixEpochAsFileTime + seconds * 10000000ULL;
    latest.dwLowDateTime = static_cast<DWORD>(time);
    latest.dwHighDateTime = static_cast<DWORD>(time >> 32);
    set = true;
    return true;
}

}  // namespace builder
