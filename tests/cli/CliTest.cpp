// vivozi run as a user runs it, in pipes or on a pseudo-terminal, with a home of its own: its
// version cache, demo folder and bus are the test's.
#include "support/DbusDaemon.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Notifications.h>
#include <VivoziZevidodirid/Runner.h>
#include <VivoziZevidodirid/Task.h>
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <unistd.h>

extern char** environ;

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

const std::string kClearLine = "\r\x1b[2K";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Without a test bus, a socket where nobody listens, so that no test posts to the real bus.
std::vector<std::string> childEnvironment(const vztest::TempDir& folder) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry)
        if (!std::regex_search(
                *entry,
                std::regex("^(XDG_CONFIG_HOME|XDG_STATE_HOME|DBUS_SYSTEM_BUS_ADDRESS|NO_COLOR|"
                           "VIVOZI_JOURNAL|VIVOZI_PERIODIC_ROOT|TMPDIR)=")))
            environment.push_back(*entry);
    const char* bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    environment.insert(
        environment.end(),
        {"XDG_CONFIG_HOME=" + folder.file("config"), "XDG_STATE_HOME=" + folder.file("state"),
         // The runs record here, not in the account's journal, nor take its run locks.
         "VIVOZI_JOURNAL=" + folder.file("journal/journal.sqlite"),
         // The system's sets are an empty folder of the test's, never /etc's.
         "VIVOZI_PERIODIC_ROOT=" + folder.file("etc"),
         // Where vivozi leaves its temporary files, to see that none are left.
         "TMPDIR=" + (std::filesystem::create_directories(folder.file("tmp")), folder.file("tmp")),
         "DBUS_SYSTEM_BUS_ADDRESS=" +
             (bus && *bus ? std::string(bus) : "unix:path=" + folder.file("no-bus"))});
    return environment;
}

struct Finished {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

// vivozi with output and error in pipes, or both on a terminal that many columns wide.
class Child {
public:
    Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
          unsigned short columns = 0, const std::string& program = VIVOZI_BINARY) {
        task_.setLaunchPath(program);
        task_.setArguments(arguments);
        task_.setEnvironment(environment);
        task_.setStandardInput(kx::Stdio::nullDevice());
        int screen = -1;
        winsize size{24, columns, 0, 0};
        if (columns > 0 && openpty(&fds_[0], &screen, nullptr, nullptr, &size) != 0)
            throw std::runtime_error("openpty failed");
        task_.setStandardOutput(screen >= 0 ? kx::Stdio::file(screen) : kx::Stdio::pipe());
        task_.setStandardError(screen >= 0 ? kx::Stdio::file(screen) : kx::Stdio::pipe());
        const std::error_code error = task_.launch();
        if (screen >= 0)
            close(screen); // the terminal then ends when the child's copies close
        if (error)
            throw std::runtime_error(error.message());
        if (screen < 0)
            fds_ = {task_.takeStandardOutput().release(), task_.takeStandardError().release()};
    }
    ~Child() {
        if (task_.isRunning()) {
            task_.terminate();
            // A vivozi that does not stop must not hang the suite.
            if (!endsWithin(std::chrono::seconds(15)))
                kill(task_.processIdentifier(), SIGKILL);
            task_.waitUntilExit();
        }
        for (const int fd : fds_)
            if (fd >= 0)
                close(fd);
    }
    void signal(int number) { kill(task_.processIdentifier(), number); }
    // Whether the child ends by itself within a time, its output left unread meanwhile.
    bool endsWithin(std::chrono::milliseconds time) {
        const auto deadline = Clock::now() + time;
        while (task_.isRunning() && Clock::now() < deadline)
            usleep(20 * 1000);
        return !task_.isRunning();
    }
    // False when the stream ends first or a minute passes (a guard against a hang).
    bool waitForErr(const std::string& text) { return waitFor(1, text); }
    bool waitForOut(const std::string& text) { return waitFor(0, text); }
    Finished finish() {
        while (fds_[0] >= 0 || fds_[1] >= 0)
            pump(-1);
        task_.waitUntilExit();
        return {task_.terminationStatus(), text_[0], text_[1]};
    }

private:
    bool waitFor(int stream, const std::string& text) {
        const auto deadline = Clock::now() + std::chrono::minutes(1);
        while (!contains(text_[stream], text) && fds_[stream] >= 0 && Clock::now() < deadline)
            pump(100);
        return contains(text_[stream], text);
    }
    void pump(int timeoutMilliseconds) {
        pollfd streams[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        poll(streams, 2, timeoutMilliseconds);
        for (int i = 0; i < 2; ++i) {
            char buffer[4096];
            const ssize_t got = streams[i].revents ? read(fds_[i], buffer, sizeof buffer) : -2;
            if (got > 0)
                text_[i].append(buffer, static_cast<std::size_t>(got));
            else if (got == 0 ||
                     (got == -1 && errno != EINTR)) // EIO: the terminal's writers are gone
                close(std::exchange(fds_[i], -1));
        }
    }

    kx::Task task_;
    std::array<int, 2> fds_{-1, -1};
    std::string text_[2];
};

class Cli : public ::testing::Test {
protected:
    Cli() {
        paths_.edit().userDefaults = home_.file("defaults.plist");
        paths_.apply();
    }
    Finished vivozi(const std::vector<std::string>& arguments) {
        return Child(arguments, childEnvironment(home_)).finish();
    }
    std::vector<std::string> demo(std::vector<std::string> sets) const {
        sets.insert(sets.begin(), {"run", "--demo", "--demo-dir", home_.file("demo")});
        return sets;
    }

