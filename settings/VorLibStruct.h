// The library reference behind the flat interface, and the process-wide value keys.
#pragma once

#include <string>

#include "foundation/utils/NativeLock.h"
#include "settings/VorDb.h"
#include "settings/VorLib.h"

struct VORData {
    char* domain;
    char* subDomain;
    char* key;
    char* value;
};

struct VORLibStruct {
    vorDb session;
    std::string path;
    VORData** records = nullptr;  // NULL-terminated; nothing of this interface fills it

    // 32 raw bytes once derived, empty while a derivation fails; guarded by m_keysLock.
    static std::string Key1;
    static std::string Key2;
    static std::string KeyDefault;
    static ZEZU_NativeLock::NativeLock m_keysLock;
};

bool _vor_handle_OPDReturnedStatus(VORLibStruct* ref, OpdStatus status);
bool _vor_getPrefsFilePathForType(std::string& outPath, vor_path_type type);
int _vor_getPrefsFilePathWithFallbacks(const char* explicitPath, std::string& outPath);
bool _vor_freeRecordData(VORData*** records);
