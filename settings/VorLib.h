// The settings store's flat interface: create a reference, get and set values, free it.
#pragma once

#include <cstdint>

enum VORReturnCode : int {
    VOR_SUCCESS = 0,
    VOR_FAILURE = -1,
    VOR_INVALID_ARGUMENT = -3,
    VOR_BUFFER_TOO_SMALL = -4,  // the needed size is written back
    VOR_NO_RECORD = -8,
    VOR_UNDECRYPTABLE = -10,  // neither key decrypted the value; the record has been deleted
};

enum vor_path_type { VOR_PATH_USER = 0, VOR_PATH_COMMON = 1 };

// A NULL path selects "<user Application Support>/Zarvo/ZEZU/vor.db". NULL on failure.
void* vor_createLibRef(const char* path);

// outBuf is the address of the caller's buffer pointer, NULL for a size query; *ioSize
// holds the buffer's size and receives the needed size (length + 1) on a query or -4.
VORReturnCode vor_getValueForKey(void* ref, const char* domain, const char* subDomain, const char* key, char** outBuf,
                                 std::int32_t* ioSize, bool decrypt);

// An empty value is stored as the empty text, without encryption. A value that is not UTF-8
// text is refused with -3 (a read could not tell it from a wrong key's garbage).
VORReturnCode vor_setValueForKey(void* ref, const char* domain, const char* subDomain, const char* key,
                                 const char* value);

// Closes and frees *ref and sets it to NULL; a NULL *ref is success, a NULL ref is -1.
VORReturnCode vor_freeLibRef(void** ref);