    vztest::TempDir home_;
    vztest::ScopedSystemPaths paths_;
};

TEST_F(Cli, BadUsageIsOneLineAndExitTwo) {
    vztest::writeFile(home_.file("mine.txt"), "the user's own");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"--frobnicate"}, "--frobnicate"},
        {{"run", "--demo", "no-such-set"}, "no set named 'no-such-set'"},
        {{"size", "1", "x"}, "'x' is not a byte count"},
        {{"watch", "--count", "0"}, "--count: '0' is not a whole number above 0"},
        // Set names are checked before anything runs, and an unknown option before a name.
        {{"run", "--demo", "daily", "my.set"}, "'my.set' is not a set name"},
        {{"run", "--demo", "a\n|b"}, "'a\\x0A|b' is not a set name"},
        {{"run", "--sets", "/tmp", "-x"}, "not expected: -x"},
        {{"run", "--sets", "/tmp", "a b"}, "'a b' is not a set name"},
        {{"run", ""}, "'' is not a set name"},
        {{"run", "daily"}, "no set named 'daily' in " + home_.file("etc") + "/periodic or "},
        {{"list", "../etc"}, "'../etc' is not a set name"},
        {{"history", ""}, "'' is not a set name"},
        {{"log", "."}, "'.' is not a set name"},
        // A folder of the user's own is never the demo's.
        {{"run", "--demo", "--demo-dir", home_.path(), "daily"}, "no .vivozi-demo mark"},
    };
    for (const auto& [arguments, says] : cases) {
        const auto start = Clock::now();
        const auto result = vivozi(arguments);
        // Refused before anything runs, not after the run's pause.
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(700)) << says;
        EXPECT_EQ(result.status, 2) << arguments.front();
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(result.err.starts_with("vivozi: ") && contains(result.err, says) &&
                    result.err.find('\n') + 1 == result.err.size())
            << result.err;
    }
}

TEST_F(Cli, HelpAndVersion) {
    const auto help = vivozi({"--help"});
    for (const std::string command : {"report", "run", "status", "history", "log", "list", "watch",
                                      "size", "compare", "mount-of", "device-of", "apfs", "tmutil"})
        EXPECT_TRUE(contains(help.out, "\n  " + command + " ")) << command;
    EXPECT_EQ(vivozi({"--version"}).out, "vivozi 1.0.0\nlibrary VivoziZevidodirid 1.0 "
                                         "(PROGRAM:VivoziZevidodirid  PROJECT:Lumivane-1)\n");
}

