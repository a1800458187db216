// The vor.db session: SQLite statements, status mapping, schema and recovery.
#include "settings/VorDb.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/Mutex.h"
#include "settings/SettingsLog.h"
#include "settings/TestSeams.h"

bool vorDb::m_RecreateFileOnPermIssue = true;

namespace {

constexpr const char* kComponent = "VOR";
constexpr const char* kSchemaVersion = "1";
constexpr mode_t kDatabaseMode = 0600;
constexpr mode_t kFolderMode = 0755;

constexpr const char* kCreateDataTable =
    "CREATE TABLE IF NOT EXISTS vor_data ( domain varchar(25), subDomain varchar(25), key varchar(100), value "
    "TEXT, PRIMARY KEY (domain, subDomain, key) );";
constexpr const char* kCreateMetaTable =
    "CREATE TABLE IF NOT EXISTS vor_meta ( key varchar(25), value TEXT, constraint pk PRIMARY KEY (key) )";

platform::Mutex& policyMutex() {
    static platform::Mutex mutex;
    return mutex;
}

VorBusyPolicy& currentPolicy() REQUIRES(policyMutex()) {
    static VorBusyPolicy policy;
    return policy;
}

bool fileExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
}

// Removes the database and its rollback journal: a hot journal left beside a recreated
// file would be rolled into it. No file there counts as success; a folder is not touched.
bool deleteDatabaseFiles(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        return true;
    }
    bool deleted = true;
    for (const std::string& file : {path, path + "-journal"}) {
        if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
            VOR_ERROR(kComponent, "Error in deleting %s. error %s", file.c_str(), std::strerror(errno));
            deleted = false;
        }
    }
    return deleted;
}

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return std::string();
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Makes the folder and its missing parents with mode 0755, owned like the nearest
// existing ancestor (so a root process leaves a user's folders to that user).
bool createFoldersLikeParent(const std::string& folder) {
    if (folder.empty()) {
        return false;
    }
    struct stat status {};
    if (::stat(folder.c_str(), &status) == 0) {
        return S_ISDIR(status.st_mode);
    }
    std::string parent = folderOf(folder);
    if (parent.empty() || parent == folder || !createFoldersLikeParent(parent)) {
        return false;
    }
    if (::mkdir(folder.c_str(), kFolderMode) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat parentStatus {};
    if (::lstat(parent.c_str(), &parentStatus) == 0 && !S_ISLNK(parentStatus.st_mode) && ::geteuid() == 0 &&
        ::chown(folder.c_str(), parentStatus.st_uid, parentStatus.st_gid) != 0) {
        return false;
    }
    return ::chmod(folder.c_str(), kFolderMode) == 0;
}

// Busy, out of memory and I/O trouble are passing states of a good file: keep it.
bool statusCallsForRecreation(OpdStatus status) {
    return status != OPD_SUCCESS && status != OPD_BUSY && status != OPD_NO_MEMORY && status != OPD_IO_ERROR;
}

int sqlValueStringCallback(void* context, int columns, char** values, char**) {
    auto* out = static_cast<std::string*>(context);
    if (out != nullptr && columns > 0 && values != nullptr) {
        for (int i = 0; i < columns; ++i) {
            *out = values[i] != nullptr ? values[i] : "";
        }
    }
    return 0;
}

int sqlVorDataCallback(void* context, int columns, char** values, char** names) {
    auto* out = static_cast<std::vector<vorData>*>(context);
    if (names == nullptr || values == nullptr || columns < 1 || names[0] == nullptr) {
        VOR_WARN(kComponent, "Invalid arguments to sqlVorDataCallback");
        return 0;
    }
    vorData record;
    bool filled = false;
    for (int i = 0; i < columns; ++i) {
        if (names[i] == nullptr || values[i] == nullptr) {
            continue;
        }
        std::string name = names[i];
        std::string* field = name == "domain"      ? &record.domain
                             : name == "subDomain" ? &record.subDomain
                             : name == "key"       ? &record.key
                             : name == "value"     ? &record.value
                                                   : nullptr;
        if (field != nullptr) {
            *field = values[i];
            filled = true;
        }
    }
    if (filled) {
        out->push_back(std::move(record));
    }
    return 0;
}

// sqlite3_exec with the store's busy retries on top of SQLite's own busy timeout.
OpdStatus execWithRetries(sqlite3* db, const std::string& sql, int (*callback)(void*, int, char**, char**),
                          void* context, const char* firstWarning) {
    const VorBusyPolicy policy = vorDb::busyPolicy();
    int rc = SQLITE_OK;
    for (int attempt = 0; attempt < policy.attempts; ++attempt) {
        if (attempt > 0) {
            ::usleep(policy.retrySleepMicros);
        }
        rc = sqlite3_exec(db, sql.c_str(), callback, context, nullptr);
        if ((rc & 0xff) != SQLITE_BUSY) {
            break;
        }
    }
    OpdStatus status = opdStatusFromSqlite(rc);
    if (status != OPD_SUCCESS) {
        VOR_WARN(kComponent, firstWarning, rc, sqlite3_errmsg(db));
        VOR_WARN(kComponent, "Sql Query Failed %s.", sql.c_str());
    }
    return status;
}

}  // namespace

