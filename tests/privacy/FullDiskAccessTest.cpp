#include "privacy/PrivacyRows.h"
#include "support/SystemVersion.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Privacy.h>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kSqlite3 = "/usr/bin/sqlite3";
const vz::FdaClientSet kClients = vz::configuredFdaClientSet();
const std::string kAppPath = "/Applications/" + std::string(kClients.applicationBundleName);
const std::string kTool(kClients.toolIdentifier);
const std::string kAgent(kClients.agentIdentifier);

using Rows = std::vector<std::pair<std::string, const char*>>; // client, grant

// Each of the three clients with each grant in turn.
Rows grantAll(std::initializer_list<const char*> grants) {
    Rows rows;
    for (const char* grant : grants)
        rows.insert(rows.end(), {{kAppPath, grant}, {kTool, grant}, {kAgent, grant}});
    return rows;
}

// A privacy database with an access table shaped like the platform's.
void makeDatabase(const std::string& path, const Rows& rows) {
    std::string sql = "CREATE TABLE access (service TEXT NOT NULL, client TEXT NOT NULL, "
                      "client_type INTEGER NOT NULL, auth_value INTEGER NOT NULL, "
                      "auth_reason INTEGER NOT NULL, indirect_object_identifier TEXT);\n";
    for (const auto& [client, grant] : rows)
        sql += "INSERT INTO access VALUES ('kTCCServiceSystemPolicyAllFiles', '" + client +
               "', 0, " + grant + ", 4, 'UNUSED');\n";
    ASSERT_EQ(std::system((std::string(kSqlite3) + " '" + path + "' \"" + sql + "\"").c_str()), 0);
}

class FullDiskAccess : public ::testing::Test {
protected:
    FullDiskAccess() {
        auto& paths = scope_.edit();
        paths.sqlite3 = kSqlite3;
        paths.privacyDatabase = dir_.file("TCC.db");
        paths.temporaryDirectory = dir_.file("tmp");
        scope_.apply();
        mkdir(paths.temporaryDirectory.c_str(), 01777);
    }

    void useSqlite(const std::string& body) {
        vztest::writeScript(dir_.file("sqlite3"), body);
        scope_.edit().sqlite3 = dir_.file("sqlite3");
        scope_.apply();
    }

    // The folder is the test's own: anything in it is a check's leftover.
    bool noFileLeft() const { return std::filesystem::is_empty(dir_.file("tmp")); }

    vztest::ScopedSystemVersion version_{"13.5"};
    vztest::TempDir dir_;
    vztest::ScopedSystemPaths scope_;
};

TEST_F(FullDiskAccess, RealSqliteOverDatabases) {
    const std::string bundleId(kClients.bundleIdentifier);
    const struct {
        const char* what;
        std::optional<Rows> rows; // nullopt: no database at all
        bool granted;
        const char* sqlite = kSqlite3;
    } cases[] = {
        {"all three with 1", grantAll({"1"}), true},
        {"all three with 2", grantAll({"2"}), true},
        {"only 0 rows", grantAll({"0"}), false},
        {"agent missing", Rows{{kAppPath, "1"}, {kTool, "1"}}, false},
        {"app by id", Rows{{bundleId, "1"}, {kTool, "1"}, {kAgent, "1"}}, true},
        {"app path", Rows{{"/Users/me" + kAppPath, "1"}, {kTool, "1"}, {kAgent, "1"}}, true},
        {"deny then grant", grantAll({"0", "1"}), true},
        {"grant then deny", grantAll({"1", "0"}), true},
        {"no app", Rows{{kTool, "1"}, {kTool, "1"}, {kAgent, "1"}}, false},
        {"missing database", std::nullopt, false},
        {"missing sqlite3", grantAll({"1"}), false, "/nonexistent/sqlite3"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string db = dir_.file("case" + std::to_string(n++) + ".db");
        if (c.rows)
            makeDatabase(db, *c.rows);
        scope_.edit().privacyDatabase = db;
        scope_.edit().sqlite3 = c.sqlite;
        scope_.apply();
        EXPECT_EQ(isFullDiskAccessSetup(), c.granted) << c.what;
        EXPECT_TRUE(noFileLeft()) << c.what;
    }
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
    for (const char* version : {"10.13.6", "10.14"}) {
        vztest::ScopedSystemVersion scoped(version);
        EXPECT_FALSE(isFullDiskAccessSetup());
    }
    EXPECT_EQ(vztest::readFile(dir_.file("ran")), "ran\n"); // from 10.14 only
}

TEST_F(FullDiskAccess, LinkPlantedAtTheOldFixedPathIsLeftAlone) {
    const std::string victim = dir_.file("victim");
    vztest::writeFile(victim, "precious");
    const std::string planted = dir_.file("tmp") + "/orbelFDAtemp.temp";
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    makeDatabase(dir_.file("TCC.db"), grantAll({"1"}));
    EXPECT_TRUE(isFullDiskAccessSetup());
    EXPECT_EQ(vztest::readFile(victim), "precious");
    EXPECT_TRUE(std::filesystem::is_symlink(planted));
}

TEST_F(FullDiskAccess, OverlappingChecksKeepTheirOwnOutput) {
    // Slow output: a file shared between checks would be emptied or removed under another one.
    std::string listing = "sleep 0.05\ncat <<'EOF'\n";
    for (const auto& [client, grant] : grantAll({"1"}))
        listing += "kTCCServiceSystemPolicyAllFiles|" + client + "|0|" + grant + "|4|UNUSED\n";
    useSqlite(listing + "EOF\n");
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