TEST_F(Cli, ReportAsTextAndAsJson) {
    const auto text = vivozi({}).out;
    EXPECT_TRUE(contains(text, "\n  Version         " + *KXGetCurrentSystemString() + "\n"));
    // Asked only where a privacy database is there to read (this is no macOS).
    const bool applies = std::filesystem::is_regular_file(kx::systemPaths().privacyDatabase);
    EXPECT_TRUE(text.ends_with(std::string("\nFull Disk Access  ") +
                               (!applies                  ? "not applicable on this system\n"
                                : isFullDiskAccessSetup() ? "yes\n"
                                                          : "no\n")));

    const json report = json::parse(vivozi({"--json"}).out);
    EXPECT_EQ(report["version"], *KXGetCurrentSystemString());
    EXPECT_EQ(report["fullDiskAccess"], applies ? json(isFullDiskAccessSetup()) : json());
    const auto root = std::ranges::find(report["volumes"], json("/"),
                                        [](const json& volume) { return volume["mountPoint"]; });
    ASSERT_NE(root, report["volumes"].end());
    EXPECT_EQ((*root)["device"], *getVolumeMountFromName("/"));
    EXPECT_EQ((*root)["totalBytes"], KXFoundationGetVolTotalSize("/"));
}

TEST_F(Cli, Queries) {
    const std::string running = *KXGetCurrentSystemString();
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string out; // compared as JSON when the command was given --json
        std::string err;
    } cases[] = {
        {{"size", "1536", "2e9"}, 0, "BYTES     SIZE\n 1536  1.54 KB\n  2e9     2 GB\n", ""},
        {{"device-of", "/"}, 0, *getVolumeMountFromName("/") + "\n", ""},
        {{"device-of", "--json", "/no/such"},
         1,
         R"({"mountPoint": "/no/such", "device": null})",
         "vivozi: nothing is mounted at /no/such\n"},
        {{"apfs", "--json", "disk1"},
         1,
         R"({"name": "disk1", "container": null, "systemVolume": null, "dataVolume": null,
             "prebootVolume": null, "recoveryVolume": null, "role": "None", "roleCode": 6})",
         "vivozi: no APFS container or volume named disk1\n"},
        {{"compare", "999999"}, 0, "running " + running + " is older than 999999\n", ""},
        // The program's --json is every command's.
        {{"--json", "compare", "999999"},
         0,
         json{{"running", running}, {"version", "999999"}, {"order", -1}, {"relation", "older"}}
             .dump(),
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.front() + " " + c.arguments[1]);
        const auto result = vivozi(c.arguments);
        EXPECT_EQ(result.status, c.status);
        if (std::ranges::find(c.arguments, "--json") != c.arguments.end()) {
            EXPECT_EQ(json::parse(result.out), json::parse(c.out));
        } else {
            EXPECT_EQ(result.out, c.out);
        }
        EXPECT_EQ(result.err, c.err);
    }
}

// Output that cannot be written is a failure, said once, whatever the command.
TEST_F(Cli, WriteErrorsFailTheCommand) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {">/dev/full", {}},
        {">/dev/full", demo({"daily"})},
        {">&-", {"compare", "1"}},
    };
    for (const auto& [redirect, arguments] : cases) {
        std::vector<std::string> shell = {"-c", "exec \"$0\" \"$@\" " + redirect, VIVOZI_BINARY};
        shell.insert(shell.end(), arguments.begin(), arguments.end());
        const auto result = Child(shell, childEnvironment(home_), 0, "/bin/sh").finish();
        SCOPED_TRACE(redirect + " " + (arguments.empty() ? "" : arguments.front()));
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(std::regex_match(result.err, std::regex("vivozi: write error(: .+)?\n")))
            << result.err;
    }
}

TEST_F(Cli, RunInAPipeOneLinePerSetThenTheSummary) {
    EXPECT_TRUE(contains(vivozi(demo({"daily"})).out, "\n1 of 1 set succeeded.\n"));
    const auto result = vivozi(demo({"daily", "fails-on-purpose"}));
    EXPECT_EQ(result.status, 1) << result.err;
    const auto text = vztest::lines(result.out);
    ASSERT_GE(text.size(), 10u) << result.out;
    EXPECT_TRUE(text[0].starts_with("1/2 daily: succeeded, ")) << text[0];
    EXPECT_EQ(text[1], "2/2 fails-on-purpose: failed, Error running daily scripts");
    // The failed script, how it ended and what it said, from the journal.
    EXPECT_EQ(text[2], "  " VZ_SOURCE_DIR "/examples/periodic/fails-on-purpose/100-always-fails: "
                       "exit status 1");
    EXPECT_EQ(text[3], "    fails-on-purpose: this sample set fails by design");
    EXPECT_EQ(text[4], "");
    EXPECT_TRUE(text[7].starts_with("fails-on-purpose  failed     Error running")) << text[7];
    EXPECT_EQ(text[9], "1 of 2 sets succeeded.");
    EXPECT_FALSE(contains(result.out, "\x1b"));
}

