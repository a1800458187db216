// The settings store's flat interface over the vor.db session and the value cipher.
#include "settings/VorLib.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "foundation/utils/TextEncoding.h"
#include "foundation/utils/UtilFunctions.h"
#include "settings/CryptEngine.h"
#include "settings/SettingsLog.h"
#include "settings/VorLibStruct.h"

std::string VORLibStruct::Key1;
std::string VORLibStruct::Key2;
std::string VORLibStruct::KeyDefault;
ZEZU_NativeLock::NativeLock VORLibStruct::m_keysLock;

namespace {

constexpr const char* kComponent = "VOR";
constexpr const char* kCryptComponent = "CryptEngine";

struct KeySet {
    std::string key1, key2, keyDefault;
};

KeySet currentKeys() {
    VORLibStruct::m_keysLock.acquireLock();
    KeySet keys{VORLibStruct::Key1, VORLibStruct::Key2, VORLibStruct::KeyDefault};
    VORLibStruct::m_keysLock.freeLock();
    return keys;
}

// Derives each key still empty; an empty one is tried again by the next reference.
void deriveMissingKeys() {
    CryptEngine engine(CE_Unspecified, "");
    VORLibStruct::m_keysLock.acquireLock();
    CryptEngine::GenerateHDSerialList();
    // The keys themselves never reach the log: its files are shared with support.
    if (VORLibStruct::Key1.empty()) {
        if (engine.generateKey1(VORLibStruct::Key1)) {
            VOR_TRACE(kComponent, "key1 generated");
        } else {
            VOR_WARN(kCryptComponent, "Failed in key1 generation");
        }
    }
    if (VORLibStruct::Key2.empty()) {
        if (engine.generateKey2(VORLibStruct::Key2)) {
            VOR_TRACE(kComponent, "key2 generated");
        } else {
            VOR_ERROR(kCryptComponent, "Failed in key2 generation");
        }
    }
    if (VORLibStruct::KeyDefault.empty() && !engine.generateKey(VORLibStruct::KeyDefault)) {
        VOR_ERROR(kCryptComponent, "Failed in default key generation");
    }
    VORLibStruct::m_keysLock.freeLock();
}

// A wrong key gives garbage with valid padding about once in 256 tries; a stored value is
// UTF-8 text without NUL, so anything else counts as a failed decryption.
bool isStoredText(const std::string& text) {
    return text.find('\0') == std::string::npos && ZEZUUtils::text::isValidUtf8(text);
}

enum class DecryptOutcome { Decrypted, EngineFailed, Failed };

DecryptOutcome decryptWith(const std::string& key, const std::string& stored, std::string& out) {
    CryptEngine engine(CE_Unspecified, "");
    if (!engine.initialize(CE_Unspecified, key)) {
        return DecryptOutcome::EngineFailed;
    }
    std::string plain;
    if (engine.decrypt(stored, plain) != CE_OK || !isStoredText(plain)) {
        return DecryptOutcome::Failed;
    }
    out = plain;
    return DecryptOutcome::Decrypted;
}

// The session may have been lost through recovery: take a waiting recreated file into use.
bool sessionUsable(VORLibStruct* ref) {
    return ref->session.opd_isInitialized() || ref->session.opd_consumeRecreatedDB() == OPD_SUCCESS;
}

// Empty names are refused before the store is touched.
bool fieldsPresent(const char* domain, const char* subDomain, const char* key, const char* operation) {
    const char* missing = *domain == '\0'      ? "domain"
                          : *subDomain == '\0' ? "sub domain"
                          : *key == '\0'       ? "key"
                                               : nullptr;
    if (missing != nullptr) {
        VOR_WARN(kComponent, "Invalid %s to %s", missing, operation);
        return false;
    }
    return true;
}

}  // namespace

