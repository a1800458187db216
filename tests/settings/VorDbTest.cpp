// The vor.db session against real files: schema, records, damaged and busy databases,
// with the sqlite3 command-line tool as an independent reader.
#include "settings/TestSeams.h"
#include "settings/VorDb.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "tests/settings/SettingsTestSupport.h"
#include "tests/support/TemporaryEnvironment.h"

namespace {

namespace fs = std::filesystem;

class VorDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = test_support::makeTemporaryFolder("vordb");
        path_ = folder_ + "/Zarvo/ZEZU/vor.db";
        vorDb::m_RecreateFileOnPermIssue = true;
        settings::testing::setBusyPolicy({50, 2, 10000});
    }
    void TearDown() override {
        settings::testing::setBusyPolicy(VorBusyPolicy{});
        test_support::removeTree(folder_);
    }

    std::string sqliteCli(const std::string& sql, const std::string& path) {
        int status = -1;
        std::string out = settings_test::runShell("sqlite3 -batch '" + path + "'", sql, status);
        EXPECT_EQ(status, 0) << sql;
        return out;
    }

    static mode_t modeOf(const std::string& path) {
        struct stat status {};
        EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
        return status.st_mode & 07777;
    }

    std::string value(vorDb& db, const std::string& key) {
        std::vector<vorData> records;
        EXPECT_EQ(db.opd_getRecordsWithFields({"value"}, "D", "S", key, records), OPD_SUCCESS);
        return records.empty() ? "<none>" : records.front().value;
    }

    void expectFullSchema(const std::string& path) {
        EXPECT_EQ(sqliteCli("PRAGMA integrity_check;", path), "ok\n");
        const std::string schema = sqliteCli(".schema", path);
        EXPECT_NE(schema.find("CREATE TABLE vor_data ( domain varchar(25), subDomain varchar(25), key varchar(100), "
                              "value TEXT, PRIMARY KEY (domain, subDomain, key) );"),
                  std::string::npos)
            << schema;
        EXPECT_NE(schema.find("CREATE TABLE vor_meta ( key varchar(25), value TEXT, constraint pk PRIMARY KEY (key) )"),
                  std::string::npos)
            << schema;
        EXPECT_EQ(sqliteCli("SELECT key || '=' || value FROM vor_meta ORDER BY key;", path),
                  "schema_compatibility_version=1\nschema_version=1\n");
    }

    std::string folder_;
    std::string path_;
};

TEST_F(VorDbTest, NewFileGetsFoldersSchemaAndPrivateMode) {
    {
        vorDb db;
        ASSERT_EQ(db.opd_openSession(path_), OPD_SUCCESS);
        EXPECT_TRUE(db.opd_isInitialized());
        EXPECT_EQ(db.opd_closeSession(), OPD_SUCCESS);
        EXPECT_FALSE(db.opd_isInitialized());
    }
    EXPECT_EQ(modeOf(folder_ + "/Zarvo"), 0755u);
    EXPECT_EQ(modeOf(folder_ + "/Zarvo/ZEZU"), 0755u);
    EXPECT_EQ(modeOf(path_), 0600u);
    expectFullSchema(path_);

    ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
    vorDb again;
    ASSERT_EQ(again.opd_openSession(path_), OPD_SUCCESS);
    EXPECT_EQ(modeOf(path_), 0600u);
}