TEST_F(Cli, RunOnATerminalDrawsTheBarThenClearsIt) {
    const auto screen =
        Child(demo({"daily", "fails-on-purpose"}), childEnvironment(home_), 100).finish().out;
    EXPECT_TRUE(std::regex_search(
        screen, std::regex(R"(^\r\x1b\[2K\[\.{10,40}\]    0%  0/2  (starting|running daily))")))
        << screen;
    EXPECT_TRUE(contains(screen, "   50%  1/2  daily succeeded")) << screen;
    EXPECT_TRUE(contains(screen, kClearLine + "1/2 daily: succeeded, ")) << screen;
    const std::string afterBar = screen.substr(screen.rfind(kClearLine));
    EXPECT_FALSE(contains(afterBar, "%")) << afterBar;
}

// Each sleeping script waits on a child of its own: only a stop that reaches the whole group
// keeps it from writing "finished".
TEST_F(Cli, InterruptStopsTheRunningScriptAndFailsTheRest) {
    vztest::TempDir sets;
    const std::string marks = sets.path() + "/";
    for (const std::string name : {"good", "first", "second"}) {
        std::filesystem::create_directories(sets.file(name));
        vztest::writeScript(sets.file(name) + "/10-script",
                            name == "good"
                                ? "exit 0\n"
                                : "sleep 600 & echo $! > '" + marks + name +
                                      ".sleep'\nwait\ntouch '" + marks + name + ".finished'\n");
    }
    Child run({"run", "--sets", sets.path(), "good", "first", "second"}, childEnvironment(home_));
    const auto deadline = Clock::now() + std::chrono::minutes(1);
    while (vztest::readFile(marks + "first.sleep").empty() && Clock::now() < deadline)
        usleep(20 * 1000);
    run.signal(SIGINT);
    const auto result = run.finish();
    EXPECT_EQ(result.status, 128 + SIGINT) << result.err;
    for (const char* line : {"2/3 first: failed, Error running daily scripts",
                             "3/3 second: failed, Error running daily scripts",
                             "1 of 3 sets succeeded (interrupted)."})
        EXPECT_TRUE(contains(result.out, line)) << line << " in\n" << result.out;
    const std::string sleeper = vztest::readFile(marks + "first.sleep");
    ASSERT_FALSE(sleeper.empty()) << "the first script never started";
    EXPECT_FALSE(vztest::processAlive(std::stoi(sleeper)));
    EXPECT_FALSE(vztest::fileExists(marks + "first.finished"));
    EXPECT_TRUE(vztest::fileExists(home_.file("journal/journal.sqlite.good.lock")));
}

// The third field after the command in /proc/PID/stat, which may hold blanks and parentheses.
pid_t processGroupOf(pid_t process) {
    const std::string stat = vztest::readFile("/proc/" + std::to_string(process) + "/stat");
    const std::size_t close = stat.rfind(')');
    int group = 0;
    return close != std::string::npos &&
                   std::sscanf(stat.c_str() + close + 1, " %*c %*d %d", &group) == 1
               ? group
               : 0;
}

// Processes of the group that have not ended (a zombie has; whether one is reaped is not ours).
int groupMembers(pid_t group) {
    int members = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = vztest::readFile(entry.path().string() + "/stat");
        const std::size_t close = stat.rfind(')');
        char state = 0;
        int itsGroup = 0;
        if (close != std::string::npos &&
            std::sscanf(stat.c_str() + close + 1, " %c %*d %d", &state, &itsGroup) == 2 &&
            itsGroup == group && state != 'Z')
            ++members;
    }
    return members;
}

// Sets of the test's own, each file written with its body (a script when executable).
struct SetFile {
    std::string path; // SET/NAME
    std::string body;
    bool executable = true;
};

