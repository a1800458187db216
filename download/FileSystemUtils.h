// File-system helpers of the download engine: prepare and finish the output, tell a full disk apart.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace FileSystemUtils {

// Native codes of the engine's file-system failures (mapped by ErrorHandler::mapFileSystemError).
inline constexpr int kCodeAccessDenied = 13;
inline constexpr int kCodeNoPermission = 513;
inline constexpr int kCodeInvalidPath = 514;
inline constexpr int kCodeDiskFull = 10020;
inline constexpr int kCodeOtherFailure = 10030;
inline constexpr int kCodeMissingPath = -80;

// errno of a failed call translated into the codes above (unknown values pass through).
int nativeCodeForErrno(int errorNumber);

// A new, empty file: a file already at path is removed first (whoever holds it keeps its bytes),
// a symbolic link is refused.
bool createFile(const std::string& path, int& code);
// Reserves real blocks for the space so that a full disk shows here, not mid-download.
bool setFileSize(const std::string& path, uint64_t size, int& code);
bool deleteFile(const std::string& path, int& code);
bool fileExists(const std::string& path);
// A plain file lies there itself (a symbolic link, even to a file, is not one).
bool isRegularFile(const std::string& path);
// A plain file of this process's user with no other name: one nobody else made or can reach.
bool isOwnFile(const std::string& path);
bool isOwnFile(const struct stat& info);
bool createDirectory(const std::string& path, int& code);
bool deleteDirectory(const std::string& path, int& code);
bool directoryExists(const std::string& path);
// Never replaces an existing destination (fails with EEXIST instead).
bool renameFile(const std::string& destination, const std::string& source, int& code);
bool writeDataToFile(const std::string& path, const std::string& bytes);
// The same whole-file write, but it never replaces a file that exists at path (code EEXIST then).
bool writeDataToNewFile(const std::string& path, const std::string& bytes, int& code);
bool getHomeFolderPath(std::string& path);
bool getConsoleUserHomeFolderPath(std::string& path);

// 1 a quota applies (available set), 0 none applies, -1 error.
int util_GetQuotaSize(const std::string& path, uint64_t& available);
// The quota rule on byte limits: soft limit, else hard limit; both 0 means no quota.
int quotaFromLimits(uint64_t softLimitBytes, uint64_t hardLimitBytes, uint64_t usedBytes, uint64_t& available);
// Strict: an exactly fitting size counts as no room. A path that does not exist is judged by
// its nearest existing ancestor folder.
bool hasEnoughDiskSpace(const std::string& path, uint64_t required);
// 10030 when there is room for required bytes at path, else 10020.
int getFileSystemErrorCode(const std::string& path, uint64_t required);

bool stringToInt(const std::string& text, int32_t& value);
bool stringToUInt64(const char* characters, size_t count, uint64_t& value);
bool uint64ToString(uint64_t value, std::string& text);
bool copyStringValue(const std::string& in, std::string& out);
size_t utilStrlen(const char* text);

}  // namespace FileSystemUtils
