// vivozi's commands, runs, interrupts and watch, in files or on a terminal.
#include "Child.h"
#include "support/DbusDaemon.h"

#include <VivoziZevidodirid/Notifications.h>
#include <VivoziZevidodirid/Runner.h>
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace vztest;

class Cli : public ::testing::Test {
protected:
    Cli() { paths_.set(&kx::SystemPaths::userDefaults, home_.file("defaults.plist")); }
    // Signals reach vivozi itself.
    Child start(const Args& arguments) { return Child(before_ + "exec " + line(arguments), home_); }
    Finished vivozi(const Args& arguments) { return start(arguments).finish(); }
    Args demo(Args sets) const {
        sets.insert(sets.begin(), {"run", "--demo", "--demo-dir", home_.file("demo")});
        return sets;
    }

    TempDir home_;
    ScopedSystemPaths paths_;
    std::string before_; // said to sh before vivozi starts
};

// What a command prints and its status; an error is one line. Usage errors (2) come before
// anything runs, not after the run's pause, and output that cannot be written fails any command.
TEST_F(Cli, AnswersAndErrors) {
    const std::string running = *KXGetCurrentSystemString(), writeError = "vivozi: write error";
    const struct {
        std::string command;
        int status;
        std::string err, out = ""; // out compared as JSON when it is an object
    } cases[] = {
        {line({"frobnicate"}), 2, "unknown command 'frobnicate'"},
        {line({"frob\x1b]0;x\a"}), 2, "unknown command 'frob\\x1B]0;x\\x07'"},
        {line({"--frobnicate"}), 2, "--frobnicate"},
        {line({"run", "--demo", "no-such-set"}), 2, "no set named 'no-such-set'"},
        {line({"size", "1", "x"}), 2, "'x' is not a byte count"},
        {line({"watch", "--count", "0"}), 2, "--count: '0' is not a whole number above 0"},
        // Set names are checked before anything runs, and an unknown option before a name.
        {line({"run", "--demo", "daily", "my.set"}), 2, "'my.set' is not a set name"},
        {line({"run", "--demo", "a\n|b"}), 2, "'a\\x0A|b' is not a set name"},
        {line({"run", "--sets", "/tmp", "-x"}), 2, "unknown option '-x'"},
        {line({"run", "daily"}), 2,
         "no set named 'daily' in " + home_.file("etc") + "/periodic or "},
        {line({"list", "../etc"}), 2, "'../etc' is not a set name"},
        {line({"history", ""}), 2, "'' is not a set name"},
        {line({"log", "."}), 2, "'.' is not a set name"},
        {line({}) + " >/dev/full", 1, writeError},
        {line(demo({"daily"})) + " >/dev/full", 1, writeError},
        {line({"compare", "1"}) + " >&-", 1, writeError},
        {line({"--version"}), 0, "",
         "vivozi 1.0.0\nlibrary VivoziZevidodirid 1.0 (PROGRAM:VivoziZevidodirid  "
         "PROJECT:Lumivane-1)\n"},
        {line({"size", "2e9"}), 0, "", "2 GB\n"},
        {line({"device-of", "/"}), 0, "", *getVolumeMountFromName("/") + "\n"},
        {line({"device-of", "--json", "/no/such"}), 1, "vivozi: nothing is mounted at /no/such\n",
         R"({"mountPoint": "/no/such", "device": null})"},
        {line({"apfs", "--json", "disk1"}), 1, "vivozi: no APFS container or volume named disk1\n",
         R"({"name": "disk1", "container": null, "systemVolume": null, "dataVolume": null,
             "prebootVolume": null, "recoveryVolume": null, "role": "None", "roleCode": 6})"},
        {line({"compare", "999999"}), 0, "", "running " + running + " is older than 999999\n"},
        // The program's --json is every command's.
        {line({"--json", "compare", "999999"}), 0, "",
         json{{"running", running}, {"version", "999999"}, {"order", -1}, {"relation", "older"}}
             .dump()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const auto start = Clock::now();
        const auto result = Child(c.command, home_).finish();
        EXPECT_TRUE(c.status != 2 || Clock::now() - start < 700ms);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out.starts_with('{') ? json::parse(result.out).dump() : result.out,
                  c.out.starts_with('{') ? json::parse(c.out).dump() : c.out);
        EXPECT_TRUE(std::regex_match(result.err, std::regex(c.err.empty() ? "" : "vivozi: .*\n")) &&
                    contains(result.err, c.err))
            << result.err;
    }
}