class CliSets : public Cli {
protected:
    CliSets() {
        for (const SetFile& file : std::initializer_list<SetFile>{
                 {"good/10-ok", "echo all fine\n"},
                 // Ten lines of which the last five are shown; the count shows which run it is.
                 {"bad/10-ok", "exit 0\n"},
                 {"bad/20-fails",
                  "n=$(cat '" + sets_.file("count") +
                      "' 2>/dev/null || echo 0); n=$((n+1))\n"
                      "echo $n > '" +
                      sets_.file("count") +
                      "'\n"
                      "for i in 1 2 3 4 5 6 7 8 9; do echo \"run $n line $i\"; done\n"
                      "printf 'run %s last \\033[2J\\n' $n >&2\nexit 3\n"},
                 {"bad/30-killed", "kill -KILL $$\n"},
                 {"never/10-x", "exit 0\n"},
             }) {
            std::filesystem::create_directories(
                std::filesystem::path(setFile(file.path)).parent_path());
            vztest::writeScript(setFile(file.path), file.body);
        }
    }
    std::vector<std::string> withSets(const std::string& command, std::vector<std::string> rest) {
        rest.insert(rest.begin(), {command, "--sets", setFile("")});
        return rest;
    }

    // Named so that the stand-in is handed the folder itself, and records the scripts' paths.
    std::string setFile(const std::string& name) const { return sets_.file("periodic/" + name); }

    vztest::TempDir sets_; // the sets' marks beside them
};

TEST_F(CliSets, AFailedSetNamesItsScriptsWithStatusAndOutputOfThisRun) {
    for (const std::string run : {"1", "2"}) {
        SCOPED_TRACE("run " + run);
        const auto result = vivozi(withSets("run", {"good", "bad"}));
        EXPECT_EQ(result.status, 1) << result.err;
        const std::string failed = setFile("bad/20-fails");
        const std::string expected = "2/2 bad: failed, Error running daily scripts\n  " + failed +
                                     ": exit status 3\n    run " + run + " line 6\n";
        EXPECT_TRUE(contains(result.out, expected)) << result.out;
        EXPECT_TRUE(contains(result.out, "    run " + run + " line 9\n    run " + run +
                                             " last \\x1B[2J\n  " + setFile("bad/30-killed") +
                                             ": signal 9 (SIGKILL)\n\n"))
            << result.out;
        EXPECT_FALSE(contains(result.out, "line 5") || contains(result.out, "10-ok") ||
                     contains(result.out, "all fine"))
            << result.out;
    }
    const json answer = json::parse(vivozi(withSets("run", {"--json", "bad"})).out);
    const json& scripts = answer["sets"][0]["failedScripts"];
    ASSERT_EQ(scripts.size(), 2u) << answer.dump();
    EXPECT_EQ(scripts[0]["exitStatus"], 3);
    EXPECT_TRUE(contains(scripts[0]["output"], "run 3 line 1\n"));
    EXPECT_EQ(scripts[1]["signal"], 9);
    EXPECT_EQ(answer["sets"][0]["run"]["outcome"], "failed");

    // --verbose shows every script's output as it comes instead.
    const auto verbose = vivozi(withSets("run", {"--verbose", "good", "bad"}));
    EXPECT_TRUE(contains(verbose.out, "  all fine\n1/2 good: succeeded") &&
                contains(verbose.out, "  run 4 line 1\n"))
        << verbose.out;
    // --quiet says the failure alone.
    const auto quiet = vivozi(withSets("run", {"--quiet", "good", "bad"}));
    EXPECT_TRUE(quiet.out.starts_with("2/2 bad: failed")) << quiet.out;
    EXPECT_FALSE(contains(quiet.out, "good") || contains(quiet.out, "sets succeeded"));
}

