#include "privacy/PrivacyRows.h"
#include "support/SystemVersion.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Privacy.h>
#include <VivoziZevidodirid/Task.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr const char* kSqlite3 = "/usr/bin/sqlite3";
constexpr const char* kFda = "kTCCServiceSystemPolicyAllFiles";
const vz::FdaClientSet kClients = vz::configuredFdaClientSet();
const std::string kAppPath = "/Applications/" + std::string(kClients.applicationBundleName);
const std::string kBundleId(kClients.bundleIdentifier);
const std::string kTool(kClients.toolIdentifier);
const std::string kAgent(kClients.agentIdentifier);

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

// A code requirement as the platform stores one ("identifier ... and certificate leaf = H"): its
// bytes hold line feeds, bars, quotes, commas and bytes above 127.
constexpr const char* kCsreq =
    "X'fade0c00000000540000000100000006000000020000001c6f72672e7669766f7a697a657669646f646972"
    "69642e5669766f7a6900000004ffffffff000000140a7c2c27fade0c00e99b3f0a7c5d12ab0d0a7c01'";

std::string sqlText(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? "''" : std::string(1, c);
    return quoted + "'";
}

// A privacy database with an access table shaped like the platform's, built by the real tool.
void makeDatabase(const std::string& path, const Rows& rows) {
    std::string sql = "CREATE TABLE access (service TEXT NOT NULL, client TEXT NOT NULL, "
                      "client_type INTEGER NOT NULL, auth_value INTEGER NOT NULL, "
                      "auth_reason INTEGER NOT NULL, auth_version INTEGER NOT NULL, csreq BLOB, "
                      "policy_id INTEGER, indirect_object_identifier TEXT, last_modified "
                      "INTEGER);\n";
    for (const Row& row : rows)
        sql += "INSERT INTO access VALUES (" + sqlText(row.service) + ", " + sqlText(row.client) +
               ", 0, " + row.grant + ", 4, 1, " + (row.csreq ? kCsreq : "NULL") +
               ", NULL, 'UNUSED', 1700000000);\n";
    vztest::writeFile(path + ".sql", sql);
    ASSERT_EQ(
        std::system((std::string(kSqlite3) + " -init /dev/null '" + path + "' < '" + path + ".sql'")
                        .c_str()),
        0);
}

