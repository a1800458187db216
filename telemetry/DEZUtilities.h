// The small text helpers of the telemetry client: GUID text, time text, bounded copy.
#pragma once

#include <cstddef>
#include <string>

namespace DEZFramework {

// A new GUID in lower case: 36 characters, groups of 8-4-4-4-12. False when none could be made.
bool getGUIDString(std::string& guid);

// Local time as "2014-06-04T09:30:15.250+02:00" (milliseconds, offset with a colon).
void getCurrentTimeStr(std::string& text);

// Copies at most size - 1 characters and a NUL. False for a NULL pointer or a size of 0
// (nothing copied then) and for an empty source.
bool copyStr(char* destination, std::size_t size, const char* source);

}  // namespace DEZFramework