bool _vor_handle_OPDReturnedStatus(VORLibStruct* ref, OpdStatus status) {
    VOR_INFO(kComponent, "_vor_handle_OPDReturnedStatus called with opdStatus as:%d", status);
    if (status == OPD_NOT_INITIALIZED) {
        if (ref->session.opd_consumeRecreatedDB() != OPD_SUCCESS) {
            VOR_INFO(kComponent, "opd_consumeRecreatedDB returned failure in _vor_handle_OPDReturnedStatus");
            return false;
        }
        return true;
    }
    if (status == OPD_CORRUPT) {
        if (ref->session.opd_tryDBDeleteRecreate() != OPD_SUCCESS) {
            VOR_INFO(kComponent, "opd_tryDBDeleteRecreate returned failure in _vor_handle_OPDReturnedStatus");
            return false;
        }
        return true;
    }
    return false;
}

bool _vor_getPrefsFilePathForType(std::string& outPath, vor_path_type type) {
    std::string folder;
    if (type == VOR_PATH_USER) {
        if (!utilGetUserAppDataFolder(folder)) {
            VOR_ERROR(kComponent, "failed to get user specific Folder path ...");
            return false;
        }
        outPath = folder + "/Zarvo/ZEZU/vor.db";
        return true;
    }
    if (!utilGetZCFPath(folder)) {
        VOR_ERROR(kComponent, "failed to get common Folder path ...");
        return false;
    }
    outPath = folder + "/ZEZU/vor.db";
    return true;
}

int _vor_getPrefsFilePathWithFallbacks(const char* explicitPath, std::string& outPath) {
    if (explicitPath != nullptr) {
        outPath = explicitPath;
        return 0;
    }
    if (!_vor_getPrefsFilePathForType(outPath, VOR_PATH_USER)) {
        VOR_ERROR(kComponent, "failed in getting default prefsFilePath ");
        return -1;
    }
    return 0;
}

bool _vor_freeRecordData(VORData*** records) {
    if (records == nullptr || *records == nullptr || **records == nullptr) {
        VOR_WARN(kComponent, "Invalid arguments to _vor_freeRecordData");
        return false;
    }
    for (VORData** record = *records; *record != nullptr; ++record) {
        for (char* text : {(*record)->domain, (*record)->subDomain, (*record)->key, (*record)->value}) {
            std::free(text);
        }
        std::free(*record);
    }
    std::free(*records);
    *records = nullptr;
    VOR_DEBUG(kComponent, "Freed allocated memory to the record buffer");
    return true;
}

void* vor_createLibRef(const char* path) {
    VOR_SET_LOG_LEVEL(4, "VOR");
    auto* ref = new (std::nothrow) VORLibStruct();
    if (ref == nullptr) {
        return nullptr;
    }
    VOR_TRACE(kComponent, "new vor ref created with ref=%p", static_cast<void*>(ref));
    if (_vor_getPrefsFilePathWithFallbacks(path, ref->path) != 0) {
        VOR_ERROR(kComponent, "Failed to get pref file path...in vor_createLibRef");
        delete ref;
        return nullptr;
    }
    deriveMissingKeys();
    if (ref->session.opd_openSession(ref->path) != OPD_SUCCESS) {
        VOR_ERROR(kComponent, "Failed opening vor database session in vor_createLibRef");
        delete ref;
        return nullptr;
    }
    VOR_TRACE(kComponent, "Successfully opened vor session, db location:%s in vor_createLibRef", ref->path.c_str());
    return ref;
}