TEST_F(VorDbTest, RecordsAreWrittenReplacedAndDeleted) {
    vorDb db;
    ASSERT_EQ(db.opd_openSession(path_), OPD_SUCCESS);
    EXPECT_EQ(db.opd_setValueWithFields("D", "S", "K", "first"), OPD_SUCCESS);
    EXPECT_EQ(db.opd_setValueWithFields("D", "S", "K", "second"), OPD_SUCCESS);
    EXPECT_EQ(db.opd_setValueWithFields("D", "S", "empty", ""), OPD_SUCCESS);
    EXPECT_EQ(db.opd_setValueWithFields("D", "S", "it's", "a 'quoted'); DROP TABLE vor_data; --"), OPD_SUCCESS);
    EXPECT_EQ(db.opd_setValueWithFields("D", "Other", "K", "kept"), OPD_SUCCESS);
    EXPECT_EQ(value(db, "K"), "second");
    EXPECT_EQ(value(db, "empty"), "");
    EXPECT_EQ(value(db, "it's"), "a 'quoted'); DROP TABLE vor_data; --");
    EXPECT_EQ(value(db, "missing"), "<none>");
    EXPECT_EQ(sqliteCli("SELECT count(*) FROM vor_data WHERE key='K' AND subDomain='S';", path_), "1\n");

    std::vector<vorData> all;
    ASSERT_EQ(db.opd_getRecordsWithFields({"domain", "subDomain", "key", "value"}, "D", "", "", all), OPD_SUCCESS);
    EXPECT_EQ(all.size(), 4u);
    std::vector<vorData> none;
    EXPECT_EQ(db.opd_getRecordsWithFields({}, "D", "S", "K", none), OPD_INVALID_ARGUMENTS);
    EXPECT_EQ(db.opd_getRecordsWithFields({"value; DROP"}, "D", "S", "K", none), OPD_INVALID_ARGUMENTS);

    EXPECT_EQ(db.opd_setValueWithFields("", "S", "K", "v"), OPD_INVALID_ARGUMENTS);
    EXPECT_EQ(db.opd_deleteRecordWithFields("D", "", "K"), OPD_INVALID_ARGUMENTS);
    EXPECT_EQ(db.opd_deleteRecordWithFields("D", "S", ""), OPD_SUCCESS);  // every key of D/S
    EXPECT_EQ(value(db, "K"), "<none>");
    EXPECT_EQ(value(db, "it's"), "<none>");
    std::vector<vorData> other;
    ASSERT_EQ(db.opd_getRecordsWithFields({"value"}, "D", "Other", "K", other), OPD_SUCCESS);
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0].value, "kept");
    EXPECT_TRUE(other[0].key.empty());  // not selected

    EXPECT_EQ(db.opd_checkDBfileWriteable(), OPD_SUCCESS);
    EXPECT_EQ(sqliteCli("SELECT count(*) FROM vor_data WHERE domain='DummyDomain';", path_), "0\n");
    EXPECT_EQ(sqliteCli("PRAGMA integrity_check;", path_), "ok\n");
}

// A root process making the store's folders in a user's tree leaves them to that user.
TEST_F(VorDbTest, NewFoldersTakeTheOwnerOfTheirParent) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can give folders away";
    }
    const std::string userFolder = folder_ + "/user";
    fs::create_directories(userFolder);
    ASSERT_EQ(::chown(userFolder.c_str(), 65534, 65534), 0);
    vorDb db;
    ASSERT_EQ(db.opd_openSession(userFolder + "/Zarvo/ZEZU/vor.db"), OPD_SUCCESS);
    for (const std::string& made : {userFolder + "/Zarvo", userFolder + "/Zarvo/ZEZU"}) {
        struct stat status {};
        ASSERT_EQ(::stat(made.c_str(), &status), 0);
        EXPECT_EQ(status.st_uid, 65534u) << made;
        EXPECT_EQ(status.st_gid, 65534u) << made;
        EXPECT_EQ(status.st_mode & 07777, 0755u) << made;
    }
}

