// ZEZUUtils::FileUtils: well-known folders, paths, folders, files and disk-image detach.
#pragma once

#include <string>

namespace ZEZUUtils {

// Every operation is static and synchronous. The last argument is an optional zezu::Logger
// (untyped) for the operation's messages; see UtilsLogging.h.
class FileUtils {
public:
    // A folder code of the table in GetDirectoryPath.
    typedef int PathType;

    // The folder of a PathType, written to path only when the look-up succeeds; any failure
    // gives false and leaves path as it was. Local folders sit under the local root and are
    // made when missing; the console user's are made in that user's home for that user.
    //   0 <root>/Applications                2, 3 <root>/Library/Application Support
    //   9 the process's home                 10 console user's ~/Documents
    //  12 console user's ~/Library/Application Support
    //  13 <root>/Users/Shared                15 "/tmp"
    //  16 the launched item (bundle or executable)   17 the folder holding it
    //  18-30 one of those + a fixed "/Zarvo..." text  31 <root>/Library/Preferences
    //  32 the process's ~/Library/Logs (mode 0700 where made)   others: false
    static bool GetDirectoryPath(PathType type, std::string& path, void* logger = nullptr);

    static bool AppendPath(std::string& path, const std::string& component, void* logger = nullptr);

    static bool PathExists(const std::string& path, void* logger = nullptr);
    static bool PathExists(const std::string& path, bool& isDirectory, void* logger = nullptr);

    static bool CreateDirectoryAtPath(const std::string& path, bool setPermission, void* logger = nullptr);
    // With setPermission the new folders take the owner and group of the nearest existing
    // ancestor (when this process may give them away, i.e. runs as root) and mode 0775.
    static bool CreateDirectoryAtPathEx(const std::string& path, void* logger, bool setPermission);

    // The path when something exists there, else its nearest existing ancestor ("." for a
    // relative path none of whose folders exist); "" for an empty path.
    static std::string GetExistentParentDirectory(const std::string& path);

    // Removes the folder, with everything below it when recursive; never follows a link.
    // errorText and ignored are kept for callers and unused.
    static bool DeleteDirectoryAtPath(const std::string& path, std::string& errorText, bool recursive,
                                      bool ignored, void* logger = nullptr, bool logSuccess = false);
    static bool DeleteDirectoryAtPath(const std::string& path, bool recursive, bool ignored,
                                      void* logger = nullptr, bool logSuccess = false);

    // Writes a temporary file beside the target and renames it over the target, so a reader
    // sees the old content or the new, never part of it. The file keeps the mode (and, for a
    // root process, the owner) of the file it replaces.
    static bool CreateFileWithContentAtPath(const std::string& path, const std::string& content,
                                            void* logger = nullptr);

    // The file's text as UTF-8: the bytes when they are UTF-8, else decoded as UTF-16 (byte
    // order from its mark, else big-endian). content changes only on success.
    static bool LoadContentOfFileAtPath(const std::string& path, std::string& content, void* logger = nullptr);

    // True when nothing is there or the file (or empty folder) was removed.
    static bool DeleteFileAtPath(const std::string& path, bool ignored, void* logger = nullptr);

    // Runs the disk-image tool with "detach", mountPoint, "-quiet"; true on exit status 0.
    static bool UnmountDmgAtPath(const std::string& mountPoint, void* logger = nullptr);
};

}  // namespace ZEZUUtils