TEST_F(CliSets, StatusHistoryLogAndList) {
    vivozi(withSets("run", {"good", "bad"}));
    vivozi(withSets("run", {"bad"}));

    const auto status = vztest::lines(vivozi(withSets("status", {})).out);
    ASSERT_EQ(status.size(), 4u);
    EXPECT_TRUE(std::regex_match(status[0],
                                 std::regex("SET +LAST +PASSED +OUTCOME +DURATION +LAST SUCCESS")));
    const std::string time = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
    EXPECT_TRUE(std::regex_match(
        status[1], std::regex("bad +" + time + " +\\d+m?s ago +failed +\\d+m?s +never")))
        << status[1];
    EXPECT_TRUE(
        std::regex_match(status[2], std::regex("good +" + time + " .* succeeded .* " + time)))
        << status[2];
    EXPECT_TRUE(std::regex_match(status[3], std::regex("never +- +- +never run +- +-")))
        << status[3];
    const json states = json::parse(vivozi(withSets("status", {"--json"})).out);
    ASSERT_EQ(states.size(), 3u);
    EXPECT_EQ(states[0]["lastRun"]["outcome"], "failed");
    EXPECT_TRUE(states[0]["lastSuccess"].is_null());
    EXPECT_EQ(states[1]["lastSuccess"], states[1]["lastRun"]["started"]);
    EXPECT_TRUE(states[2]["lastRun"].is_null());

    // Newest first, a page at a time.
    const json first = json::parse(vivozi({"history", "--json", "--limit", "2"}).out);
    ASSERT_EQ(first["runs"].size(), 2u);
    EXPECT_TRUE(first["more"]);
    EXPECT_EQ(first["runs"][0]["set"], "bad");
    EXPECT_EQ(first["runs"][1]["set"], "bad");
    const json second =
        json::parse(vivozi({"history", "--json", "--limit", "2", "--page", "2"}).out);
    ASSERT_EQ(second["runs"].size(), 1u);
    EXPECT_EQ(second["runs"][0]["set"], "good");
    EXPECT_FALSE(second["more"]);
    const auto history = vivozi({"history", "bad", "--limit", "1"}).out;
    EXPECT_TRUE(std::regex_search(
        history, std::regex(R"(^RUN +SET +STARTED +DURATION +OUTCOME\n +\d+ +bad +)" + time +
                            R"( +\d+m?s +failed\nMore: --page 2\n$)")))
        << history;

    const json newest = json::parse(vivozi({"log", "--json", "bad"}).out);
    const std::int64_t id = newest["id"];
    ASSERT_EQ(newest["scripts"].size(), 3u);
    EXPECT_EQ(newest["scripts"][1]["exitStatus"], 3);
    EXPECT_TRUE(contains(newest["scripts"][1]["output"], "run 2 last \x1b[2J\n"));
    const auto older =
        vivozi({"log", "bad", std::to_string(first["runs"][1]["id"].get<std::int64_t>())});
    EXPECT_TRUE(contains(older.out, ": exit status 3, took ") &&
                contains(older.out, "\n  run 1 line 9\n  run 1 last \\x1B[2J\n"))
        << older.out;
    for (const auto& [arguments, says] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"log", "bad", std::to_string(id + 100)},
              "no run " + std::to_string(id + 100) + " of set 'bad'"},
             {{"log", "good", std::to_string(id)},
              "no run " + std::to_string(id) + " of set 'good'"},
             {{"log", "never"}, "no run of set 'never' recorded"}}) {
        const auto result = vivozi(arguments);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "vivozi: " + says + "\n");
    }

    // What a set would run, by the stand-in's own rules, and what it leaves out.
    const std::string folder = setFile("listed");
    std::filesystem::create_directories(folder + "/40-folder");
    vztest::writeScript(folder + "/20-runs", "exit 0\n");
    vztest::writeScript(folder + "/10-runs", "exit 0\n");
    vztest::writeScript(folder + "/15-has.dot", "exit 0\n");
    vztest::writeFile(folder + "/30-plain", "not executable");
    EXPECT_EQ(
        vivozi(withSets("list", {"listed"})).out,
        "listed (" + folder + ")\n  " + folder + "/10-runs\n  " + folder + "/20-runs\n" +
            "  left out: 15-has.dot (name has characters other than letters, digits, '_' and '-')\n"
            "  left out: 30-plain (not executable)\n"
            "  left out: 40-folder (not a regular file)\n");
    const json listed = json::parse(vivozi(withSets("list", {"--json"})).out);
    ASSERT_EQ(listed.size(), 4u); // every set when none is named
    EXPECT_EQ(listed[0]["scripts"],
              json({setFile("bad/10-ok"), setFile("bad/20-fails"), setFile("bad/30-killed")}));
    EXPECT_EQ(listed[2]["leftOut"][1], json({{"name", "30-plain"}, {"reason", "not executable"}}));
}

