// The zezu free helpers: time texts, the Logs folder, paths and small file operations.
#pragma once

#include <sys/time.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zezu {

// Current time of day.
bool getCurrentTime(timeval& now);
// Local time as "%m-%d-%Y %H-%M-%S"; false when the text comes out empty.
bool getDatetime(std::string& text);
// Formats into buffer with a limit of size - 1 (at most size - 2 characters and the
// terminator). No argument list (NULL) does nothing and gives 0; else the formatted length.
int getLogMessage(char* buffer, size_t size, const char* format, va_list* arguments);

// The console user's Logs folder, "<home>/Library/Logs", making Library and Library/Logs
// with mode 0700 when missing.
bool getTempPath(std::string& path);
// The console user's home folder.
bool getUserFolder(std::string& path);
// The process's own home folder.
bool getUserFolderPath(std::string& path);

bool changeFileExtension(std::string& path, const std::string& extension);
bool appendPath(std::string& path, const std::string& component);
bool removeLastPathComponent(std::string& path);
// Makes the folder and its missing parents; an existing folder is fine.
bool createDirectoryPath(const std::string& path);
// Something that is not a folder exists at path.
bool fileExistsAtPath(const std::string& path);
bool folderExitsAtPath(const std::string& path);
// The text is its own last path component.
bool isFileName(const std::string& text);
bool getFileSize(const std::string& path, int64_t& size);
bool addFileExtension(std::string& path, const std::string& extension);
// The text after the last "." of the last component; false, extension unchanged, without one.
bool getFileExtension(const std::string& path, std::string& extension);
bool removeFileExtension(std::string& path);
bool utilGetCurrentOSVersion(long& major, long& minor, long& patch);
// The last path component; name is cleared first, false when there is none.
bool getFilePathBaseName(const std::string& path, std::string& name);
// Copies source onto target in 4096-byte blocks. Neither end follows a symbolic link; an
// existing target is unlinked and made anew exclusively.
bool copyContentOfFileToFile(const std::string& source, const std::string& target);
// "dir/VexApp.log" becomes "dir/VexApp <getDatetime>.log"; false, path unchanged, when the
// time text cannot be made.
bool appendTimeStampToFile(std::string& path);

}  // namespace zezu
