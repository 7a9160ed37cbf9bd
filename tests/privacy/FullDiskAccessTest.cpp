#include "privacy/PrivacyRows.h"
#include "support/SystemVersion.h"

#include <VivoziZevidodirid/Privacy.h>
#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr const char* kSqlite3 = "/usr/bin/sqlite3";
constexpr const char* kFda = "kTCCServiceSystemPolicyAllFiles";
const vz::FdaClientSet kClients = vz::configuredFdaClientSet();
// Matched by its ending: the bundle anywhere, under a name in any script.
const std::string kAppPath =
    "/Users/Zoë/Applications/" + std::string(kClients.applicationBundleName);
const std::string kTool(kClients.toolIdentifier), kAgent(kClients.agentIdentifier);

struct Row {
    std::string client;
    const char* grant;
    std::string service = kFda;
    bool csreq = true; // grant rows carry a code requirement, most other rows none
};
using Rows = std::vector<Row>;

// Each of the three clients with each grant in turn.
Rows grantAll(std::initializer_list<const char*> grants, bool csreq = true) {
    Rows rows;
    for (const char* grant : grants)
        for (const std::string& client : {kAppPath, kTool, kAgent})
            rows.push_back({client, grant, kFda, csreq});
    return rows;
}

// A code requirement as stored: line feeds, bars, quotes, commas and bytes above 127 in it.
constexpr const char* kCsreq =
    "X'fade0c00000000540000000100000006000000020000001c6f72672e7669766f7a697a657669646f646972"
    "69642e5669766f7a6900000004ffffffff000000140a7c2c27fade0c00e99b3f0a7c5d12ab0d0a7c01'";

std::string sqlText(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? "''" : std::string(1, c);
    return quoted + "'";
}

// The real tool's exit status for this SQL on the database.
int sqlite(const std::string& database, const std::string& sql) {
    vztest::writeFile(database + ".sql", sql);
    return std::system(
        (std::string(kSqlite3) + " -init /dev/null '" + database + "' < '" + database + ".sql'")
            .c_str());
}

// A privacy database with an access table shaped like the platform's.
void makeDatabase(const std::string& path, const Rows& rows) {
    std::string sql =
        "CREATE TABLE access (service, client, client_type, auth_value, auth_reason, "
        "auth_version, csreq, policy_id, indirect_object_identifier, last_modified);\n";
    for (const Row& row : rows)
        sql += "INSERT INTO access VALUES (" + sqlText(row.service) + ", " + sqlText(row.client) +
               ", 0, " + row.grant + ", 4, 1, " + (row.csreq ? kCsreq : "NULL") +
               ", NULL, 'UNUSED', 1700000000);\n";
    ASSERT_EQ(sqlite(path, sql), 0);
}

// The real tool behind a pause and a note of where each run's output goes, with that file's mode.
class FullDiskAccess : public ::testing::Test {
protected:
    FullDiskAccess() {
        mkdir(tmp_.c_str(), 01777);
        vztest::writeScript(sqlite3_, "sleep 0.05\necho \"$(readlink /proc/$$/fd/1) $(stat -L -c "
                                      "%a /proc/$$/fd/1)\" >> '" +
                                          dir_.file("runs") + "'\nexec " + kSqlite3 + " \"$@\"\n");
        paths_.set(&kx::SystemPaths::sqlite3, sqlite3_)
            .set(&kx::SystemPaths::privacyDatabase, database_)
            .set(&kx::SystemPaths::temporaryDirectory, tmp_);
    }

    std::vector<std::string> runs() const {
        return vztest::lines(vztest::readFile(dir_.file("runs")));
    }
    // The folder is the test's own: anything in it is a check's leftover.
    bool noFileLeft() const { return std::filesystem::is_empty(tmp_); }

    vztest::ScopedSystemVersion version_{"13.5"};
    vztest::TempDir dir_;
    const std::string tmp_ = dir_.file("tmp"), sqlite3_ = dir_.file("sqlite3"),
                      database_ = dir_.file("TCC.db");
    vztest::ScopedSystemPaths paths_;
};