// The second run of a set while one runs is skipped by the stand-in, and said so.
TEST_F(CliSets, ASetAlreadyRunningIsSkippedAndReported) {
    const std::string started = sets_.file("started"), release = sets_.file("release");
    std::filesystem::create_directories(setFile("slow"));
    vztest::writeScript(setFile("slow/10-wait"),
                        "touch '" + started + "'\nn=0\nwhile [ ! -e '" + release +
                            "' ] && [ $n -lt 600 ]; do sleep 0.1; n=$((n+1)); done\n");
    Child first(withSets("run", {"slow"}), childEnvironment(home_));
    const auto deadline = Clock::now() + std::chrono::minutes(1);
    while (!vztest::fileExists(started) && Clock::now() < deadline)
        usleep(20 * 1000);
    const auto second = vivozi(withSets("run", {"slow"}));
    vztest::writeFile(release, "");
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(contains(second.out, "1/1 slow: failed, Error running daily scripts\n  skipped: "
                                     "the set is already running\n"))
        << second.out;
    EXPECT_TRUE(contains(second.out, "\nslow  skipped ")) << second.out;
    EXPECT_EQ(first.finish().status, 0);
    const json runs = json::parse(vivozi({"history", "--json", "slow"}).out)["runs"];
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0]["outcome"], "skipped");
    EXPECT_EQ(runs[1]["outcome"], "succeeded");
}

// A script that ignores the terminate and leaves a child that does too: a hang-up stops the run,
// and once the grace period is over nothing of its process group is left.
TEST_F(CliSets, HangUpKillsWhatIgnoresTheTerminateAfterTheGracePeriod) {
    const std::string pid = sets_.file("pid");
    std::filesystem::create_directories(setFile("stubborn"));
    vztest::writeScript(setFile("stubborn/10-ignore"), "trap '' TERM\nsleep 600 &\necho $$ > '" +
                                                           pid + ".writing'\nmv '" + pid +
                                                           ".writing' '" + pid + "'\nwait\nwait\n");
    const auto start = Clock::now();
    Child run(withSets("run", {"--kill-after", "1", "stubborn", "good"}), childEnvironment(home_));
    while (vztest::readFile(pid).empty() && Clock::now() - start < std::chrono::minutes(1))
        usleep(20 * 1000);
    ASSERT_FALSE(vztest::readFile(pid).empty());
    const pid_t group = processGroupOf(std::stoi(vztest::readFile(pid)));
    const auto signalled = Clock::now();
    run.signal(SIGHUP);
    ASSERT_TRUE(run.endsWithin(std::chrono::seconds(10)));
    EXPECT_GE(Clock::now() - signalled, std::chrono::milliseconds(900)); // the grace period
    const auto result = run.finish();
    EXPECT_EQ(result.status, 128 + SIGHUP);
    EXPECT_TRUE(
        contains(result.out, "interrupted: stopping the running set; the rest count as failed\n"))
        << result.out;
    EXPECT_TRUE(contains(result.out, "0 of 2 sets succeeded (interrupted).\n")) << result.out;
    const auto gone = Clock::now() + std::chrono::seconds(5);
    while (groupMembers(group) > 0 && Clock::now() < gone)
        usleep(20 * 1000);
    EXPECT_EQ(groupMembers(group), 0) << "a process of the run outlived vivozi";
    EXPECT_TRUE(std::filesystem::is_empty(home_.file("tmp")));
}

TEST_F(CliSets, InterruptWithTenSetsQueuedReportsTheRestAtOnce) {
    std::vector<std::string> names;
    for (int i = 0; i < 10; ++i) {
        names.push_back("s" + std::to_string(i));
        std::filesystem::create_directories(setFile(names.back()));
        vztest::writeScript(setFile(names.back() + "/10-sleep"),
                            "touch '" + sets_.file("started") + "'\nexec sleep 600\n");
    }
    Child run(withSets("run", names), childEnvironment(home_));
    const auto deadline = Clock::now() + std::chrono::minutes(1);
    while (!vztest::fileExists(sets_.file("started")) && Clock::now() < deadline)
        usleep(20 * 1000);
    const auto signalled = Clock::now();
    run.signal(SIGINT);
    EXPECT_TRUE(run.endsWithin(std::chrono::milliseconds(2500)));
    const auto result = run.finish();
    EXPECT_LT(Clock::now() - signalled, std::chrono::milliseconds(2500));
    EXPECT_EQ(result.status, 128 + SIGINT);
    EXPECT_TRUE(contains(result.out, "10/10 s9: failed") &&
                contains(result.out, "0 of 10 sets succeeded (interrupted).\n"))
        << result.out;
}

