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
                           "VIVOZI_JOURNAL)=")))
            environment.push_back(*entry);
    const char* bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    environment.insert(
        environment.end(),
        {"XDG_CONFIG_HOME=" + folder.file("config"), "XDG_STATE_HOME=" + folder.file("state"),
         // The runs record here, not in the account's journal, nor take its run locks.
         "VIVOZI_JOURNAL=" + folder.file("journal/journal.sqlite"),
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
    // False when the error stream ends first or a minute passes (a guard against a hang).
    bool waitForErr(const std::string& text) {
        const auto deadline = Clock::now() + std::chrono::minutes(1);
        while (!contains(text_[1], text) && fds_[1] >= 0 && Clock::now() < deadline)
            pump(100);
        return contains(text_[1], text);
    }
    Finished finish() {
        while (fds_[0] >= 0 || fds_[1] >= 0)
            pump(-1);
        task_.waitUntilExit();
        return {task_.terminationStatus(), text_[0], text_[1]};
    }

private:
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
        // A folder of the user's own is never the demo's.
        {{"run", "--demo", "--demo-dir", home_.path(), "daily"}, "no .vivozi-demo mark"},
    };
    for (const auto& [arguments, says] : cases) {
        const auto result = vivozi(arguments);
        EXPECT_EQ(result.status, 2) << arguments.front();
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(result.err.starts_with("vivozi: ") && contains(result.err, says) &&
                    result.err.find('\n') + 1 == result.err.size())
            << result.err;
    }
}

TEST_F(Cli, HelpAndVersion) {
    const auto help = vivozi({"--help"});
    for (const std::string command :
         {"report", "run", "watch", "size", "compare", "mount-of", "device-of", "apfs", "tmutil"})
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
    ASSERT_GE(text.size(), 8u) << result.out;
    EXPECT_TRUE(text[0].starts_with("1/2 daily: succeeded, ")) << text[0];
    EXPECT_EQ(text[1], "2/2 fails-on-purpose: failed, Error running daily scripts");
    EXPECT_EQ(text[2], "");
    EXPECT_TRUE(text[5].starts_with("fails-on-purpose  failed     Error running")) << text[5];
    EXPECT_EQ(text[7], "1 of 2 sets succeeded.");
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
