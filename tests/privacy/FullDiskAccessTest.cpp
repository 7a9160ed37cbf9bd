#include "privacy/PrivacyRows.h"
#include "support/SystemVersion.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Privacy.h>
#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kSqlite3 = "/usr/bin/sqlite3";

std::string sqlText(std::string_view text) {
    return "'" + std::string(text) + "'";
}

// A privacy database with an access table shaped like the platform's; each row is
// (service, client, grant).
void makeDatabase(const std::string& path,
                  const std::vector<std::tuple<std::string, std::string, std::string>>& rows) {
    std::string sql = "CREATE TABLE access (service TEXT NOT NULL, client TEXT NOT NULL, "
                      "client_type INTEGER NOT NULL, auth_value INTEGER NOT NULL, "
                      "auth_reason INTEGER NOT NULL, indirect_object_identifier TEXT);\n";
    for (const auto& [service, client, grant] : rows)
        sql += "INSERT INTO access VALUES (" + sqlText(service) + ", " + sqlText(client) + ", 0, " +
               grant + ", 4, 'UNUSED');\n";
    vztest::writeFile(path + ".sql", sql);
    const std::string command = std::string(kSqlite3) + " " + path + " < " + path + ".sql";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::vector<std::tuple<std::string, std::string, std::string>> grantAll(const char* grant) {
    const vz::FdaClientSet clients = vz::configuredFdaClientSet();
    const std::string service = "kTCCServiceSystemPolicyAllFiles";
    return {{service, "/Applications/" + std::string(clients.applicationBundleName), grant},
            {service, std::string(clients.toolIdentifier), grant},
            {service, std::string(clients.agentIdentifier), grant}};
}

// Names in dir that this check's temporary files would have.
std::vector<std::string> leftoverFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d))
            if (std::string_view(entry->d_name).substr(0, 13) == "orbelFDAtemp.")
                names.emplace_back(entry->d_name);
        closedir(d);
    }
    return names;
}

class FullDiskAccess : public ::testing::Test {
protected:
    FullDiskAccess() : version_("13.5") {
        auto& paths = scope_.edit();
        paths.sqlite3 = kSqlite3;
        paths.privacyDatabase = dir_.file("TCC.db");
        paths.temporaryDirectory = dir_.file("tmp");
        scope_.apply();
        mkdir(paths.temporaryDirectory.c_str(), 01777);
    }

    void useFakeSqlite(std::string_view body) {
        vztest::writeScript(dir_.file("sqlite3"), body);
        scope_.edit().sqlite3 = dir_.file("sqlite3");
        scope_.apply();
    }

    vztest::ScopedSystemVersion version_;
    vztest::TempDir dir_;
    vztest::ScopedSystemPaths scope_;
};

TEST_F(FullDiskAccess, RealSqliteOverDatabases) {
    const vz::FdaClientSet clients = vz::configuredFdaClientSet();
    const std::string service = "kTCCServiceSystemPolicyAllFiles";
    auto withoutAgent = grantAll("1");
    withoutAgent.pop_back();
    auto byIdentifier = grantAll("1");
    std::get<1>(byIdentifier[0]) = std::string(clients.bundleIdentifier);
    auto denyThenGrant = grantAll("0");
    for (auto& r : grantAll("1"))
        denyThenGrant.push_back(r);
    const struct {
        const char* what;
        std::vector<std::tuple<std::string, std::string, std::string>> rows;
        bool granted;
    } cases[] = {
        {"all three with 1", grantAll("1"), true},
        {"all three with 2", grantAll("2"), true},
        {"only 0 rows", grantAll("0"), false},
        {"one missing", withoutAgent, false},
        {"application by bundle identifier", byIdentifier, true},
        {"deny then grant", denyThenGrant, true},
        {"no rows", {}, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string db = dir_.file("case" + std::to_string(n++) + ".db");
        makeDatabase(db, c.rows);
        scope_.edit().privacyDatabase = db;
        scope_.apply();
        EXPECT_EQ(isFullDiskAccessSetup(), c.granted);
        EXPECT_TRUE(leftoverFiles(dir_.file("tmp")).empty());
    }
}

TEST_F(FullDiskAccess, FailuresAnswerNoAndLeaveNoFile) {
    // Missing database: sqlite3 creates nothing readable and prints no rows.
    EXPECT_FALSE(isFullDiskAccessSetup());
    EXPECT_TRUE(leftoverFiles(dir_.file("tmp")).empty());

    scope_.edit().sqlite3 = dir_.file("no-such-sqlite3");
    scope_.apply();
    EXPECT_FALSE(isFullDiskAccessSetup());
    EXPECT_TRUE(leftoverFiles(dir_.file("tmp")).empty());

    vztest::writeFile(dir_.file("not-executable"), "#!/bin/sh\necho x\n");
    scope_.edit().sqlite3 = dir_.file("not-executable");
    scope_.apply();
    EXPECT_FALSE(isFullDiskAccessSetup());

    scope_.edit().temporaryDirectory = dir_.file("no-such-folder");
    scope_.apply();
    useFakeSqlite("echo 'kTCCServiceSystemPolicyAllFiles|x|0|1'\n");
    EXPECT_FALSE(isFullDiskAccessSetup());
}

// Three granting rows, then `extra`, as the fake tool's whole output.
std::string grantingRowsScript(std::string_view extra) {
    const vz::FdaClientSet c = vz::configuredFdaClientSet();
    const std::string s = "kTCCServiceSystemPolicyAllFiles";
    return "cat <<'EOF'\n" + s + "|/Applications/" + std::string(c.applicationBundleName) +
           "|0|1\n" + s + "|" + std::string(c.toolIdentifier) + "|0|1\n" + s + "|" +
           std::string(c.agentIdentifier) + "|0|1\n" + std::string(extra) + "EOF\n";
}

TEST_F(FullDiskAccess, NonAsciiOutputAnswersNo) {
    useFakeSqlite(grantingRowsScript(""));
    EXPECT_TRUE(isFullDiskAccessSetup());
    useFakeSqlite(grantingRowsScript("caf\u00e9\n"));
    EXPECT_FALSE(isFullDiskAccessSetup());
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
    EXPECT_TRUE(leftoverFiles(dir_.file("tmp")).empty());
}

TEST_F(FullDiskAccess, OlderSystemRunsNothingAndMakesNoFile) {
    useFakeSqlite("touch " + dir_.file("ran") + "\n");
    vztest::ScopedSystemVersion older("10.13.6");
    EXPECT_FALSE(isFullDiskAccessSetup());
    EXPECT_FALSE(vztest::fileExists(dir_.file("ran")));

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

TEST_F(FullDiskAccess, OverlappingChecksInThreadsKeepTheirOwnOutput) {
    // Slow output: a file shared between checks would be emptied or removed under another one.
    useFakeSqlite("sleep 0.05\n" + grantingRowsScript(""));
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
    EXPECT_TRUE(leftoverFiles(dir_.file("tmp")).empty());
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
    EXPECT_TRUE(leftoverFiles(dir_.file("tmp")).empty());
}

} // namespace
