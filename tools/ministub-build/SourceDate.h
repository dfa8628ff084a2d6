#pragma once
// SOURCE_DATE_EPOCH, the reproducible-builds convention: the build's date in seconds since
// 1970-01-01 UTC. When it is set, make stores no time later than it, so that the same files make
// the same installer however recently they were copied or checked out.
#include <windows.h>

#include <string>

namespace builder {

// set: the variable is there and not empty; latest: its time. false, with a message, when it is
// set to anything but a whole number of seconds up to the year 9999.
bool ReadSourceDateEpoch(bool& set, FILETIME& latest, std::string& error);

}  // namespace builder