TEST_F(Cli, ReportAsTextAndAsJson) {
    const std::string version = *KXGetCurrentSystemString(), text = vivozi({}).out;
    EXPECT_TRUE(contains(text, "\n  Version         " + version + "\n")) << text;
    // Asked only where a privacy database is there to read (this is no macOS).
    const bool applies = fs::is_regular_file(kx::systemPaths().privacyDatabase);
    EXPECT_TRUE(text.ends_with(std::string("\nFull Disk Access  ") +
                               (!applies                  ? "not applicable on this system\n"
                                : isFullDiskAccessSetup() ? "yes\n"
                                                          : "no\n")));
    json report = json::parse(vivozi({"--json"}).out), root;
    for (const json& volume : report["volumes"])
        root = volume["mountPoint"] == "/" ? volume : root;
    EXPECT_EQ(
        json({report["version"], report["fullDiskAccess"], root["device"], root["totalBytes"]}),
        json({version, applies ? json(isFullDiskAccessSetup()) : json(),
              *getVolumeMountFromName("/"), KXFoundationGetVolTotalSize("/")}));
}

// The sample runs keep a journal of their own in the demo folder, never the account's.
TEST_F(Cli, RunInAPipeOneLinePerSetThenTheSummary) {
    before_ = "unset VIVOZI_JOURNAL; ";
    const auto result = vivozi(demo({"daily", "fails-on-purpose"}));
    EXPECT_EQ(result.status, 1) << result.err;
    const auto text = lines(result.out);
    ASSERT_GE(text.size(), 10u) << result.out;
    EXPECT_TRUE(text[0].starts_with("1/2 daily: succeeded, ")) << text[0];
    EXPECT_EQ(text[9], "1 of 2 sets succeeded.");
    EXPECT_FALSE(contains(result.out, "\x1b"));
    json runs = json::parse(
        vivozi({"history", "--json", "--demo", "--demo-dir", home_.file("demo")}).out)["runs"];
    EXPECT_EQ(json({runs.size(), runs[0]["outcome"], runs[1]["set"], runs[1]["outcome"]}),
              json({2, "failed", "daily", "succeeded"}));
}

// script(1) gives it a terminal 100 columns wide.
TEST_F(Cli, RunOnATerminalDrawsTheBarThenClearsIt) {
    const std::string clear = "\r\x1b[2K", run = line(demo({"daily", "fails-on-purpose"}));
    const std::string screen =
        Child("script -qec " + quote("stty cols 100; exec " + run) + " /dev/null", home_)
            .finish()
            .out;
    EXPECT_TRUE(std::regex_search(
        screen, std::regex(R"(^\r\x1b\[2K\[\.{10,40}\]    0%  0/2  (starting|running daily))")))
        << screen;
    EXPECT_TRUE(contains(screen, "   50%  1/2  daily succeeded")) << screen;
    EXPECT_TRUE(contains(screen, clear + "1/2 daily: succeeded, ")) << screen;
    EXPECT_FALSE(contains(screen.substr(screen.rfind(clear)), "%")) << screen;
}

// Sets of the test's own beside their marks, named "periodic" so that the stand-in is handed the
// folder itself and records the scripts' paths.
class CliSets : public Cli {
protected:
    CliSets() {
        const std::string count = quote(sets_.file("count"));
        addScript("good/10-ok", "echo all fine\n");
        addScript("bad/10-ok", "exit 0\n");
        // Ten lines of which the last five are shown; the count shows which run it is.
        addScript("bad/20-fails", "n=$(($(cat " + count + " 2>/dev/null) + 1)); echo $n >" + count +
                                      "\nfor i in $(seq 9); do echo \"run $n line $i\"; done\n"
                                      "printf 'run %s last \\033[2J\\n' $n >&2\nexit 3\n");
        addScript("bad/30-killed", "kill -KILL $$\n");
        addScript("never/10-x", "exit 0\n");
    }
    std::string setFile(const std::string& name) const { return sets_.file("periodic/" + name); }
    void addScript(const std::string& name, const std::string& body) {
        fs::create_directories(fs::path(setFile(name)).parent_path());
        writeScript(setFile(name), body);
    }
    Args withSets(const std::string& command, Args rest) {
        rest.insert(rest.begin(), {command, "--sets", setFile("")});
        return rest;
    }