VORReturnCode vor_getValueForKey(void* inRef, const char* domain, const char* subDomain, const char* key, char** outBuf,
                                 std::int32_t* ioSize, bool decrypt) {
    VOR_TRACE(kComponent, "Performing get value for Key ...in vor_getValueForKey");
    if (inRef == nullptr || domain == nullptr || subDomain == nullptr || key == nullptr || ioSize == nullptr ||
        (outBuf != nullptr && *outBuf == nullptr)) {
        VOR_WARN(kComponent, "Invalid arguments in get value for key...in vor_getValueForKey");
        return VOR_INVALID_ARGUMENT;
    }
    if (!fieldsPresent(domain, subDomain, key, "getValForKey")) {
        return VOR_INVALID_ARGUMENT;
    }
    VOR_TRACE(kComponent, "vor_getValueForkey called with inRef=%p", inRef);
    auto* ref = static_cast<VORLibStruct*>(inRef);
    if (!sessionUsable(ref)) {
        VOR_WARN(kComponent, "VOR db is not initialized, can not proceed for getValForKey");
        return VOR_FAILURE;
    }

    std::vector<vorData> records;
    OpdStatus status = ref->session.opd_getRecordsWithFields({"value"}, domain, subDomain, key, records);
    if (status != OPD_SUCCESS && _vor_handle_OPDReturnedStatus(ref, status)) {
        VOR_INFO(kComponent, "Initial call to opd_getRecordsWithFields was a failure, retrying after recovery");
        records.clear();
        status = ref->session.opd_getRecordsWithFields({"value"}, domain, subDomain, key, records);
        if (status != OPD_SUCCESS) {
            VOR_INFO(kComponent, "Retried call to opd_getRecordsWithFields was a failure");
        }
    }
    if (status != OPD_SUCCESS) {
        VOR_WARN(kComponent, "Failed in getting records for fields in vor_getValueForKey with error as: %d", status);
        return VOR_FAILURE;
    }
    if (records.empty()) {
        VOR_INFO(kComponent, "No Record found for the input fields in vor_getValueForKey");
        return VOR_NO_RECORD;
    }

    std::string value = records.front().value;
    if (decrypt && !value.empty()) {
        const KeySet keys = currentKeys();
        std::string plain;
        bool decrypted = false;
        if (!keys.key1.empty()) {
            DecryptOutcome outcome = decryptWith(keys.key1, value, plain);
            if (outcome == DecryptOutcome::EngineFailed) {
                VOR_ERROR(kComponent, "Failed to initialize crypt Engine in vor_getValueForKey for key1");
                return VOR_FAILURE;
            }
            decrypted = outcome == DecryptOutcome::Decrypted;
            if (decrypted) {
                VOR_TRACE(kComponent, "decrypted using a1 in vor_getValueForKey");
            } else {
                VOR_WARN(kComponent, "Failed to decrypt in vor_getValueForKey using Key1");
            }
        } else {
            VOR_WARN(kComponent, "key1 is empty");
        }
        if (!decrypted) {
            if (keys.key2.empty()) {
                VOR_ERROR(kComponent, "key2 is empty");
                return VOR_FAILURE;
            }
            DecryptOutcome outcome = decryptWith(keys.key2, value, plain);
            if (outcome == DecryptOutcome::EngineFailed) {
                VOR_ERROR(kComponent, "Failed to initialize crypt Engine in vor_getValueForKey for key2");
                return VOR_FAILURE;
            }
            if (outcome == DecryptOutcome::Failed) {
                VOR_ERROR(kComponent, "Failed to decrypt in vor_getValueForKey using Key2");
                // Without Key1 in this run the value may well be Key1's: keep it for a later run.
                if (keys.key1.empty()) {
                    return VOR_FAILURE;
                }
                VOR_INFO(kComponent, "Deleting record with fields domain:%s subDomain:%s key:%s", domain, subDomain,
                         key);
                ref->session.opd_deleteRecordWithFields(domain, subDomain, key);
                return VOR_UNDECRYPTABLE;
            }
            VOR_TRACE(kComponent, "decrypted using a2 in vor_getValueForKey");
        }
        value = plain;
    }

    const std::int32_t needed = static_cast<std::int32_t>(value.size()) + 1;
    if (outBuf == nullptr) {
        *ioSize = needed;
        VOR_INFO(kComponent, "returning size of value as:%d in vor_getValueForKey", needed);
        return VOR_SUCCESS;
    }
    if (*ioSize < needed) {
        VOR_ERROR(kComponent, "Insufficient buffer size...in vor_getValueForKey");
        *ioSize = needed;
        return VOR_BUFFER_TOO_SMALL;
    }
    std::memcpy(*outBuf, value.c_str(), static_cast<size_t>(needed));
    VOR_INFO(kComponent, "Successfully retreived value from vor domain:%s subdomain:%s key:%s in vor_getValueForKey",
             domain, subDomain, key);
    return VOR_SUCCESS;
}

