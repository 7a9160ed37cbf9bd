#include "privacy/PrivacyRows.h"
#include "support/SystemVersion.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Privacy.h>
#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kSqlite3 = "/usr/bin/sqlite3";
const std::string kService = "kTCCServiceSystemPolicyAllFiles";
const vz::FdaClientSet kClients = vz::configuredFdaClientSet();
const std::string kAppPath = "/Applications/" + std::string(kClients.applicationBundleName);
const std::string kTool(kClients.toolIdentifier);
const std::string kAgent(kClients.agentIdentifier);

struct Row {
    std::string client;
    const char* grant;
    std::string service = kService;
};
using Rows = std::vector<Row>;

Rows grantAll(const char* grant) {
    return {{kAppPath, grant}, {kTool, grant}, {kAgent, grant}};
}

Rows operator+(Rows a, const Rows& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A privacy database with an access table shaped like the platform's.
void makeDatabase(const std::string& path, const Rows& rows) {
    std::string sql = "CREATE TABLE access (service TEXT NOT NULL, client TEXT NOT NULL, "
                      "client_type INTEGER NOT NULL, auth_value INTEGER NOT NULL, "
                      "auth_reason INTEGER NOT NULL, indirect_object_identifier TEXT);\n";
    for (const Row& row : rows)
        sql += "INSERT INTO access VALUES ('" + row.service + "', '" + row.client + "', 0, " +
               row.grant + ", 4, 'UNUSED');\n";
    vztest::writeFile(path + ".sql", sql);
    const std::string command = std::string(kSqlite3) + " " + path + " < " + path + ".sql";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// The same rows as the sqlite3 tool lists them, for a fake tool to print.
std::string listedRows(const Rows& rows, std::string_view extra = "") {
    std::string script = "cat <<'EOF'\n";
    for (const Row& row : rows)
        script += row.service + "|" + row.client + "|0|" + row.grant + "|4|UNUSED\n";
    return script + std::string(extra) + "EOF\n";
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

    void useSqlite(const std::string& path) {
        scope_.edit().sqlite3 = path;
        scope_.apply();
    }
    void useFakeSqlite(std::string_view body) {
        vztest::writeScript(dir_.file("sqlite3"), body);
        useSqlite(dir_.file("sqlite3"));
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
    } cases[] = {
        {"all three with 1", grantAll("1"), true},
        {"all three with 2", grantAll("2"), true},
        {"only 0 rows", grantAll("0"), false},
        {"agent missing", Rows{{kAppPath, "1"}, {kTool, "1"}}, false},
        {"application by bundle identifier", Rows{{bundleId, "1"}, {kTool, "1"}, {kAgent, "1"}},
         true},
        {"application by a path ending in its file name",
         Rows{{"/Users/me" + kAppPath, "1"}, {kTool, "1"}, {kAgent, "1"}}, true},
        {"deny then grant", grantAll("0") + grantAll("1"), true},
        {"grant then deny", grantAll("1") + grantAll("0"), true},
        {"the tool's rows do not count for the application",
         Rows{{kTool, "1"}, {kTool, "1"}, {kAgent, "1"}}, false},
        {"another service", Rows{{kAppPath, "1", "kTCCServiceCamera"}, {kTool, "1"}, {kAgent, "1"}},
         false},
        {"blanks around the service",
         Rows{{kAppPath, "1", " " + kService + " "}, {kTool, "1"}, {kAgent, "1"}}, false},
        {"no rows", Rows{}, false},
        {"missing database", std::nullopt, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string db = dir_.file("case" + std::to_string(n++) + ".db");
        if (c.rows)
            makeDatabase(db, *c.rows);
        scope_.edit().privacyDatabase = db;
        scope_.apply();
        EXPECT_EQ(isFullDiskAccessSetup(), c.granted);
        EXPECT_TRUE(noFileLeft());
    }
}

TEST_F(FullDiskAccess, FailuresAnswerNoAndLeaveNoFile) {
    const auto expectNo = [&](const char* what) {
        SCOPED_TRACE(what);
        EXPECT_FALSE(isFullDiskAccessSetup());
        EXPECT_TRUE(noFileLeft());
    };
    useSqlite(dir_.file("no-such-sqlite3"));
    expectNo("no sqlite3");
    vztest::writeFile(dir_.file("plain"), "#!/bin/sh\necho x\n");
    useSqlite(dir_.file("plain"));
    expectNo("sqlite3 not executable");
    useFakeSqlite(listedRows(grantAll("1"), "caf\u00e9\n"));
    expectNo("output not ASCII");
    useFakeSqlite(listedRows(grantAll("1")));
    scope_.edit().temporaryDirectory = dir_.file("no-such-folder");
    scope_.apply();
    expectNo("no temporary folder");
}

TEST_F(FullDiskAccess, ToolGetsArgumentsCallerEnvironmentAndAPrivateFile) {
    setenv("VZ_FDA_TEST_MARKER", "reached", 1);
    useFakeSqlite("for a in \"$@\"; do printf '[%s]' \"$a\"; done > " + dir_.file("args") +
                  "\nenv > " + dir_.file("env") +
                  "\nout=$(readlink /proc/$$/fd/1); echo \"$out\" > " + dir_.file("stdout") +
                  "\nmode=$(stat -L -c %a /proc/$$/fd/1); echo $mode > " + dir_.file("mode") +
                  "\nread line && echo got-stdin > " + dir_.file("stdin") + "\n");
    EXPECT_FALSE(isFullDiskAccessSetup());
    unsetenv("VZ_FDA_TEST_MARKER");

    EXPECT_EQ(vztest::readFile(dir_.file("args")),
              "[-line][-list][-newline][\n][" + dir_.file("TCC.db") + "][SELECT * from access;]");
    EXPECT_NE(vztest::readFile(dir_.file("env")).find("VZ_FDA_TEST_MARKER=reached"),
              std::string::npos);
    const std::string out = vztest::readFile(dir_.file("stdout"));
    EXPECT_EQ(out.rfind(dir_.file("tmp") + "/orbelFDAtemp.", 0), 0u) << out;
    EXPECT_EQ(vztest::readFile(dir_.file("mode")), "600\n");
    EXPECT_FALSE(vztest::fileExists(dir_.file("stdin"))); // standard input is the null device
    EXPECT_TRUE(noFileLeft());
}

TEST_F(FullDiskAccess, OlderSystemRunsNothingAndMakesNoFile) {
    useFakeSqlite("touch " + dir_.file("ran") + "\n");
    // Any file made in the temporary folder, even if removed again, moves its time off 1 s.
    const std::string tmp = dir_.file("tmp");
    const timespec longAgo[2] = {{1, 0}, {1, 0}};
    const auto folderUntouched = [&] {
        struct stat info {};
        return stat(tmp.c_str(), &info) == 0 && info.st_mtim.tv_sec == 1;
    };
    ASSERT_EQ(utimensat(AT_FDCWD, tmp.c_str(), longAgo, 0), 0);
    {
        vztest::ScopedSystemVersion older("10.13.6");
        EXPECT_FALSE(isFullDiskAccessSetup());
        EXPECT_FALSE(vztest::fileExists(dir_.file("ran")));
        EXPECT_TRUE(folderUntouched());
    }
    vztest::ScopedSystemVersion exact("10.14");
    EXPECT_FALSE(isFullDiskAccessSetup());
    EXPECT_TRUE(vztest::fileExists(dir_.file("ran")));
    EXPECT_FALSE(folderUntouched());
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

TEST_F(FullDiskAccess, OverlappingChecksInThreadsKeepTheirOwnOutput) {
    // Slow output: a file shared between checks would be emptied or removed under another one.
    useFakeSqlite("sleep 0.05\n" + listedRows(grantAll("1")));
    std::vector<std::thread> threads;
    std::atomic<int> granted{0};
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

TEST_F(FullDiskAccess, OverlappingChecksInProcessesGetTheirOwnAnswers) {
    makeDatabase(dir_.file("grant.db"), grantAll("1"));
    makeDatabase(dir_.file("deny.db"), grantAll("0"));
    std::vector<std::pair<pid_t, bool>> children;
    for (int i = 0; i < 6; ++i) {
        const bool grant = i % 2 == 0;
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            auto paths = kx::systemPaths();
            paths.privacyDatabase = dir_.file(grant ? "grant.db" : "deny.db");
            kx::setSystemPaths(paths);
            bool answer = grant;
            for (int round = 0; round < 5 && answer == grant; ++round)
                answer = isFullDiskAccessSetup();
            _exit(answer == grant ? 0 : 1);
        }
        children.emplace_back(pid, grant);
    }
    for (const auto& [pid, grant] : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "grant=" << grant;
    }
    EXPECT_TRUE(noFileLeft());
}

} // namespace