OpdStatus opdStatusFromSqlite(int sqliteCode) {
    switch (sqliteCode & 0xff) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE: return OPD_SUCCESS;
        case SQLITE_NOMEM: return OPD_NO_MEMORY;
        case SQLITE_IOERR:
        case SQLITE_FULL: return OPD_IO_ERROR;
        case SQLITE_CONSTRAINT: return OPD_CONSTRAINT;
        case SQLITE_NOTFOUND:
        case SQLITE_EMPTY: return OPD_NOT_FOUND;
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN:
        case SQLITE_AUTH: return OPD_PERMISSION;
        case SQLITE_BUSY: return OPD_BUSY;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB: return OPD_CORRUPT;
        default: return OPD_FAILED;
    }
}

std::string sqlQuoted(const std::string& text) {
    char* escaped = sqlite3_mprintf("%q", text.c_str());
    if (escaped == nullptr) {
        return std::string();
    }
    std::string result = escaped;
    sqlite3_free(escaped);
    return result;
}

OpdStatus executeGeneralSQLQuery(sqlite3* db, const std::string& sql, std::string* out) {
    if (db == nullptr || sql.empty()) {
        return OPD_INVALID_ARGUMENTS;
    }
    return execWithRetries(db, sql, sqlValueStringCallback, out,
                           "Error could not executeGeneralSQLQuery. error :%d errorMsg: %s");
}

OpdStatus executeVorDataSQLQuery(sqlite3* db, const std::string& sql, std::vector<vorData>& out) {
    if (db == nullptr || sql.empty()) {
        VOR_WARN(kComponent, "Invalid arguments to executeVorDataSQLQuery");
        return OPD_INVALID_ARGUMENTS;
    }
    return execWithRetries(db, sql, sqlVorDataCallback, &out,
                           "Error could not executeGeneralSQLQuery. error :%d errorMsg:%s");
}

void createWhereClause(const std::string& domain, const std::string& subDomain, const std::string& key,
                       std::string& statement) {
    if (domain.empty() && subDomain.empty() && key.empty()) {
        VOR_DEBUG(kComponent, "since all where clauses are empty, not required to create where clause");
        return;
    }
    statement += "WHERE ";
    bool first = true;
    for (const auto& [name, text] :
         {std::pair<const char*, const std::string&>{"domain", domain}, {"subDomain", subDomain}, {"key", key}}) {
        if (text.empty()) {
            continue;
        }
        if (!first) {
            statement += " AND ";
        }
        statement += std::string(name) + " = '" + sqlQuoted(text) + "'";
        first = false;
    }
}

int setFileAttributesToDefault(const std::string& path) {
    if (path.empty()) {
        VOR_INFO(kComponent, "Invalid arguments to setFileAttributesToDefault");
        return -1;
    }
    if (!fileExists(path)) {
        VOR_INFO(kComponent, "File Path :%s does not exist", path.c_str());
        return 0;
    }
    if (::chmod(path.c_str(), kDatabaseMode) != 0) {
        VOR_INFO(kComponent, "Failed to set default attributes for File :%s error:%d ", path.c_str(), errno);
        return -1;
    }
    return 0;
}

void settings::testing::setBusyPolicy(const VorBusyPolicy& policy) {
    platform::MutexLock guard(policyMutex());
    currentPolicy() = policy;
}

VorBusyPolicy vorDb::busyPolicy() {
    platform::MutexLock guard(policyMutex());
    return currentPolicy();
}

vorDb::~vorDb() {
    opd_closeSession();
    m_db = nullptr;
}