VORReturnCode vor_setValueForKey(void* inRef, const char* domain, const char* subDomain, const char* key,
                                 const char* value) {
    VOR_TRACE(kComponent, "Performing set value for key ...");
    if (inRef == nullptr || domain == nullptr || subDomain == nullptr || key == nullptr || value == nullptr) {
        VOR_ERROR(kComponent, "Invalid arguments in set value for key...");
        return VOR_INVALID_ARGUMENT;
    }
    if (!fieldsPresent(domain, subDomain, key, "setValForKey")) {
        return VOR_INVALID_ARGUMENT;
    }
    // A read takes a value that is not text for a wrong key's garbage and deletes it: refused here,
    // the value already stored stays.
    if (!isStoredText(value)) {
        VOR_WARN(kComponent, "The value to set is not UTF-8 text");
        return VOR_INVALID_ARGUMENT;
    }
    VOR_TRACE(kComponent, "vor_setValueForkey called with inRef=%p", inRef);
    auto* ref = static_cast<VORLibStruct*>(inRef);
    if (!sessionUsable(ref)) {
        VOR_WARN(kComponent, "VOR db is not initialized, can not proceed for setValForKey");
        return VOR_FAILURE;
    }

    std::string stored;
    if (*value != '\0') {
        const KeySet keys = currentKeys();
        std::string key;
        if (!keys.key1.empty()) {
            key = keys.key1;
        } else if (!keys.key2.empty()) {
            VOR_WARN(kComponent, "PrimaryKey is empty, trying Fallback Key");
            key = keys.key2;
        } else {
            VOR_ERROR(kComponent, "key generated from MSIG cannot be null ");
            key = keys.keyDefault;
        }
        CryptEngine engine(CE_Unspecified, "");
        if (!engine.initialize(CE_Unspecified, key)) {
            VOR_ERROR(kComponent, "Failed to initialize crypt Engine in vor_setValueForKey");
            return VOR_FAILURE;
        }
        if (engine.encrypt(value, stored) != CE_OK) {
            VOR_ERROR(kComponent, "failed to encrypt in vor_setValueForKey");
            return VOR_FAILURE;
        }
    }

    OpdStatus status = ref->session.opd_setValueWithFields(domain, subDomain, key, stored);
    if (status != OPD_SUCCESS) {
        if (!_vor_handle_OPDReturnedStatus(ref, status)) {
            return VOR_FAILURE;
        }
        VOR_INFO(kComponent, "Initial call to opd_setValueWithFields was a failure, retrying after recovery");
        status = ref->session.opd_setValueWithFields(domain, subDomain, key, stored);
        if (status != OPD_SUCCESS) {
            VOR_INFO(kComponent, "Retried call to opd_setValueWithFields failed with error: %d", status);
            return VOR_FAILURE;
        }
    }
    VOR_INFO(kComponent, "Successfully updated vor.db for fields domain:%s subdomain:%s key:%s in vor_setValueForKey",
             domain, subDomain, key);
    return VOR_SUCCESS;
}

VORReturnCode vor_freeLibRef(void** inRef) {
    if (inRef == nullptr) {
        VOR_ERROR(kComponent, "Invalid arguments to vor_freeLibRef");
        return VOR_FAILURE;
    }
    if (*inRef != nullptr) {
        auto* ref = static_cast<VORLibStruct*>(*inRef);
        if (ref->session.opd_closeSession() != OPD_SUCCESS) {
            VOR_ERROR(kComponent, "Failed in closing vor db session, vor can not be released in vor_freeLibRef");
            return VOR_FAILURE;
        }
        if (ref->records != nullptr) {
            _vor_freeRecordData(&ref->records);
        }
        delete ref;
        *inRef = nullptr;
    }
    VOR_INFO(kComponent, "Released VOR refrence successfully in vor_freeLibRef");
    return VOR_SUCCESS;
}
