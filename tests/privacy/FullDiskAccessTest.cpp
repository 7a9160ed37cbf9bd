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

Rows grantAll(const char* grant) {
    return {{kAppPath, grant}, {kTool, grant}, {kAgent, grant}};
}

// A privacy database with an access table shaped like the platform's.
void makeDatabase(const std::string& path, const Rows& rows) {
    std::string sql = "CREATE TABLE access (service TEXT NOT NULL, client TEXT NOT NULL, "
                      "client_type INTEGER NOT NULL, auth_value INTEGER NOT NULL, "
                      "auth_reason INTEGER NOT NULL, indirect_object_identifier TEXT);\n";
    for (const auto& [client, grant] : rows)
        sql += "INSERT INTO access VALUES ('kTCCServiceSystemPolicyAllFiles', '" + client +
               "', 0, " + grant + ", 4, 'UNUSED');\n";
    vztest::writeFile(path + ".sql", sql);
    const std::string command = std::string(kSqlite3) + " " + path + " < " + path + ".sql";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
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
    const auto both = [](Rows a, const Rows& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const struct {
        const char* what;
        std::optional<Rows> rows; // nullopt: no database at all
        bool granted;
    } cases[] = {
        {"all three with 1", grantAll("1"), true},
        {"all three with 2", grantAll("2"), true},
        {"only 0 rows", grantAll("0"), false},
        {"agent missing", Rows{{kAppPath, "1"}, {kTool, "1"}}, false},
        {"application by bundle identifier", Rows{{bundleId, "1"}, {kTool, "1"}, {kAgent, "1"}},
         true},
        {"application by a path ending in its file name",
         Rows{{"/Users/me" + kAppPath, "1"}, {kTool, "1"}, {kAgent, "1"}}, true},
        {"deny then grant", both(grantAll("0"), grantAll("1")), true},
        {"grant then deny", both(grantAll("1"), grantAll("0")), true},
        {"the tool's rows do not count for the application",
         Rows{{kTool, "1"}, {kTool, "1"}, {kAgent, "1"}}, false},
        {"missing database", std::nullopt, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string db = dir_.file("case" + std::to_string(n++) + ".db");
        if (c.rows)
            makeDatabase(db, *c.rows);
        scope_.edit().privacyDatabase = db;
        scope_.apply();
        EXPECT_EQ(isFullDiskAccessSetup(), c.granted) << c.what;
        EXPECT_TRUE(noFileLeft()) << c.what;
    }
}

TEST_F(FullDiskAccess, MissingSqliteAnswersNoAndLeavesNoFile) {
    makeDatabase(dir_.file("TCC.db"), grantAll("1"));
    scope_.edit().sqlite3 = dir_.file("no-such-sqlite3");
    scope_.apply();
    EXPECT_FALSE(isFullDiskAccessSetup());
    EXPECT_TRUE(noFileLeft());
}

TEST_F(FullDiskAccess, OutputGoesToAPrivateTemporaryFile) {
    useSqlite("out=$(readlink /proc/$$/fd/1); echo \"$out\" > " + dir_.file("stdout") +
              "\nmode=$(stat -L -c %a /proc/$$/fd/1); echo $mode > " + dir_.file("mode") + "\n");
    EXPECT_FALSE(isFullDiskAccessSetup());
    const std::string out = vztest::readFile(dir_.file("stdout"));
    EXPECT_EQ(out.rfind(dir_.file("tmp") + "/orbelFDAtemp.", 0), 0u) << out;
    EXPECT_EQ(vztest::readFile(dir_.file("mode")), "600\n");
    EXPECT_TRUE(noFileLeft());
}

TEST_F(FullDiskAccess, OlderSystemRunsNothing) {
    useSqlite("touch " + dir_.file("ran") + "\n");
    {
        vztest::ScopedSystemVersion older("10.13.6");
        EXPECT_FALSE(isFullDiskAccessSetup());
        EXPECT_FALSE(vztest::fileExists(dir_.file("ran")));
    }
    vztest::ScopedSystemVersion exact("10.14");
    EXPECT_FALSE(isFullDiskAccessSetup());
    EXPECT_TRUE(vztest::fileExists(dir_.file("ran")));
}

TEST_F(FullDiskAccess, LinkPlantedAtTheOldFixedPathIsLeftAlone) {
    const std::string victim = dir_.file("victim");
    vztest::writeFile(victim, "precious");
    const std::string planted = dir_.file("tmp") + "/orbelFDAtemp.temp";
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    makeDatabase(dir_.file("TCC.db"), grantAll("1"));
    EXPECT_TRUE(isFullDiskAccessSetup());
    EXPECT_EQ(vztest::readFile(victim), "precious");
    struct stat info {};
    ASSERT_EQ(lstat(planted.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
}

TEST_F(FullDiskAccess, OverlappingChecksKeepTheirOwnOutput) {
    // Slow output: a file shared between checks would be emptied or removed under another one.
    std::string listing = "sleep 0.05\ncat <<'EOF'\n";
    for (const auto& [client, grant] : grantAll("1"))
        listing += "kTCCServiceSystemPolicyAllFiles|" + client + "|0|" + grant + "|4|UNUSED\n";
    useSqlite(listing + "EOF\n");
    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 4; ++i)
                granted += isFullDiskAccessSetup() ? 1 : 0;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(granted.load(), 24);
    EXPECT_TRUE(noFileLeft());
}

} // namespace