    TempDir sets_;
};

TEST_F(CliSets, AFailedSetNamesItsScriptsWithStatusAndOutputOfThisRun) {
    for (const std::string run : {"1", "2"}) {
        const auto result = vivozi(withSets("run", {"good", "bad"}));
        EXPECT_EQ(result.status, 1) << result.err;
        const std::string fails = setFile("bad/20-fails"), killed = setFile("bad/30-killed");
        EXPECT_TRUE(
            holds(result.out, {"2/2 bad: failed, Error running daily scripts\n  " + fails +
                                   ": exit status 3\n    run " + run + " line 6\n",
                               "    run " + run + " line 9\n    run " + run + " last \\x1B[2J\n  " +
                                   killed + ": signal 9 (SIGKILL)\n\n"}))
            << result.out;
        EXPECT_FALSE(std::regex_search(result.out, std::regex("line 5|10-ok|all fine")))
            << result.out;
    }
    json set = json::parse(vivozi(withSets("run", {"--json", "bad"})).out)["sets"][0];
    json& failed = set["failedScripts"];
    EXPECT_EQ(
        json({failed.size(), failed[0]["exitStatus"], failed[1]["signal"], set["run"]["outcome"]}),
        json({2, 3, 9, "failed"}));
    EXPECT_TRUE(contains(failed[0]["output"], "run 3 line 1\n")) << set;
    // --verbose shows every script's output as it comes instead, --quiet the failure alone.
    const auto verbose = vivozi(withSets("run", {"--verbose", "good", "bad"})).out;
    EXPECT_TRUE(holds(verbose, {"  all fine\n1/2 good: succeeded", "  run 4 line 1\n"})) << verbose;
    const auto quiet = vivozi(withSets("run", {"--quiet", "good", "bad"})).out;
    EXPECT_TRUE(quiet.starts_with("2/2 bad: failed")) << quiet;
    EXPECT_FALSE(std::regex_search(quiet, std::regex("good|sets succeeded"))) << quiet;
}