// A stop that comes once every set has ended stops nothing, and is not said to.
TEST_F(CliSets, InterruptAfterTheLastSetLeavesTheRunSucceeded) {
    Child run(withSets("run", {"good"}), childEnvironment(home_));
    ASSERT_TRUE(run.waitForOut("1/1 good: succeeded"));
    run.signal(SIGINT); // within the second the run waits after its last report
    const auto result = run.finish();
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(contains(result.out, "interrupted after the last set\n")) << result.out;
    EXPECT_TRUE(result.out.ends_with("\n1 of 1 set succeeded.\n")) << result.out;
}

// The sample runs keep a journal of their own in the demo folder, never the account's.
TEST_F(Cli, DemoRunsJournalInTheDemoFolder) {
    auto environment = childEnvironment(home_);
    std::erase_if(environment,
                  [](const std::string& entry) { return entry.starts_with("VIVOZI_JOURNAL="); });
    const std::string demoFolder = home_.file("demo");
    ASSERT_EQ(Child(demo({"daily"}), environment).finish().status, 0);
    EXPECT_TRUE(vztest::fileExists(demoFolder + "/journal/journal.sqlite"));
    const json history = json::parse(
        Child({"history", "--json", "--demo", "--demo-dir", demoFolder}, environment).finish().out);
    ASSERT_EQ(history["runs"].size(), 1u);
    EXPECT_EQ(history["runs"][0]["set"], "daily");
    EXPECT_EQ(history["runs"][0]["outcome"], "succeeded");
}

TEST(CliWatch, PrintsTimePercentStatusAndName) {
    vztest::DbusDaemon bus; // first: the child sees its address
    vztest::TempDir home;
    Child watch({"watch", "--count", "4"}, childEnvironment(home));
    Child watchJson({"watch", "--json", "--count", "4"}, childEnvironment(home));
    for (Child* watcher : {&watch, &watchJson})
        ASSERT_TRUE(watcher->waitForErr("vivozi: watching vivoziZevidodiridAddNotification on "));
    auto& center = kx::DistributedNotificationCenter::defaultCenter();
    center.postNotification("some.other.notification", "7|not for us|x");
    center.postNotification(kx::progressNotificationName, "7|Error running daily scripts|weekly");
    // Any process may post: nothing it sends may drive the terminal or forge a line.
    center.postNotification(kx::progressNotificationName,
                            "9|\x1b]0;owned\x07\u009b2J\u202e|x\n12:00:00  100%  forged  daily");
    center.postNotification(kx::progressNotificationName, "\x1b[2J\x7f");
    center.postNotification(kx::progressNotificationName, "50|Monday|a|b"); // a set may hold '|'

    const auto watched = watch.finish();
    EXPECT_EQ(watched.status, 0) << watched.err;
    EXPECT_TRUE(std::regex_match(
        watched.out,
        std::regex(R"(\d\d:\d\d:\d\d    7%  Error running daily scripts  weekly\n)"
                   R"(\d\d:\d\d:\d\d    9%  \\x1B\]0;owned\\x07\\u\{009B\}2J\\u\{202E\}  )"
                   R"(x\\x0A12:00:00  100%  forged  daily\n)"
                   R"(\d\d:\d\d:\d\d  \\x1B\[2J\\x7F\n)"
                   R"(\d\d:\d\d:\d\d   50%  Monday  a\|b\n)")))
        << watched.out;
    // As JSON the text arrives whole, in ASCII escapes only.
    const std::string lines = watchJson.finish().out;
    EXPECT_TRUE(std::ranges::all_of(lines, [](char c) {
        return c == '\n' || (c >= 32 && c < 127);
    })) << lines;
    EXPECT_EQ(json::parse(vztest::lines(lines).at(1))["set"], "x\n12:00:00  100%  forged  daily");
}

// Ctrl-C ends watch even while a reader that does not read holds its output.
TEST(CliWatch, InterruptEndsItWhileOutputIsBlocked) {
    vztest::DbusDaemon bus;
    vztest::TempDir home;
    Child watch({"watch"}, childEnvironment(home));
    ASSERT_TRUE(watch.waitForErr("vivozi: watching "));
    auto& center = kx::DistributedNotificationCenter::defaultCenter();
    for (int i = 0; i < 200; ++i) // far more than a pipe holds
        center.postNotification(kx::progressNotificationName, "1|" + std::string(2000, 's') + "|x");
    usleep(300 * 1000);
    watch.signal(SIGINT);
    EXPECT_TRUE(watch.endsWithin(std::chrono::seconds(5)));
}

} // namespace
