// libFuzzer target: any bytes as a vor.db row's value, written as a foreign writer could, read through the decrypting
// API.
#include <sqlite3.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "settings/CryptEngine.h"
#include "settings/HexCodec.h"
#include "settings/VorLib.h"
#include "settings/VorLibStruct.h"
#include "tests/support/FuzzLogHome.h"

namespace {

void* store = nullptr;
sqlite3* foreign = nullptr;  // a second connection: the other writer

void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// The value the store itself would write for these plain bytes, "" when it cannot encrypt them.
std::string encrypted(const std::string& plain) {
    VORLibStruct::m_keysLock.acquireLock();
    const std::string key = !VORLibStruct::Key1.empty() ? VORLibStruct::Key1 : VORLibStruct::Key2;
    VORLibStruct::m_keysLock.freeLock();
    CryptEngine engine(CE_Unspecified, "");
    std::string hex;
    if (plain.empty() || !engine.initialize(CE_Unspecified, key) || engine.encrypt(plain, hex) != CE_OK) return {};
    return hex;
}

// Writes the row (D, S, K) with a value of the form the first byte picks.
bool writeRow(uint8_t form, const std::string& bytes) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(foreign,
                           "INSERT OR REPLACE INTO vor_data (domain, subDomain, key, value) VALUES ('D', 'S', 'K', ?)",
                           -1, &statement, nullptr) != SQLITE_OK)
        fail("the foreign writer cannot prepare");
    const std::string cipher = form % 6 == 2 ? encrypted(bytes) : std::string();
    const std::string hex = form % 6 == 3 ? hexTextOf(bytes) : std::string();
    switch (form % 6) {
        case 0: sqlite3_bind_text(statement, 1, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT); break;
        case 1: sqlite3_bind_blob(statement, 1, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT); break;
        case 2:
            sqlite3_bind_text(statement, 1, cipher.data(), static_cast<int>(cipher.size()), SQLITE_TRANSIENT);
            break;
        case 3: sqlite3_bind_text(statement, 1, hex.data(), static_cast<int>(hex.size()), SQLITE_TRANSIENT); break;
        case 4: sqlite3_bind_null(statement, 1); break;
        default:
            sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(std::strtoll(bytes.c_str(), nullptr, 10)));
            break;
    }
    const int step = sqlite3_step(statement);
    sqlite3_finalize(statement);
    return step == SQLITE_DONE;
}

bool rowExists() {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(foreign, "SELECT 1 FROM vor_data WHERE domain = 'D' AND subDomain = 'S' AND key = 'K'", -1,
                       &statement, nullptr);
    const bool found = sqlite3_step(statement) == SQLITE_ROW;
    sqlite3_finalize(statement);
    return found;
}

// Reads the value the way a caller does: its size, then into a buffer of that size; "" when none is given.
std::string readBack(bool decrypt) {
    std::int32_t size = 0;
    const VORReturnCode sized = vor_getValueForKey(store, "D", "S", "K", nullptr, &size, decrypt);
    if (sized == VOR_UNDECRYPTABLE) {
        if (rowExists()) fail("an undecryptable value was kept");
        return {};
    }
    if (sized != VOR_SUCCESS) return {};
    if (size < 1) fail("a size below one for a value found");
    std::vector<char> buffer(static_cast<size_t>(size) + 1, '\x7f');
    char* out = buffer.data();
    std::int32_t given = size;
    const VORReturnCode read = vor_getValueForKey(store, "D", "S", "K", &out, &given, decrypt);
    if (read != VOR_SUCCESS) fail("a value whose size was given could not be read");
    if (given != size || buffer[static_cast<size_t>(size) - 1] != '\0' || buffer[static_cast<size_t>(size)] != '\x7f')
        fail("the value does not fill exactly the size given");
    return std::string(buffer.data());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where the system has it: every write of the store waits for its file to be synced.
    char base[] = "/dev/shm/vor-fuzz-XXXXXX";
    char fallback[] = "/tmp/vor-fuzz-XXXXXX";
    if (::mkdtemp(base) == nullptr && ::mkdtemp(std::strcpy(base, fallback)) == nullptr) std::abort();
    static const std::string folder = base;
    std::atexit([] { std::filesystem::remove_all(folder); });
    test_support::useFuzzLogHome();
    const std::string path = std::string(base) + "/vor.db";
    store = vor_createLibRef(path.c_str());
    if (store == nullptr || sqlite3_open(path.c_str(), &foreign) != SQLITE_OK) fail("no store to fuzz");
    sqlite3_busy_timeout(foreign, 5000);
    sqlite3_exec(foreign, "PRAGMA synchronous = OFF", nullptr, nullptr, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (writeRow(data[0], bytes)) {
        const std::string read = readBack(false);
        if (data[0] % 6 == 0 && bytes.find('\0') == std::string::npos && read != bytes)
            fail("a text value reads back otherwise");
    }
    if (writeRow(data[0], bytes)) readBack(true);
    // What the store accepts from its own caller, it gives back.
    const std::string text = bytes.substr(0, bytes.find('\0'));
    if (vor_setValueForKey(store, "D", "S", "K", text.c_str()) == VOR_SUCCESS && readBack(true) != text)
        fail("a value the store accepted reads back otherwise");
    return 0;
}
