// Handles over the dictionary and ZString classes for the bootstrapper.
#include "localization/ZDictFlat.h"

using quirra_private::ZString;
using quirra_private::ZStringDictionary;

void zstrModuleInit() {}

void zdictCreate(ZDictHandle dictionary) { *dictionary = new ZStringDictionary(); }

void zdictDestroy(ZDictHandle dictionary) {
    if (dictionary != nullptr) delete *dictionary;
}

void zdictLoad(ZDictHandle dictionary, std::istream& in) {
    if (dictionary != nullptr && *dictionary != nullptr) (*dictionary)->load(in);
}

void zdictLookup(ZStringHandle result, ZDictHandle dictionary, const char* keyString, const uint32_t* selector) {
    if (dictionary == nullptr || *dictionary == nullptr) {
        *result = new ZString();
        return;
    }
    const ZString found = (*dictionary)->lookup(keyString, selector);
    zstrCopyNew(result, &found);
}

void zstrCreate(ZStringHandle result) { *result = new ZString(); }

void zstrCopyNew(ZStringHandle result, const ZString* source) {
    *result = source != nullptr ? new ZString(*source) : new ZString();
}

void zstrAssign(ZStringHandle target, ZStringHandle source) {
    if (target == source || *target == nullptr || *source == nullptr) return;
    **target = **source;
}

void zstrDestroy(ZStringHandle string) {
    if (string != nullptr) delete *string;
}

uint32_t zstrLengthWithNul(ZStringHandle string) {
    return static_cast<uint32_t>((*string)->lengthWithTerminator());
}

void zstrCopyToBuffer(ZStringHandle string, char16_t* buffer, uint32_t capacity, uint8_t throwIfShort) {
    (*string)->copyToBuffer(buffer, capacity, throwIfShort != 0);
}
