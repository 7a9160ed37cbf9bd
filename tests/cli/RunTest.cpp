// `vivozi run` over the bundled sample sets and sets of the test's own: what it shows on a
// terminal and in a pipe, what it reports, and how Ctrl-C ends it.
#include "cli/CliTestSupport.h"
#include "cli/Format.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>

namespace {

using nlohmann::json;

constexpr char kClearLine[] = "\r\x1b[2K";
constexpr std::size_t kClearLineSize = sizeof kClearLine - 1;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class Run : public ::testing::Test {
protected:
    std::vector<std::string> environment() const { return clitest::childEnvironment(home_); }
    std::string demoFolder() const { return home_.file("demo"); }
    std::string journal() const { return vztest::readFile(demoFolder() + "/maintenance.log"); }

    // A set of the test's own: one script, the body given.
    std::string addSet(const std::string& name, const std::string& body) {
        std::filesystem::create_directories(sets_.file(name));
        vztest::writeScript(sets_.file(name) + "/10-script", body);
        return sets_.path();
    }

    vztest::TempDir home_;
    vztest::TempDir sets_;
};

TEST_F(Run, InAPipeOneLinePerSetThenTheSummary) {
    const auto result = clitest::runVivozi(
        {"run", "--demo", "--demo-dir", demoFolder(), "daily", "weekly"}, environment());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(contains(result.out, "\x1b")) << "no terminal control in a pipe";
    const auto text = clitest::lines(result.out);
    ASSERT_GE(text.size(), 8u) << result.out;
    EXPECT_EQ(text[0].rfind("1/2 daily: succeeded, ", 0), 0u) << text[0];
    EXPECT_EQ(text[1].rfind("2/2 weekly: succeeded, ", 0), 0u) << text[1];
    EXPECT_EQ(text[2], "");
    EXPECT_EQ(text[3].rfind("SET ", 0), 0u) << text[3];
    EXPECT_EQ(text[4].rfind("daily   succeeded  ", 0), 0u) << text[4];
    EXPECT_EQ(text[5].rfind("weekly  succeeded  ", 0), 0u) << text[5];
    EXPECT_EQ(text[7], "2 of 2 sets succeeded.");
    EXPECT_EQ(text[8], "The sample sets worked in " + demoFolder());

    // The sample sets did their work in the demo folder, and nowhere else.
    const std::string log = journal();
    EXPECT_TRUE(contains(log, "daily/rotate-log: rotated app.log")) << log;
    EXPECT_TRUE(contains(log, "daily/clean-cache: removed 2 stale entries")) << log;
    EXPECT_TRUE(contains(log, "weekly/archive-logs: wrote archive/")) << log;
    EXPECT_TRUE(vztest::fileExists(demoFolder() + "/log/app.log.1"));
    EXPECT_TRUE(vztest::fileExists(demoFolder() + "/reports/usage.txt"));
    EXPECT_FALSE(vztest::fileExists(home_.file("state")));
}

TEST_F(Run, OnATerminalTheBarIsDrawnThenCleared) {
    const auto result = clitest::runOnTerminal(
        {"run", "--demo", "--demo-dir", demoFolder(), "daily", "fails-on-purpose"}, environment(),
        100);
    EXPECT_EQ(result.status, 1);
    const std::string& screen = result.out;
    // Drawn in place, filling as the sets finish (the failed set adds nothing to `progress`).
    // The first drawing comes before any set is done.
    EXPECT_TRUE(std::regex_search(
        screen, std::regex(R"(^\r\x1b\[2K\[\.{10,40}\]    0%  0/2  (starting|running daily))")))
        << screen;
    EXPECT_TRUE(contains(screen, "   50%  1/2  daily succeeded")) << screen;
    EXPECT_TRUE(contains(screen, "   50%  2/2  fails-on-purpose failed")) << screen;
    // Each outcome is a line of its own above the bar.
    EXPECT_TRUE(contains(screen, std::string(kClearLine) + "1/2 daily: succeeded, ")) << screen;
    EXPECT_TRUE(contains(screen, std::string(kClearLine) +
                                     "2/2 fails-on-purpose: failed, Error running daily scripts"))
        << screen;
    // Cleared before the summary: nothing of the bar after the last clear.
    const std::string afterBar = screen.substr(screen.rfind(kClearLine) + kClearLineSize);
    EXPECT_FALSE(contains(afterBar, "[")) << afterBar;
    EXPECT_FALSE(contains(afterBar, "%")) << afterBar;
    EXPECT_TRUE(contains(afterBar, "fails-on-purpose  failed     Error running daily scripts"))
        << afterBar;
    EXPECT_TRUE(contains(afterBar, "1 of 2 sets succeeded.")) << afterBar;
    // Every drawing of the bar fits the terminal's 100 columns, or it could not be redrawn.
    std::size_t drawings = 0;
    for (std::size_t at = screen.find(kClearLine); at != std::string::npos;) {
        const std::size_t next = screen.find(kClearLine, at + 1);
        std::string drawn = screen.substr(
            at + kClearLineSize, next == std::string::npos ? next : next - at - kClearLineSize);
        // An outcome printed above the bar comes first, then the bar drawn again.
        drawn.erase(0, drawn.rfind('\n') == std::string::npos ? 0 : drawn.rfind('\n') + 1);
        if (contains(drawn, "%  ")) {
            ++drawings;
            EXPECT_LT(vivozi::displayWidth(drawn), 100u) << drawn;
        }
        at = next;
    }
    EXPECT_GE(drawings, 3u);
}

TEST_F(Run, JsonReportsEachSet) {
    const auto result = clitest::runVivozi(
        {"run", "--json", "--demo", "--demo-dir", demoFolder(), "fails-on-purpose", "monthly"},
        environment());
    EXPECT_EQ(result.status, 1);
    const json report = json::parse(result.out);
    ASSERT_EQ(report["sets"].size(), 2u);
    EXPECT_EQ(report["sets"][0]["name"], "fails-on-purpose");
    EXPECT_EQ(report["sets"][0]["succeeded"], false);
    EXPECT_EQ(report["sets"][0]["status"], "Error running daily scripts");
    EXPECT_EQ(report["sets"][1]["name"], "monthly");
    EXPECT_EQ(report["sets"][1]["succeeded"], true);
    EXPECT_NE(report["sets"][1]["status"], "Error running daily scripts");
    EXPECT_EQ(report["succeeded"], false);
    EXPECT_EQ(report["interrupted"], false);
    EXPECT_EQ(report["progress"], 1.0);
    EXPECT_EQ(report["demoFolder"], demoFolder());
    EXPECT_TRUE(contains(journal(), "fails-on-purpose/always-fails: failing"));
}

TEST_F(Run, OwnSetsExitStatusFollowsTheScripts) {
    struct Case {
        std::vector<std::string> sets;
        int status;
    };
    addSet("good", "exit 0\n");
    addSet("bad", "exit 3\n");
    const Case cases[] = {{{"good"}, 0}, {{"bad"}, 1}, {{"good", "bad"}, 1}, {{"bad", "good"}, 1}};
    for (const Case& c : cases) {
        std::vector<std::string> arguments{"run", "--json", "--sets", sets_.path()};
        arguments.insert(arguments.end(), c.sets.begin(), c.sets.end());
        const auto result = clitest::runVivozi(arguments, environment());
        EXPECT_EQ(result.status, c.status) << c.sets.front() << ": " << result.err;
        const json report = json::parse(result.out);
        ASSERT_EQ(report["sets"].size(), c.sets.size());
        for (std::size_t i = 0; i < c.sets.size(); ++i)
            EXPECT_EQ(report["sets"][i]["succeeded"], c.sets[i] == "good") << i;
        EXPECT_TRUE(report["demoFolder"].is_null());
    }
}

TEST_F(Run, CtrlCDuringADemoRunFailsTheRestAndLeavesNoChild) {
    clitest::Child run({"run", "--demo", "--demo-dir", demoFolder(), "daily", "weekly", "monthly"},
                       environment());
    ASSERT_TRUE(run.waitForOut("1/3 daily: succeeded")) << "daily never finished";
    run.signal(SIGINT);
    const auto result = run.finish();

    EXPECT_EQ(result.status, 130) << result.out << result.err;
    EXPECT_TRUE(contains(result.out, "interrupted: stopping the running set")) << result.out;
    EXPECT_TRUE(contains(result.out, "2/3 weekly: failed, Error running daily scripts"))
        << result.out;
    EXPECT_TRUE(contains(result.out, "3/3 monthly: failed, Error running daily scripts"))
        << result.out;
    EXPECT_TRUE(contains(result.out, "1 of 3 sets succeeded (interrupted).")) << result.out;
    // Every script of the run carries the demo folder in its environment.
    EXPECT_EQ(clitest::processesWithEnvironmentEntry("VIVOZI_DEMO_DIR=" + demoFolder()),
              std::vector<pid_t>{});
}

TEST_F(Run, CtrlCStopsTheRunningScriptAndEachSetStartedAfter) {
    // The script says it is running, then waits on a child of its own; only a stop that
    // reaches the whole group keeps it from writing "finished".
    const std::string marks = sets_.path();
    for (const std::string name : {"first", "second"})
        addSet(name, "sleep 600 & echo $! > '" + marks + "/" + name +
                         ".sleep'\n"
                         "echo $$ > '" +
                         marks + "/" + name +
                         ".pid'\n"
                         "wait\n"
                         "touch '" +
                         marks + "/" + name + ".finished'\n");
    clitest::Child run({"run", "--sets", sets_.path(), "first", "second"}, environment());
    ASSERT_TRUE(clitest::waitForFile(marks + "/first.pid")) << "the first script never started";
    run.signal(SIGINT);
    const auto result = run.finish();

    EXPECT_EQ(result.status, 130) << result.out << result.err;
    EXPECT_TRUE(contains(result.out, "1/2 first: failed")) << result.out;
    EXPECT_TRUE(contains(result.out, "2/2 second: failed")) << result.out;
    EXPECT_FALSE(vztest::fileExists(marks + "/first.finished"));
    EXPECT_FALSE(vztest::fileExists(marks + "/second.finished"));
    for (const std::string file : {"first.pid", "first.sleep", "second.pid", "second.sleep"}) {
        const std::string pid = vztest::readFile(marks + "/" + file);
        if (!pid.empty()) { // the second set may be stopped before it writes anything
            EXPECT_FALSE(clitest::processAlive(std::stoi(pid))) << file;
        }
    }
}

TEST_F(Run, SigtermCancelsLikeCtrlC) {
    addSet("slow", "sleep 600 & echo $! > '" + sets_.path() + "/slow.sleep'\nwait\n");
    clitest::Child run({"run", "--json", "--sets", sets_.path(), "slow"}, environment());
    ASSERT_TRUE(clitest::waitForFile(sets_.path() + "/slow.sleep"));
    run.signal(SIGTERM);
    const auto result = run.finish();
    EXPECT_EQ(result.status, 128 + SIGTERM);
    const json report = json::parse(result.out);
    EXPECT_EQ(report["interrupted"], true);
    EXPECT_EQ(report["sets"][0]["succeeded"], false);
    EXPECT_FALSE(clitest::processAlive(std::stoi(vztest::readFile(sets_.path() + "/slow.sleep"))));
}

} // namespace