OpdStatus vorDb::opd_openSession(const std::string& path) {
    if (opd_isInitialized()) {
        VOR_INFO(kComponent, "VOR db session is already initialized in opd_openSession");
        return OPD_SUCCESS;
    }
    OpdStatus status;
    if (fileExists(path)) {
        setFileAttributesToDefault(path);
        status = opd_initDbWithPath(path, false);
    } else {
        status = opd_initDbWithPath(path, true);
    }
    if (statusCallsForRecreation(status) && deleteDatabaseFiles(path)) {
        VOR_INFO(kComponent,
                 "Deleted vor.db file with incorrect permissions now recreating one with default permissions");
        status = opd_initDbWithPath(path, true);
    }
    return status;
}

OpdStatus vorDb::opd_initDbWithPath(const std::string& path, bool create) {
    if (path.empty()) {
        return OPD_INVALID_ARGUMENTS;
    }
    const bool existed = fileExists(path);
    if (!existed && !create) {
        VOR_WARN(kComponent, "database is not present at path:%s", path.c_str());
        return OPD_FILE_MISSING;
    }
    if (!existed) {
        std::string folder = folderOf(path);
        if (folder.empty()) {
            VOR_ERROR(kComponent, "Failed in removing db name from its path");
            return OPD_FILE_MISSING;
        }
        if (!createFoldersLikeParent(folder)) {
            VOR_ERROR(kComponent, "Failed in directory creation at path");
            return OPD_FILE_MISSING;
        }
    }

    sqlite3* db = nullptr;
    int rc = sqlite3_open(path.c_str(), &db);
    if (rc != SQLITE_OK) {
        OpdStatus status = opdStatusFromSqlite(rc);
        VOR_WARN(kComponent, "Failed in opening vor database error:%d  errorMsg:%s", rc,
                 db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);  // a failed open still hands back a handle
        if (statusCallsForRecreation(status)) {
            deleteDatabaseFiles(path);
        }
        return status;
    }
    if (!existed) {
        setFileAttributesToDefault(path);
    }
    if (sqlite3_busy_timeout(db, busyPolicy().busyTimeoutMs) != SQLITE_OK) {
        VOR_WARN(kComponent, "Failed in setting timeout for the database");
    }

    sqlite3* previous = m_db;
    m_db = db;
    OpdStatus status = opd_createUpdateDb();
    if (status != OPD_SUCCESS) {
        if (sqlite3_close(db) != SQLITE_OK) {
            VOR_WARN(kComponent, "Failed in closing sqlite db in opd_initDbWithPath");
        }
        m_db = previous;
        if (statusCallsForRecreation(status)) {
            deleteDatabaseFiles(path);
        }
        return status;
    }
    // The file exists now whatever the umask gave it.
    setFileAttributesToDefault(path);
    m_dbPath = path;
    return OPD_SUCCESS;
}

OpdStatus vorDb::opd_createUpdateDb() {
    if (!opd_isInitialized()) {
        VOR_WARN(kComponent, "VOR db is not initialized in opd_createUpdateDb");
        return OPD_NOT_INITIALIZED;
    }
    std::string count;
    OpdStatus status = executeGeneralSQLQuery(m_db, "select count(*) from sqlite_master", &count);
    if (status != OPD_SUCCESS) {
        // The cause decides whether the file is kept, so it is passed on, not folded into 12.
        VOR_WARN(kComponent, "Failed in looking for vor_data table");
        return status;
    }
    return count == "0" ? opd_createOPDSchema() : opd_updateOPDSchema();
}

