// The settings store's session on its SQLite file "vor.db": schema, records and recovery.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

enum OpdStatus : int {
    OPD_SUCCESS = 0,
    OPD_NOT_INITIALIZED = 1,
    OPD_NO_MEMORY = 3,
    OPD_IO_ERROR = 4,
    OPD_CONSTRAINT = 6,
    OPD_NOT_FOUND = 8,
    OPD_INVALID_ARGUMENTS = 10,
    OPD_PERMISSION = 11,
    OPD_FAILED = 12,
    OPD_BUSY = 14,
    OPD_FILE_MISSING = 17,
    OPD_CORRUPT = 18,
    OPD_TRANSACTION = 19,
};

// The one mapping of SQLite result codes (primary or extended) onto session statuses.
OpdStatus opdStatusFromSqlite(int sqliteCode);

// One record as read back; fields the query did not select stay empty.
struct vorData {
    std::string domain;
    std::string subDomain;
    std::string key;
    std::string value;
};

// How long a busy database is waited for: SQLite's own timeout, then whole retries.
struct VorBusyPolicy {
    int busyTimeoutMs = 2000;
    int attempts = 6;
    unsigned int retrySleepMicros = 500000;
};

class vorDb {
public:
    vorDb() = default;
    ~vorDb();
    vorDb(const vorDb&) = delete;
    vorDb& operator=(const vorDb&) = delete;

    OpdStatus opd_openSession(const std::string& path);
    OpdStatus opd_initDbWithPath(const std::string& path, bool create);
    OpdStatus opd_createUpdateDb();
    OpdStatus opd_createOPDSchema();
    OpdStatus opd_updateOPDSchema();
    OpdStatus opd_getOpdSchemaVersion(std::string& schemaVersion, std::string& compatibilityVersion);

    OpdStatus opd_setValueWithFields(const std::string& domain, const std::string& subDomain, const std::string& key,
                                     const std::string& value);
    OpdStatus opd_getRecordsWithFields(const std::vector<std::string>& columns, const std::string& domain,
                                       const std::string& subDomain, const std::string& key,
                                       std::vector<vorData>& outRecords);
    // An empty key removes every key of the domain and subDomain.
    OpdStatus opd_deleteRecordWithFields(const std::string& domain, const std::string& subDomain,
                                         const std::string& key);

    OpdStatus opd_beginTransaction(const std::string& name);
    OpdStatus opd_endTransaction(const std::string& name);
    OpdStatus opd_rollbackTransaction(const std::string& name);

    OpdStatus opd_closeSession();
    OpdStatus opd_checkDBfileWriteable();
    OpdStatus opd_tryDBDeleteRecreate();
    OpdStatus opd_consumeRecreatedDB();
    bool opd_isInitialized() const { return m_db != nullptr; }

    const std::string& path() const { return m_dbPath; }
    bool recreatePending() const { return m_recreatePending; }

    // The first permission failure of a write in the process replaces the file.
    static bool m_RecreateFileOnPermIssue;

    // The store's defaults unless a test shortened them (settings::testing::setBusyPolicy).
    static VorBusyPolicy busyPolicy();

private:
    OpdStatus runTransactionalWrite(const std::string& sql, const char* operation);

    sqlite3* m_db = nullptr;
    std::string m_dbPath;
    bool m_recreatePending = false;
};

// Runs a statement; the text of each row's columns goes to out (the last one wins).
OpdStatus executeGeneralSQLQuery(sqlite3* db, const std::string& sql, std::string* out);
OpdStatus executeVorDataSQLQuery(sqlite3* db, const std::string& sql, std::vector<vorData>& out);

// Appends "WHERE domain = 'D' AND subDomain = 'S' AND key = 'K'" for the non-empty fields.
void createWhereClause(const std::string& domain, const std::string& subDomain, const std::string& key,
                       std::string& statement);

// Gives an existing file the store's mode (0600: it holds credentials); 0 or -1.
int setFileAttributesToDefault(const std::string& path);

// The text between single quotes in a statement, its quotes doubled.
std::string sqlQuoted(const std::string& text);