TEST_F(CliSets, StatusHistoryLogAndList) {
    vivozi(withSets("run", {"good", "bad"}));
    vivozi(withSets("run", {"bad"}));
    json states = json::parse(vivozi(withSets("status", {"--json"})).out);
    EXPECT_EQ(
        json({states.size(), states[0]["lastRun"]["outcome"], states[0]["lastSuccess"],
              states[2]["lastRun"], states[1]["lastSuccess"] == states[1]["lastRun"]["started"]}),
        json({3, "failed", nullptr, nullptr, true}));
    // Newest first, a page at a time.
    json first = json::parse(vivozi({"history", "--json", "--limit", "2"}).out);
    json second = json::parse(vivozi({"history", "--json", "--limit", "2", "--page", "2"}).out);
    EXPECT_EQ(
        json({first["runs"].size(), second["runs"].size(), first["runs"][0]["set"],
              first["runs"][1]["set"], second["runs"][0]["set"], first["more"], second["more"]}),
        json({2, 1, "bad", "bad", "good", true, false}));
    json newest = json::parse(vivozi({"log", "--json", "bad"}).out);
    EXPECT_EQ(json({newest["scripts"].size(), newest["scripts"][1]["exitStatus"]}), json({3, 3}));
    EXPECT_TRUE(contains(newest["scripts"][1]["output"], "run 2 last \x1b[2J\n")) << newest;

    // The text of each, %T standing for a time; or the error it ends with.
    const std::string id = newest["id"].dump(), later = std::to_string(std::stoll(id) + 100);
    const std::pair<Args, std::string> shown[] = {
        {withSets("status", {}),
         "SET +LAST +PASSED +OUTCOME +DURATION +LAST SUCCESS\nbad +%T +\\d+m?s ago +failed "
         "+\\d+m?s +never\ngood +%T .* succeeded .* %T\nnever +- +- +never run +- +-\n"},
        {{"history", "bad", "--limit", "1"},
         "RUN +SET +STARTED +DURATION +OUTCOME\n +\\d+ +bad +%T +\\d+m?s +failed\n"
         "More: --page 2\n"},
        {{"log", "bad", first["runs"][1]["id"].dump()},
         "[\\s\\S]*: exit status 3, took [\\s\\S]*\n  run 1 line 9\n  run 1 last \\\\x1B\\[2J\n"
         "[\\s\\S]*"},
        {{"log", "bad", later}, "vivozi: no run " + later + " of set 'bad'\n"},
        {{"log", "good", id}, "vivozi: no run " + id + " of set 'good'\n"},
        {{"log", "never"}, "vivozi: no run of set 'never' recorded\n"}};
    for (const auto& [arguments, pattern] : shown) {
        const auto result = vivozi(arguments);
        EXPECT_EQ(result.status, pattern.starts_with("vivozi: ") ? 1 : 0) << pattern;
        EXPECT_TRUE(
            std::regex_match(result.status ? result.err : result.out,
                             std::regex(std::regex_replace(pattern, std::regex("%T"),
                                                           R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))))
            << result.out << result.err;
    }

    // What a set would run, by the stand-in's own rules, and what it leaves out.
    const std::string folder = setFile("listed");
    fs::create_directories(folder + "/40-folder");
    addScript("listed/10-runs", "exit 0\n");
    addScript("listed/15-has.dot", "exit 0\n");
    writeFile(folder + "/30-plain", "not executable");
    EXPECT_EQ(
        vivozi(withSets("list", {"listed"})).out,
        "listed (" + folder + ")\n  " + folder + "/10-runs\n" +
            "  left out: 15-has.dot (name has characters other than letters, digits, '_' and '-')\n"
            "  left out: 30-plain (not executable)\n"
            "  left out: 40-folder (not a regular file)\n");
    const json listed = json::parse(vivozi(withSets("list", {"--json"})).out);
    // Every set when none is named.
    EXPECT_EQ(json({listed.size(), listed[0]["scripts"][2], listed[2]["leftOut"][1]["reason"]}),
              json({4, setFile("bad/30-killed"), "not executable"}));
}

// The second run of a set while one runs is skipped by the stand-in, and said so.
TEST_F(CliSets, ASetAlreadyRunningIsSkippedAndReported) {
    const std::string started = sets_.file("started"), release = sets_.file("release");
    addScript("slow/10-wait", "touch '" + started + "'\nn=0\nwhile [ ! -e '" + release +
                                  "' ] && [ $n -lt 600 ]; do sleep 0.1; n=$((n+1)); done\n");
    Child first = start(withSets("run", {"slow"}));
    eventually([&] { return fileExists(started); });
    const auto second = vivozi(withSets("run", {"slow"}));
    writeFile(release, "");
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(
        holds(second.out, {"1/1 slow: failed, Error running daily scripts\n  skipped: the set "
                           "is already running\n",
                           "\nslow  skipped "}))
        << second.out;
    EXPECT_EQ(first.finish().status, 0);
}

// Each sleeping script waits on a child of its own: only a stop that reaches the whole group
// keeps it from writing "finished". The nine sets queued behind are reported at once.
TEST_F(CliSets, InterruptStopsTheRunningScriptAndFailsTheRestAtOnce) {
    Args names = {"good"};
    for (int i = 0; i < 10; ++i) {
        names.push_back("s" + std::to_string(i));
        const std::string mark = sets_.file(names.back());
        addScript(names.back() + "/10-sleep", "sleep 600 & echo $! > '" + mark +
                                                  ".sleep'\nwait\ntouch '" + mark + ".finished'\n");
    }
    Child run = start(withSets("run", names));
    const std::string sleeper = sets_.file("s0.sleep");
    ASSERT_TRUE(eventually([&] { return !readFile(sleeper).empty(); }));
    const auto signalled = Clock::now();
    run.signal(SIGINT);
    EXPECT_TRUE(run.endsWithin(2500ms));
    const auto result = run.finish();
    EXPECT_LT(Clock::now() - signalled, 2500ms);
    EXPECT_EQ(result.status, 128 + SIGINT) << result.err;
    EXPECT_TRUE(holds(result.out, {"2/11 s0: failed, Error running daily scripts",
                                   "11/11 s9: failed, Error running daily scripts",
                                   "1 of 11 sets succeeded (interrupted)."}))
        << result.out;
    EXPECT_FALSE(processAlive(std::stoi(readFile(sleeper))));
    EXPECT_FALSE(fileExists(sets_.file("s0.finished")));
    EXPECT_TRUE(fileExists(home_.file("journal/journal.sqlite.good.lock")));
}

