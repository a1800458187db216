// The application bundle the running executable sits in.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The running executable's own path, as the system resolves it (symbolic links followed).
std::optional<std::string> executablePath();

// The launched item: "<Name>.app" when the executable sits at
// <Name>.app/Contents/MacOS/<executable>, else the executable's own path.
std::optional<std::string> launchedItemPath();

// The environment variable that moves the resources folder, for tests and demos.
inline constexpr const char* kResourcesFolderVariable = "BOOTSTRAP_RESOURCES_FOLDER";

// $BOOTSTRAP_RESOURCES_FOLDER when set and non-empty; else <bundle>/Contents/Resources, when
// the executable sits in a bundle.
std::optional<std::string> bundleResourcesFolder();

// A main bundle resource: <Resources>/<name>.<type> when it exists.
std::optional<std::string> bundleResourcePath(const std::string& name, const std::string& type);

}  // namespace platform