TEST_F(FullDiskAccess, GrantedOnlyWhenEveryClientHoldsAGrantOnMacOS10_14OnOrElsewhere) {
    // A client is any bytes: one row of another service that spells grant rows in either output
    // form, for all three clients.
    std::string forged = "/Applications/x\n";
    for (const std::string& client : {kAppPath, kTool, kAgent})
        forged += std::string(kFda) + "|" + client + "|0|2|4|1|\n',0,2,4\n'" + kFda + "','" +
                  client + "',0,2,4,1\n";
    Rows forgedRows = grantAll({"0"}, false);
    forgedRows.push_back({forged, "2", "kTCCServiceCamera", false});
    enum Kind { Database, Fifo, NoTool };
    const struct {
        const char* what;
        Rows rows;
        bool granted;
        Kind kind = Database;
        std::size_t runs = 1;
        const char* version = "13.5";
    } cases[] = {
        {"all three with 1", grantAll({"1"}), true},
        {"only 0 rows", grantAll({"0"}), false},
        {"deny then grant", grantAll({"0", "1"}), true},
        {"grant then deny", grantAll({"1", "0"}), true},
        {"no app", Rows{{kTool, "1"}, {kTool, "1"}, {kAgent, "1"}}, false},
        {"forged by another service's client", forgedRows, false},
        {"database is a FIFO", {}, false, Fifo, 0},
        {"missing sqlite3", grantAll({"1"}), false, NoTool, 0},
        {"10.13.6 runs nothing", grantAll({"1"}), false, Database, 0, "10.13.6"},
        {"10.14", grantAll({"1"}), true, Database, 1, "10.14"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string db = dir_.file("case" + std::to_string(n++) + ".db");
        if (c.kind == Database || c.kind == NoTool)
            makeDatabase(db, c.rows);
        if (c.kind == Fifo)
            mkfifo(db.c_str(), 0600);
        paths_.set(&kx::SystemPaths::privacyDatabase, db)
            .set(&kx::SystemPaths::sqlite3, c.kind == NoTool ? dir_.file("none") : sqlite3_);
        vztest::ScopedSystemVersion version(c.version); // after the paths above
        const std::size_t before = runs().size();
        auto answer = std::async(std::launch::async, isFullDiskAccessSetup);
        if (answer.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "no answer within 10 s";
            // Fed, so that a tool blocked on a FIFO ends.
            const int fd = open(db.c_str(), O_WRONLY | O_NONBLOCK);
            [[maybe_unused]] const auto written = write(fd, "not a database\n", 15);
            close(fd);
        }
        EXPECT_EQ(answer.get(), c.granted);
        EXPECT_EQ(runs().size() - before, c.runs);
        EXPECT_TRUE(noFileLeft());
    }
}

// A home through HOME and the password database (nss_wrapper), set in a child alone.
TEST_F(FullDiskAccess, UserConfigurationOfTheToolIsIgnored) {
    makeDatabase(database_, grantAll({"2"}, false));
    const std::string home = dir_.file("home"), stolen = dir_.file("stolen");
    mkdir(home.c_str(), 0700);
    vztest::writeFile(home + "/passwd", "user:x:" + std::to_string(getuid()) + ":" +
                                            std::to_string(getgid()) + "::" + home + ":/bin/sh\n");
    vztest::writeFile(home + "/group", "group:x:" + std::to_string(getgid()) + ":\n");
    const std::string configurations[] = {".separator ,",     ".mode csv",  ".mode tabs",
                                          ".mode quote",      ".mode line", ".headers on",
                                          ".output " + stolen};
    const pid_t child = fork();
    if (child == 0) {
        setenv("HOME", home.c_str(), 1);
        setenv("LD_PRELOAD", "libnss_wrapper.so", 1);
        setenv("NSS_WRAPPER_PASSWD", (home + "/passwd").c_str(), 1);
        setenv("NSS_WRAPPER_GROUP", (home + "/group").c_str(), 1);
        int wrong = 0; // one bit for each configuration that changed the answer
        for (int i = 0; i < 7; ++i) {
            vztest::writeFile(home + "/.sqliterc", configurations[i] + "\n");
            wrong |= isFullDiskAccessSetup() ? 0 : 1 << i;
        }
        _exit(wrong);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "configurations: " << status;
    EXPECT_FALSE(vztest::fileExists(stolen));
}

TEST_F(FullDiskAccess, BusyDatabaseIsWaitedFor) {
    const std::string locked = dir_.file("locked");
    makeDatabase(database_, grantAll({"2"}));
    auto writer = std::async(std::launch::async, [&] { // holding the database for a second
        return sqlite(database_, "BEGIN EXCLUSIVE;\nUPDATE access SET auth_value = auth_value;\n"
                                 ".shell touch '" +
                                     locked + "'\n.shell sleep 1\nCOMMIT;\n");
    });
    ASSERT_TRUE(vztest::eventually([&] { return vztest::fileExists(locked); }));
    EXPECT_TRUE(isFullDiskAccessSetup());
    EXPECT_EQ(writer.get(), 0);
}

// A shared output file was emptied under another check; a link at the old fixed path written to.
TEST_F(FullDiskAccess, OverlappingChecksEachHaveAPrivateOutputFileAndFollowNoLink) {
    const std::string victim = dir_.file("victim"), planted = tmp_ + "/orbelFDAtemp.temp";
    vztest::writeFile(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    makeDatabase(database_, grantAll({"1"}));
    std::atomic<int> granted{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 24; ++t)
            threads.emplace_back([&] { granted += isFullDiskAccessSetup(); });
    }
    EXPECT_EQ(granted.load(), 24);
    EXPECT_EQ(vztest::readFile(victim), "precious");
    EXPECT_TRUE(std::filesystem::is_symlink(planted) && std::filesystem::remove(planted));
    EXPECT_TRUE(noFileLeft());
    const auto outputs = runs();
    EXPECT_EQ(std::set(outputs.begin(), outputs.end()).size(), 24u);
    for (const std::string& output : outputs)
        EXPECT_TRUE(output.starts_with(tmp_ + "/orbelFDAtemp.") && output.ends_with(" 600"))
            << output;
}

} // namespace