// A script that ignores the terminate and leaves a child that does too: a hang-up stops the run,
// and once the grace period is over nothing of its process group is left.
TEST_F(CliSets, HangUpKillsWhatIgnoresTheTerminateAfterTheGracePeriod) {
    const std::string group = sets_.file("group");
    addScript("stubborn/10-ignore", "trap '' TERM\nsleep 600 &\nps -o pgid= $$ > '" + group +
                                        ".writing'\nmv '" + group + ".writing' '" + group +
                                        "'\nwait\nwait\n");
    Child run = start(withSets("run", {"--kill-after", "1", "stubborn", "good"}));
    ASSERT_TRUE(eventually([&] { return !readFile(group).empty(); }));
    // Its processes that have not ended (a zombie has; whether one is reaped is not ours).
    const std::string members = "ps -A -o pgid=,stat= | grep -c '^ *" +
                                std::to_string(std::stoi(readFile(group))) + " [^Z]'";
    const auto signalled = Clock::now();
    run.signal(SIGHUP);
    ASSERT_TRUE(run.endsWithin(10s));
    EXPECT_GE(Clock::now() - signalled, 900ms); // the grace period
    const auto result = run.finish();
    EXPECT_EQ(result.status, 128 + SIGHUP);
    EXPECT_TRUE(
        holds(result.out, {"interrupted: stopping the running set; the rest count as failed\n",
                           "0 of 2 sets succeeded (interrupted).\n"}))
        << result.out;
    EXPECT_TRUE(eventually([&] { return shell(members).out == "0\n"; }, 5s))
        << "a process of the run outlived vivozi";
    EXPECT_TRUE(fs::is_empty(home_.file("tmp")));
}

// A stop that comes once every set has ended stops nothing, and is not said to.
TEST_F(CliSets, InterruptAfterTheLastSetLeavesTheRunSucceeded) {
    Child run = start(withSets("run", {"good"}));
    ASSERT_TRUE(run.shows("out", "1/1 good: succeeded"));
    run.signal(SIGINT); // within the second the run waits after its last report
    const auto result = run.finish();
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(contains(result.out, "interrupted after the last set\n")) << result.out;
    EXPECT_TRUE(result.out.ends_with("\n1 of 1 set succeeded.\n")) << result.out;
}

TEST(CliWatch, PrintsTimePercentStatusAndName) {
    DbusDaemon bus; // first: the child sees its address
    TempDir home;
    Child watch("exec " + line({"watch", "--count", "4"}), home);
    Child watchJson("exec " + line({"watch", "--json", "--count", "4"}), home);
    for (Child* watcher : {&watch, &watchJson})
        ASSERT_TRUE(watcher->shows("err", "vivozi: watching vivoziZevidodiridAddNotification on "));
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
    const std::string printed = watchJson.finish().out;
    EXPECT_TRUE(std::ranges::all_of(printed, [](char c) {
        return c == '\n' || (c >= 32 && c < 127);
    })) << printed;
    EXPECT_EQ(json::parse(lines(printed).at(1))["set"], "x\n12:00:00  100%  forged  daily");
}

// Ctrl-C ends watch even while a reader that does not read holds its output.
TEST(CliWatch, InterruptEndsItWhileOutputIsBlocked) {
    DbusDaemon bus;
    TempDir home;
    Child watch("exec " + line({"watch"}), home, true);
    ASSERT_TRUE(watch.shows("err", "vivozi: watching "));
    auto& center = kx::DistributedNotificationCenter::defaultCenter();
    for (int i = 0; i < 200; ++i) // far more than a pipe holds
        center.postNotification(kx::progressNotificationName, "1|" + std::string(2000, 's') + "|x");
    usleep(300 * 1000);
    watch.signal(SIGINT);
    EXPECT_TRUE(watch.endsWithin(5s));
}

} // namespace
