// The flat handle interface of the string dictionary and its strings.
#pragma once

#include <cstdint>
#include <istream>

#include "localization/ZString.h"
#include "localization/ZStringDictionary.h"

using ZStringHandle = quirra_private::ZString**;
using ZDictHandle = quirra_private::ZStringDictionary**;

// Does nothing; each module that uses the interface calls it from its static initialisation.
void zstrModuleInit();

void zdictCreate(ZDictHandle dictionary);
// Frees the dictionary; the caller's variable keeps its old value.
void zdictDestroy(ZDictHandle dictionary);
void zdictLoad(ZDictHandle dictionary, std::istream& in);
// Stores a new string with the key string's value or default text; the caller destroys it.
void zdictLookup(ZStringHandle result, ZDictHandle dictionary, const char* keyString, const uint32_t* selector);

void zstrCreate(ZStringHandle result);
void zstrCopyNew(ZStringHandle result, const quirra_private::ZString* source);
void zstrAssign(ZStringHandle target, ZStringHandle source);
void zstrDestroy(ZStringHandle string);
uint32_t zstrLengthWithNul(ZStringHandle string);
// At most capacity - 1 units and a 0; throws 'BUFF' after copying when short and asked to.
void zstrCopyToBuffer(ZStringHandle string, char16_t* buffer, uint32_t capacity, uint8_t throwIfShort);