// For one scope, `home` is the user's home folder for every program started, both through HOME
// and through the password database (nss_wrapper), whichever the tool consults.
class ScopedUserHome {
public:
    explicit ScopedUserHome(const std::string& home) {
        const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
        vztest::writeFile(home + "/passwd",
                          "user:x:" + uid + ":" + gid + "::" + home + ":/bin/sh\n");
        vztest::writeFile(home + "/group", "group:x:" + gid + ":\n");
        for (const auto& [name, value] : {std::pair<std::string, std::string>{"HOME", home},
                                          {"LD_PRELOAD", "libnss_wrapper.so"},
                                          {"NSS_WRAPPER_PASSWD", home + "/passwd"},
                                          {"NSS_WRAPPER_GROUP", home + "/group"}}) {
            const char* old = std::getenv(name.c_str());
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~ScopedUserHome() {
        for (const auto& [name, value] : saved_)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class FullDiskAccess : public ::testing::Test {
protected:
    FullDiskAccess() {
        auto& paths = scope_.edit();
        paths.sqlite3 = kSqlite3;
        paths.privacyDatabase = dir_.file("TCC.db");
        paths.temporaryDirectory = dir_.file("tmp");
        scope_.apply();
        mkdir(paths.temporaryDirectory.c_str(), 01777);
        vztest::writeFile(paths.privacyDatabase, "");
    }

    void useSqlite(const std::string& body) {
        vztest::writeScript(dir_.file("sqlite3"), body);
        scope_.edit().sqlite3 = dir_.file("sqlite3");
        scope_.apply();
    }

    // The check's answer, or nullopt when it has not come within 10 s; a FIFO at the database
    // path is then fed, so that a tool blocked on it ends.
    std::optional<bool> checkWithin10s() {
        auto answer = std::async(std::launch::async, isFullDiskAccessSetup);
        if (answer.wait_for(10s) == std::future_status::ready)
            return answer.get();
        const int fd = open(scope_.edit().privacyDatabase.c_str(), O_WRONLY | O_NONBLOCK);
        [[maybe_unused]] const auto written = write(fd, "not a database, not a database\n", 31);
        close(fd);
        answer.wait();
        return std::nullopt;
    }

    // The folder is the test's own: anything in it is a check's leftover.
    bool noFileLeft() const { return std::filesystem::is_empty(dir_.file("tmp")); }

    vztest::ScopedSystemVersion version_{"13.5"};
    vztest::TempDir dir_;
    vztest::ScopedSystemPaths scope_;
};

TEST_F(FullDiskAccess, RealSqliteOverDatabases) {
    // A client is any bytes: one row of another service that spells grant rows in either output
    // form, for all three clients.
    std::string forged = "/Applications/x\n";
    for (const std::string& client : {kAppPath, kTool, kAgent})
        forged += std::string(kFda) + "|" + client + "|0|2|4|1|\n',0,2,4\n'" + kFda + "','" +
                  client + "',0,2,4,1\n";
    enum Kind { Database, Missing, Fifo, Directory };
    const struct {
        const char* what;
        Rows rows;
        bool granted;
        Kind kind = Database;
        const char* sqlite = kSqlite3;
    } cases[] = {
        {"all three with 1", grantAll({"1"}), true},
        {"all three with 2", grantAll({"2"}), true},
        {"without code requirements", grantAll({"2"}, false), true},
        {"only 0 rows", grantAll({"0"}), false},
        {"agent missing", Rows{{kAppPath, "1"}, {kTool, "1"}}, false},
        {"app by id", Rows{{kBundleId, "1"}, {kTool, "1"}, {kAgent, "1"}}, true},
        {"app path", Rows{{"/Users/Zoë" + kAppPath, "1"}, {kTool, "1"}, {kAgent, "1"}}, true},
        {"deny then grant", grantAll({"0", "1"}), true},
        {"grant then deny", grantAll({"1", "0"}), true},
        {"no app", Rows{{kTool, "1"}, {kTool, "1"}, {kAgent, "1"}}, false},
        {"forged by another service's client",
         [&] {
             Rows rows = grantAll({"0"}, false);
             rows.push_back({forged, "2", "kTCCServiceCamera", false});
             return rows;
         }(),
         false},
        {"missing database", {}, false, Missing},
        {"database is a FIFO", {}, false, Fifo},
        {"database is a folder", {}, false, Directory},
        {"missing sqlite3", grantAll({"1"}), false, Database, "/nonexistent/sqlite3"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string db = dir_.file("case" + std::to_string(n++) + ".db");
        if (c.kind == Database)
            makeDatabase(db, c.rows);
        if (c.kind == Fifo)
            mkfifo(db.c_str(), 0600);
        if (c.kind == Directory)
            mkdir(db.c_str(), 0700);
        scope_.edit().privacyDatabase = db;
        scope_.edit().sqlite3 = c.sqlite;
        scope_.apply();
        EXPECT_EQ(checkWithin10s(), c.granted) << c.what;
        EXPECT_TRUE(noFileLeft()) << c.what;
    }
}

TEST_F(FullDiskAccess, UserConfigurationOfTheToolIsIgnored) {
    makeDatabase(dir_.file("TCC.db"), grantAll({"2"}, false));
    const std::string home = dir_.file("home"), stolen = dir_.file("stolen");
    mkdir(home.c_str(), 0700);
    ScopedUserHome scoped(home);
    for (const std::string& rc : std::initializer_list<std::string>{
             ".separator ,", ".mode csv", ".mode tabs", ".mode quote", ".mode line", ".headers on",
             ".output " + stolen}) {
        vztest::writeFile(home + "/.sqliterc", rc + "\n");
        EXPECT_TRUE(isFullDiskAccessSetup()) << rc;
    }
    EXPECT_FALSE(vztest::fileExists(stolen));
}

TEST_F(FullDiskAccess, BusyDatabaseIsWaitedFor) {
    const std::string db = dir_.file("TCC.db"), locked = dir_.file("locked");
    makeDatabase(db, grantAll({"2"}));
    // A writer holding the database for a second.
    vztest::writeFile(dir_.file("writer.sql"), "BEGIN EXCLUSIVE;\nUPDATE access SET auth_value "
                                               "= auth_value;\n.shell touch '" +
                                                   locked + "'\n.shell sleep 1\nCOMMIT;\n");
    const int script = open(dir_.file("writer.sql").c_str(), O_RDONLY | O_CLOEXEC);
    kx::Task writer;
    writer.setLaunchPath(kSqlite3);
    writer.setArguments({"-init", "/dev/null", db});
    writer.setStandardInput(kx::Stdio::file(script));
    ASSERT_FALSE(writer.launch());
    close(script);
    for (int i = 0; i < 500 && !vztest::fileExists(locked); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(vztest::fileExists(locked));
    EXPECT_TRUE(isFullDiskAccessSetup());
    writer.waitUntilExit();
    EXPECT_EQ(writer.terminationStatus(), 0);
}

TEST_F(FullDiskAccess, OutputGoesToAPrivateTemporaryFile) {
    useSqlite("out=$(readlink /proc/$$/fd/1); echo \"$out\" > " + dir_.file("stdout") +
              "\nmode=$(stat -L -c %a /proc/$$/fd/1); echo $mode > " + dir_.file("mode") + "\n");
    EXPECT_FALSE(isFullDiskAccessSetup());
    EXPECT_TRUE(vztest::readFile(dir_.file("stdout")).starts_with(dir_.file("tmp/orbelFDAtemp.")));
    EXPECT_EQ(vztest::readFile(dir_.file("mode")), "600\n");
}

TEST_F(FullDiskAccess, OlderSystemRunsNothing) {
    useSqlite("echo ran >> " + dir_.file("ran") + "\n");
    const std::pair<const char*, const char*> systems[] = {
        {"10.13.6", "Mac OS X"}, {"10.14", "macOS"}, {"9", "Debian GNU/Linux"}};
    for (const auto& [version, product] : systems) {
        vztest::ScopedSystemVersion scoped(version, product);
        EXPECT_FALSE(isFullDiskAccessSetup());
    }
    EXPECT_EQ(vztest::readFile(dir_.file("ran")), "ran\nran\n"); // not on 10.13.6
}

TEST_F(FullDiskAccess, LinkPlantedAtTheOldFixedPathIsLeftAlone) {
    const std::string victim = dir_.file("victim");
    vztest::writeFile(victim, "precious");
    const std::string planted = dir_.file("tmp") + "/orbelFDAtemp.temp";
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    makeDatabase(dir_.file("TCC.db"), grantAll({"1"}, false));
    EXPECT_TRUE(isFullDiskAccessSetup());
    EXPECT_EQ(vztest::readFile(victim), "precious");
    EXPECT_TRUE(std::filesystem::is_symlink(planted));
}

TEST_F(FullDiskAccess, OverlappingChecksKeepTheirOwnOutput) {
    // Slow output: a file shared between checks would be emptied or removed under another one.
    const std::string db = dir_.file("TCC.db");
    makeDatabase(db, grantAll({"1"}));
    useSqlite("sleep 0.05\nexec " + std::string(kSqlite3) + " \"$@\"\n");
    std::atomic<int> granted{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 24; ++t)
            threads.emplace_back([&] { granted += isFullDiskAccessSetup(); });
    }
    EXPECT_EQ(granted.load(), 24);
    EXPECT_TRUE(noFileLeft());
}

} // namespace
