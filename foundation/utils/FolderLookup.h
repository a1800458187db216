// Well-known folders on the Linux layout, shared by FileUtils and the util functions.
#pragma once

#include <string>

namespace ZEZUUtils::folders {

// The longest folder path a look-up hands out, in bytes.
inline constexpr size_t kMaxFolderPath = 1024;

// The path without its last component ("/a/b/" → "/a", "/a" → "/", "a" → "").
std::string folderPart(const std::string& path);

// <local root><absolutePath>, made with its missing parents when absent. False when it is
// not a folder afterwards; out is set only on success.
bool localFolder(const char* absolutePath, std::string& out);

// <console user's home>/<relative>, its missing components made for that user. The home
// itself must exist. out is set only on success.
bool consoleUserFolder(const char* relative, std::string& out);

// <local root><absolutePath> for a process running as root: a folder no other user can change.
// Missing components are made (the last one 0700, the others 0755) and each component must
// be a folder, not a link, owned by root; none may be written by group or others unless it
// is sticky, and the last one not even then. No mode is changed but that of a folder made
// here. out is set only on success; why says what was refused otherwise.
bool rootOnlyLocalFolder(const char* absolutePath, std::string& out, std::string& why);

// <process's home>/<relative>, its missing components made with mode. out is set only on
// success.
bool processUserFolder(const char* relative, unsigned mode, std::string& out);

}  // namespace ZEZUUtils::folders