OpdStatus vorDb::opd_createOPDSchema() {
    if (!opd_isInitialized()) {
        VOR_WARN(kComponent, "VOR db is not initialized in opd_createOPDSchema");
        return OPD_NOT_INITIALIZED;
    }
    const std::string name = "CREATE DB";
    OpdStatus status = opd_beginTransaction(name);
    if (status != OPD_SUCCESS) {
        VOR_WARN(kComponent, "Failed in begin db create transaction");
        return status;
    }
    status = executeGeneralSQLQuery(m_db, kCreateDataTable, nullptr);
    if (status != OPD_SUCCESS) {
        VOR_WARN(kComponent, "Failed in create vor_data table creation");
    } else {
        status = executeGeneralSQLQuery(m_db, kCreateMetaTable, nullptr);
        if (status != OPD_SUCCESS) {
            VOR_WARN(kComponent, "Failed in create vor_meta table creation");
        }
    }
    if (status == OPD_SUCCESS) {
        status = executeGeneralSQLQuery(m_db,
                                        std::string("INSERT OR REPLACE INTO ") +
                                            "vor_meta (key,value) VALUES ('schema_version','" + kSchemaVersion + "')",
                                        nullptr);
    }
    if (status == OPD_SUCCESS) {
        status = executeGeneralSQLQuery(m_db,
                                        std::string("INSERT OR REPLACE INTO ") +
                                            "vor_meta (key,value) VALUES ('schema_compatibility_version','" +
                                            kSchemaVersion + "')",
                                        nullptr);
    }
    if (status != OPD_SUCCESS) {
        opd_rollbackTransaction(name);
        return status;
    }
    status = opd_endTransaction(name);
    if (status != OPD_SUCCESS) {
        // A transaction left open would make every later BEGIN fail.
        VOR_WARN(kComponent, "Failed in end vor db creation");
        opd_rollbackTransaction(name);
    }
    return status;
}

OpdStatus vorDb::opd_updateOPDSchema() {
    if (!opd_isInitialized()) {
        VOR_WARN(kComponent, "VOR db is not initialized in opd_updateOPDSchema");
        return OPD_NOT_INITIALIZED;
    }
    std::string schemaVersion, compatibilityVersion;
    OpdStatus status = opd_getOpdSchemaVersion(schemaVersion, compatibilityVersion);
    if (status != OPD_SUCCESS) {
        VOR_WARN(kComponent, "Failed in retreiving the current db version");
        return status;
    }
    if (std::atoi(schemaVersion.c_str()) < 1 || std::atoi(compatibilityVersion.c_str()) < 1) {
        VOR_INFO(kComponent,
                 "Db version is less than the version expected by library, functionality not implemented yet");
    } else {
        VOR_INFO(kComponent, "Schema version and schema compatibility version are same or greater than current\n");
    }
    return OPD_SUCCESS;
}

OpdStatus vorDb::opd_getOpdSchemaVersion(std::string& schemaVersion, std::string& compatibilityVersion) {
    if (!opd_isInitialized()) {
        VOR_WARN(kComponent, "VOR db is not initialized in opd_getOpdSchemaVersion");
        return OPD_NOT_INITIALIZED;
    }
    OpdStatus status =
        executeGeneralSQLQuery(m_db, "SELECT value FROM vor_meta WHERE key='schema_version'", &schemaVersion);
    if (status == OPD_SUCCESS) {
        status = executeGeneralSQLQuery(m_db, "SELECT value FROM vor_meta WHERE key='schema_compatibility_version'",
                                        &compatibilityVersion);
    }
    return status;
}

OpdStatus vorDb::opd_setValueWithFields(const std::string& domain, const std::string& subDomain, const std::string& key,
                                        const std::string& value) {
    if (!opd_isInitialized()) {
        VOR_WARN(kComponent, "VOR db is not initialized in opd_setValueWithFields");
        return OPD_NOT_INITIALIZED;
    }
    if (domain.empty() || subDomain.empty() || key.empty()) {
        VOR_WARN(kComponent, "Invalid arguments to opd_setValueWithFields");
        return OPD_INVALID_ARGUMENTS;
    }
    const std::string name = "setValueTransaction";
    OpdStatus status = opd_beginTransaction(name);
    if (status != OPD_SUCCESS) {
        VOR_ERROR(kComponent, "Failed in begin set transaction in opd_setValueWithFields with error as : %d", status);
        return OPD_TRANSACTION;
    }
    status = executeGeneralSQLQuery(
        m_db,
        std::string("INSERT OR REPLACE INTO ") + "vor_data (domain, subDomain, key, value) VALUES ('" +
            sqlQuoted(domain) + "','" + sqlQuoted(subDomain) + "','" + sqlQuoted(key) + "','" + sqlQuoted(value) + "')",
        nullptr);
    if (status == OPD_PERMISSION && m_RecreateFileOnPermIssue) {
        m_RecreateFileOnPermIssue = false;
        VOR_INFO(kComponent, "Permission issue while setting value in database");
        opd_rollbackTransaction(name);
        if (sqlite3_close(m_db) != SQLITE_OK) {
            VOR_ERROR(kComponent, "Failed in closing the database");
            return OPD_PERMISSION;
        }
        m_db = nullptr;
        if (deleteDatabaseFiles(m_dbPath)) {
            VOR_INFO(kComponent,
                     "Deleted vor.db file with incorrect permissions now recreating one with default permissions");
            opd_initDbWithPath(m_dbPath, true);
        } else {
            VOR_ERROR(kComponent, "Failed in deleting the database file");
        }
        return OPD_PERMISSION;
    }
    if (status != OPD_SUCCESS) {
        VOR_ERROR(kComponent, "Failed in setting value for key in opd_setValueWithFields with error as : %d", status);
        if (opd_rollbackTransaction(name) != OPD_SUCCESS) {
            VOR_ERROR(kComponent, "Failed in rollback set transaction in opd_setValueWithFields");
        }
        return status;
    }
    if (opd_endTransaction(name) != OPD_SUCCESS) {
        VOR_ERROR(kComponent, "Failed in end set transaction in opd_setValueWithFields with error: %d",
                  OPD_TRANSACTION);
        opd_rollbackTransaction(name);  // never leave the transaction open
        return OPD_TRANSACTION;
    }
    return OPD_SUCCESS;
}

