// ZamInstallAction: finds the installer in the asset's content and runs it to its end.
#include "bootstrapper/manifest/ZamInstallAction.h"

#include <climits>
#include <cstdlib>

#include "bootstrapper/manifest/CompressedAssetBase.h"
#include "bootstrapper/support/ZAMEEUtilities.h"
#include "foundation/logging/Logger.h"

namespace {

bool hasParentComponent(const std::string& value) {
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find('/', start);
        if (end == std::string::npos) end = value.size();
        if (value.compare(start, end - start, "..") == 0) return true;
        start = end + 1;
    }
    return false;
}

bool resolve(const std::string& path, std::string& resolved) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr) return false;
    resolved = buffer;
    return true;
}

// The resolved path is the base itself or lies below it.
bool isWithin(const std::string& resolved, const std::string& base) {
    if (resolved == base) return true;
    const std::string prefix = base == "/" ? base : base + "/";
    return resolved.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

ZamInstallAction::ZamInstallAction() : InstallActionBase("ZamInstallAction") {}

ZamInstallAction::~ZamInstallAction() = default;

int ZamInstallAction::fail(int32_t launchResult) {
    logger_->warn("", "Launch of ZSU failed! (%d)", launchResult);
    result_ = launchResult;
    return kActionFailed;
}

int ZamInstallAction::execute(AssetBase* asset) {
    if (asset == nullptr) return fail(1);
    std::string base;
    if (const auto* compressed = dynamic_cast<const CompressedAssetBase*>(asset)) {
        base = compressed->getExtractedPath();
    } else {
        base = asset->getLocalPath();
    }
    if (base.empty()) return fail(1);

    std::string path = base;
    std::vector<std::string> arguments;
    for (const auto& [key, value] : actionData_) {
        if (key == "executable") {
            // The value is relative to the content; a leading "/" only repeats the separator.
            if (value.empty() || hasParentComponent(value)) return fail(1);
            path += "/" + value;
        } else if (key == "argument") {
            arguments.push_back(value);
        }
    }
    arguments.insert(arguments.end(), installerArguments_.begin(), installerArguments_.end());

    // A link inside the content must not lead the launch outside it, nor the folder it runs in
    // (a binary asset's base is the file itself, run in the folder it lies in).
    std::string resolvedBase;
    std::string resolvedPath;
    if (!resolve(base, resolvedBase) || !resolve(path, resolvedPath) || !isWithin(resolvedPath, resolvedBase))
        return fail(1);
    std::string resolvedFolder;
    if (path != base &&
        (!resolve(path.substr(0, path.find_last_of('/')), resolvedFolder) || !isWithin(resolvedFolder, resolvedBase)))
        return fail(1);

    // Launched as named, in its named folder: an installer that is a link to a program
    // elsewhere in the content still finds what lies beside its own name.
    int exitStatus = -1;
    const int launched = ZAMEEUtilities::launchProcess(path, arguments, exitStatus, std::string());
    if (launched != 0) return fail(launched);
    if (exitStatus != 0) {
        logger_->warn("", "Launch of ZSU failed with return code (%d)", exitStatus);
        result_ = exitStatus;
        return kActionFailed;
    }
    return kActionDone;
}
