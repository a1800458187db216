// The util free functions: string copies, folders with owner and mode, files, Base64, user folders.
#pragma once

#include <sys/types.h>

#include <string>

// Copies of a text; false for a NULL text.
bool utilGetStringFromNativeString(const char* text, std::string& out);
bool utilGetNativeStringFromString(const std::string& text, std::string& out);
bool utilGetNativeStringFromArray(const char* text, std::string& out);
bool utilGetNativeStringFromInt(int value, std::string& out);

// utilCreateDirectoryPathWithAttributes (path, -1, -1, 0775); the flag has no effect.
bool utilCreateDirectoryPath(const std::string& path, bool ignored);

// Makes the folder and its missing parents with mode (less the umask). When owner and group
// are both not -1 they, and then the mode exactly, are set on the folder, also on one that
// existed; a symbolic link there is refused.
bool utilCreateDirectoryPathWithAttributes(const char* path, uid_t owner, gid_t group, unsigned short mode);

// Something is there and it is not a folder.
bool utilFileExitsAtPath(const std::string& path);

// True when no file is there (a folder counts as none), else whether it was removed.
bool utilDeleteFileIfExitsAtPath(const std::string& path, bool ignored);

// Appends the Base64 text of exactly length bytes; NULL data or length <= 0 gives false.
bool utilEncodeDataInBase64(const void* data, int length, std::string& out);

// Home of the effective user ($HOME, else its password entry).
bool util_getUserFolderPath(std::string& out);
// Home of the console user.
bool utilGetUserFolderPath(std::string& out);
// The effective user's ~/Library/Application Support, made when missing.
bool utilGetUserAppDataFolder(std::string& out);
// <local root>/Library/Application Support/Zarvo; false (out unchanged) when the folder
// above it cannot be had.
bool utilGetZCFPath(std::string& out);
// Drops the last path component; false (path unchanged) when nothing is left.
bool utilRemoveFileSpec(std::string& path);

// Standard Base64 (RFC 4648, "=" padding) of the bytes in [begin, end), appended through out.
template <typename InputIterator, typename OutputIterator>
void Base64Encode(InputIterator begin, InputIterator end, OutputIterator out) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    unsigned value = 0;
    int held = 0;
    for (; begin != end; ++begin) {
        value = (value << 8) | static_cast<unsigned char>(*begin);
        held += 8;
        while (held >= 6) {
            held -= 6;
            *out++ = alphabet[(value >> held) & 0x3F];
        }
        value &= (1u << held) - 1;
    }
    if (held == 2) {
        *out++ = alphabet[(value << 4) & 0x3F];
        *out++ = '=';
        *out++ = '=';
    } else if (held == 4) {
        *out++ = alphabet[(value << 2) & 0x3F];
        *out++ = '=';
    }
}