OpdStatus vorDb::opd_getRecordsWithFields(const std::vector<std::string>& columns, const std::string& domain,
                                          const std::string& subDomain, const std::string& key,
                                          std::vector<vorData>& outRecords) {
    if (columns.empty()) {
        VOR_WARN(kComponent, "Invalid arguments to opd_getRecordsWithFields");
        return OPD_INVALID_ARGUMENTS;
    }
    std::string statement = "SELECT ";
    for (size_t i = 0; i < columns.size(); ++i) {
        const std::string& column = columns[i];
        // Column names are spliced as they are, so only the table's own are taken.
        if (column != "domain" && column != "subDomain" && column != "key" && column != "value") {
            VOR_WARN(kComponent, "Invalid arguments to opd_getRecordsWithFields");
            return OPD_INVALID_ARGUMENTS;
        }
        statement += (i > 0 ? "," : "") + column;
    }
    if (!opd_isInitialized()) {
        return OPD_NOT_INITIALIZED;
    }
    statement += " FROM  vor_data ";
    createWhereClause(domain, subDomain, key, statement);
    return executeVorDataSQLQuery(m_db, statement, outRecords);
}

OpdStatus vorDb::opd_deleteRecordWithFields(const std::string& domain, const std::string& subDomain,
                                            const std::string& key) {
    if (!opd_isInitialized()) {
        VOR_WARN(kComponent, "VOR db is not initialized in opd_deleteRecordWithFields");
        return OPD_NOT_INITIALIZED;
    }
    if (domain.empty() || subDomain.empty()) {
        VOR_WARN(kComponent, "Invalid arguments to opd_deleteRecordWithFields");
        return OPD_INVALID_ARGUMENTS;
    }
    std::string sql = "DELETE FROM vor_data WHERE domain='" + sqlQuoted(domain) + "' AND " + "subDomain='" +
                      sqlQuoted(subDomain) + "'";
    if (!key.empty()) {
        sql += " AND key='" + sqlQuoted(key) + "'";
    }
    return runTransactionalWrite(sql, "opd_deleteRecordWithFields");
}

OpdStatus vorDb::runTransactionalWrite(const std::string& sql, const char* operation) {
    const std::string name = "setValueTransaction";
    if (opd_beginTransaction(name) != OPD_SUCCESS) {
        VOR_ERROR(kComponent, "Failed in begin set transaction in %s with error as : %d", operation, OPD_TRANSACTION);
        return OPD_TRANSACTION;
    }
    OpdStatus status = executeGeneralSQLQuery(m_db, sql, nullptr);
    if (status != OPD_SUCCESS) {
        VOR_ERROR(kComponent, "Failed in setting value for key in %s with error as : %d", operation, status);
        if (opd_rollbackTransaction(name) != OPD_SUCCESS) {
            VOR_ERROR(kComponent, "Failed in rollback set transaction in %s", operation);
        }
        return status;
    }
    if (opd_endTransaction(name) != OPD_SUCCESS) {
        VOR_ERROR(kComponent, "Failed in end set transaction in %s with error: %d", operation, OPD_TRANSACTION);
        opd_rollbackTransaction(name);
        return OPD_TRANSACTION;
    }
    return OPD_SUCCESS;
}