TEST_F(VorDbTest, ClosedSessionRefusesWork) {
    vorDb db;
    std::vector<vorData> records;
    EXPECT_EQ(db.opd_setValueWithFields("D", "S", "K", "v"), OPD_NOT_INITIALIZED);
    EXPECT_EQ(db.opd_getRecordsWithFields({"value"}, "D", "S", "K", records), OPD_NOT_INITIALIZED);
    EXPECT_EQ(db.opd_deleteRecordWithFields("D", "S", "K"), OPD_NOT_INITIALIZED);
    EXPECT_EQ(db.opd_tryDBDeleteRecreate(), OPD_NOT_INITIALIZED);
    EXPECT_EQ(db.opd_consumeRecreatedDB(), OPD_SUCCESS);
    EXPECT_EQ(db.opd_closeSession(), OPD_SUCCESS);
    EXPECT_EQ(db.opd_initDbWithPath(path_, false), OPD_FILE_MISSING);
    EXPECT_EQ(db.opd_initDbWithPath("", true), OPD_INVALID_ARGUMENTS);
}

// Each damaged file is replaced by a fresh database with the full schema, and its stale
// journal goes with it.
TEST_F(VorDbTest, DamagedFilesAreRecreated) {
    std::mt19937 random(7);
    std::string noise(8192, '\0');
    for (char& c : noise) c = static_cast<char>(random());

    struct Case {
        const char* name;
        std::function<void(const std::string&)> damage;
    };
    const std::vector<Case> cases = {
        {"random bytes", [&](const std::string& p) { std::ofstream(p, std::ios::binary) << noise; }},
        {"truncated",
         [&](const std::string& p) {
             vorDb db;
             ASSERT_EQ(db.opd_openSession(p), OPD_SUCCESS);
             for (int i = 0; i < 200; ++i)
                 db.opd_setValueWithFields("D", "S", "K" + std::to_string(i), noise.substr(0, 400));
             db.opd_closeSession();
             fs::resize_file(p, 4096 + 100);
         }},
        {"foreign schema",
         [&](const std::string& p) { sqliteCli("CREATE TABLE other (a, b); INSERT INTO other VALUES (1, 2);", p); }},
        {"text file", [&](const std::string& p) { std::ofstream(p) << "these are not the bytes of a database\n"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::removeTree(folder_ + "/Zarvo");
        fs::create_directories(folder_ + "/Zarvo/ZEZU");
        c.damage(path_);
        std::ofstream(path_ + "-journal", std::ios::binary) << noise.substr(0, 1024);
        vorDb db;
        ASSERT_EQ(db.opd_openSession(path_), OPD_SUCCESS);
        EXPECT_EQ(db.opd_setValueWithFields("D", "S", "K", "fresh"), OPD_SUCCESS);
        EXPECT_EQ(value(db, "K"), "fresh");
        db.opd_closeSession();
        EXPECT_FALSE(fs::exists(path_ + "-journal"));
        expectFullSchema(path_);
        EXPECT_EQ(sqliteCli("SELECT count(*) FROM sqlite_master WHERE name='other';", path_), "0\n");
    }
}

TEST_F(VorDbTest, CorruptionFoundLaterIsRecoveredByDeleteRecreate) {
    vorDb db;
    ASSERT_EQ(db.opd_openSession(path_), OPD_SUCCESS);
    ASSERT_EQ(db.opd_setValueWithFields("D", "S", "K", "v"), OPD_SUCCESS);
    EXPECT_EQ(db.opd_tryDBDeleteRecreate(), OPD_SUCCESS);
    EXPECT_TRUE(db.opd_isInitialized());
    EXPECT_FALSE(db.recreatePending());
    EXPECT_EQ(value(db, "K"), "<none>");
    db.opd_closeSession();
    expectFullSchema(path_);
}

TEST_F(VorDbTest, OldSchemaVersionIsOpenedAsItIs) {
    {
        vorDb db;
        ASSERT_EQ(db.opd_openSession(path_), OPD_SUCCESS);
        ASSERT_EQ(db.opd_setValueWithFields("D", "S", "K", "old"), OPD_SUCCESS);
    }
    sqliteCli("UPDATE vor_meta SET value='0';", path_);
    vorDb db;
    ASSERT_EQ(db.opd_openSession(path_), OPD_SUCCESS);
    std::string schema, compatibility;
    ASSERT_EQ(db.opd_getOpdSchemaVersion(schema, compatibility), OPD_SUCCESS);
    EXPECT_EQ(schema, "0");
    EXPECT_EQ(compatibility, "0");
    EXPECT_EQ(value(db, "K"), "old");
}

// Another connection holding the file must not cost its data: busy is reported, not repaired.
TEST_F(VorDbTest, BusyDatabaseKeepsItsData) {
    {
        vorDb db;
        ASSERT_EQ(db.opd_openSession(path_), OPD_SUCCESS);
        ASSERT_EQ(db.opd_setValueWithFields("D", "S", "K", "precious"), OPD_SUCCESS);
    }
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE; INSERT INTO vor_data VALUES ('D','S','held','x');", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);

    vorDb blocked;
    EXPECT_EQ(blocked.opd_openSession(path_), OPD_BUSY);
    EXPECT_FALSE(blocked.opd_isInitialized());
    EXPECT_TRUE(fs::exists(path_));

    ASSERT_EQ(sqlite3_exec(holder, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
    vorDb writer;
    ASSERT_EQ(writer.opd_openSession(path_), OPD_SUCCESS);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(writer.opd_setValueWithFields("D", "S", "K", "overwritten"), OPD_BUSY);
    ASSERT_EQ(sqlite3_exec(holder, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(holder);

    EXPECT_EQ(value(writer, "K"), "precious");
    EXPECT_EQ(value(writer, "held"), "x");
    // The failed write left no transaction open behind it.
    EXPECT_EQ(writer.opd_setValueWithFields("D", "S", "K", "later"), OPD_SUCCESS);
    EXPECT_EQ(value(writer, "K"), "later");
}

TEST(VorDbStatements, WhereClauseAndStatusMapping) {
    struct WhereCase {
        std::string domain, subDomain, key, expected;
    };
    for (const auto& c : std::vector<WhereCase>{
             {"D", "S", "K", "WHERE domain = 'D' AND subDomain = 'S' AND key = 'K'"},
             {"", "S", "", "WHERE subDomain = 'S'"},
             {"D", "", "K", "WHERE domain = 'D' AND key = 'K'"},
             {"", "", "", ""},
             {"o'k", "", "", "WHERE domain = 'o''k'"},
         }) {
        std::string statement;
        createWhereClause(c.domain, c.subDomain, c.key, statement);
        EXPECT_EQ(statement, c.expected);
    }
    struct StatusCase {
        int sqlite;
        OpdStatus status;
    };
    for (const auto& c : std::vector<StatusCase>{
             {SQLITE_OK, OPD_SUCCESS},          {SQLITE_ROW, OPD_SUCCESS},           {SQLITE_DONE, OPD_SUCCESS},
             {SQLITE_NOMEM, OPD_NO_MEMORY},     {SQLITE_IOERR, OPD_IO_ERROR},        {SQLITE_IOERR_WRITE, OPD_IO_ERROR},
             {SQLITE_FULL, OPD_IO_ERROR},       {SQLITE_CONSTRAINT, OPD_CONSTRAINT}, {SQLITE_NOTFOUND, OPD_NOT_FOUND},
             {SQLITE_EMPTY, OPD_NOT_FOUND},     {SQLITE_PERM, OPD_PERMISSION},       {SQLITE_READONLY, OPD_PERMISSION},
             {SQLITE_CANTOPEN, OPD_PERMISSION}, {SQLITE_AUTH, OPD_PERMISSION},       {SQLITE_BUSY, OPD_BUSY},
             {SQLITE_CORRUPT, OPD_CORRUPT},     {SQLITE_NOTADB, OPD_CORRUPT},        {SQLITE_ERROR, OPD_FAILED},
             {SQLITE_LOCKED, OPD_FAILED},       {SQLITE_MISUSE, OPD_FAILED},
         }) {
        EXPECT_EQ(opdStatusFromSqlite(c.sqlite), c.status) << c.sqlite;
    }
}

}  // namespace
