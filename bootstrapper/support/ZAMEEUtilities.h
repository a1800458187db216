// The bootstrapper's small free functions: the per-run temporary folder, a synchronous process
// launch and the OS version.
#pragma once

#include <string>
#include <vector>

namespace ZAMEEUtilities {

// Creates <base>/<new GUID> with mode 0700 (base "/tmp"); never adopts an existing folder: a
// new GUID is tried on EEXIST, a few times. Only on success is path set.
bool createTempFolder(std::string& path);

// Runs path with the arguments (no shell), its standard output and error on the null device,
// in workingFolder, or, when that is empty, in the folder of path as given ("." when path has
// no "/"), and waits for it. 0: it ran and exitStatus holds its status (the exit code, or
// 128 + the signal number); 1: path is empty or nothing exists there; 2: it could not be
// started. exitStatus is left alone unless the result is 0.
int launchProcess(const std::string& path, const std::vector<std::string>& arguments, int& exitStatus,
                  const std::string& workingFolder = std::string());

// The OS version as major, minor and bug fix; false (and version untouched) when it cannot be read.
bool getOSVersion(int version[3]);

}  // namespace ZAMEEUtilities