namespace {

OpdStatus runTransactionStatement(sqlite3* db, const char* keyword, const std::string& name) {
    if (db == nullptr) {
        VOR_WARN(kComponent, "VOR db is not initialized in opd_beginTransaction");
        return OPD_NOT_INITIALIZED;
    }
    if (name.empty()) {
        VOR_WARN(kComponent, "Invalid arguments to opd begin transaction");
        return OPD_INVALID_ARGUMENTS;
    }
    return executeGeneralSQLQuery(db, std::string(keyword) + "\"" + name + "\"", nullptr);
}

}  // namespace

OpdStatus vorDb::opd_beginTransaction(const std::string& name) {
    return runTransactionStatement(m_db, "BEGIN TRANSACTION ", name);
}

OpdStatus vorDb::opd_endTransaction(const std::string& name) {
    return runTransactionStatement(m_db, "END TRANSACTION ", name);
}

OpdStatus vorDb::opd_rollbackTransaction(const std::string& name) {
    return runTransactionStatement(m_db, "ROLLBACK TRANSACTION ", name);
}

OpdStatus vorDb::opd_closeSession() {
    if (m_db == nullptr) {
        return OPD_SUCCESS;
    }
    const VorBusyPolicy policy = busyPolicy();
    int rc = SQLITE_OK;
    for (int attempt = 0; attempt < policy.attempts; ++attempt) {
        if (attempt > 0) {
            ::usleep(policy.retrySleepMicros);
        }
        rc = sqlite3_close(m_db);
        if (rc != SQLITE_BUSY) {
            break;
        }
    }
    if (rc != SQLITE_OK) {
        VOR_WARN(kComponent, "Failed to close vor database with sqliteCloseStatus as %d", rc);
        return opdStatusFromSqlite(rc);
    }
    m_db = nullptr;
    return OPD_SUCCESS;
}

OpdStatus vorDb::opd_checkDBfileWriteable() {
    OpdStatus status = opd_setValueWithFields("DummyDomain", "DummySubDomain", "DummyKey", "DummyValue");
    if (status == OPD_SUCCESS &&
        opd_deleteRecordWithFields("DummyDomain", "DummySubDomain", "DummyKey") != OPD_SUCCESS) {
        VOR_INFO(kComponent, "Failed to delete dummy record entered in vor.db");
    }
    return status;
}

OpdStatus vorDb::opd_tryDBDeleteRecreate() {
    // A session whose file is waiting to be replaced has no handle but still knows its path.
    if (!opd_isInitialized() && !(m_recreatePending && !m_dbPath.empty())) {
        VOR_WARN(kComponent, "VOR db is not initialized in opd_tryDBDeleteRecreate");
        return OPD_NOT_INITIALIZED;
    }
    OpdStatus closeStatus = opd_closeSession();
    if (closeStatus != OPD_SUCCESS) {
        // Deleting under a live handle would leave it writing into an unlinked file.
        VOR_WARN(kComponent, "VOR db session closing failed in opd_tryDBDeleteRecreate with opdStatus: %d ",
                 closeStatus);
        m_recreatePending = true;
        return OPD_CORRUPT;
    }
    if (!deleteDatabaseFiles(m_dbPath)) {
        m_recreatePending = true;
        VOR_INFO(
            kComponent,
            "Deletion of corrup vor.db file failed in opd_tryDBDeleteRecreate - there might be other open handles");
        return OPD_CORRUPT;
    }
    VOR_INFO(kComponent, "Deleted corrupted vor.db file successfully in opd_tryDBDeleteRecreate");
    OpdStatus status = opd_initDbWithPath(m_dbPath, true);
    if (status != OPD_SUCCESS) {
        m_recreatePending = true;
        VOR_INFO(kComponent, "failed in recreating DB after corrupted DB deletion in opd_tryDBDeleteRecreate");
        return status;
    }
    m_recreatePending = false;
    return OPD_SUCCESS;
}

OpdStatus vorDb::opd_consumeRecreatedDB() {
    if (!m_recreatePending) {
        VOR_TRACE(kComponent, "Sqlite db is already properly initialized so opd_consumeRecreatedDB is a no-op");
        return OPD_SUCCESS;
    }
    if (!opd_isInitialized() && opd_initDbWithPath(m_dbPath, false) == OPD_SUCCESS &&
        opd_checkDBfileWriteable() == OPD_SUCCESS) {
        m_recreatePending = false;
        return OPD_SUCCESS;
    }
    VOR_TRACE(kComponent, "failed in opd_initDbWithPath in opd_consumeRecreatedDB");
    return opd_tryDBDeleteRecreate();
}
