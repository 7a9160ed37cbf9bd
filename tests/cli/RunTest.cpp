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

const std::string kClearLine = "\r\x1b[2K";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class Run : public ::testing::Test {
protected:
    std::vector<std::string> environment() const { return clitest::childEnvironment(home_); }
    std::string demoFolder() const { return home_.file("demo"); }
    std::vector<std::string> demo(std::vector<std::string> sets) const {
        sets.insert(sets.begin(), {"run", "--demo", "--demo-dir", demoFolder()});
        return sets;
    }
    std::string journal() const { return vztest::readFile(demoFolder() + "/maintenance.log"); }

    // A set of the test's own: one script, the body given.
    void addSet(const std::string& name, const std::string& body) {
        std::filesystem::create_directories(sets_.file(name));
        vztest::writeScript(sets_.file(name) + "/10-script", body);
    }

    vztest::TempDir home_;
    vztest::TempDir sets_;
};

TEST_F(Run, InAPipeOneLinePerSetThenTheSummary) {
    const auto result = clitest::runVivozi(demo({"daily", "weekly"}), environment());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(contains(result.out, "\x1b")) << "no terminal control in a pipe";
    const auto text = vztest::lines(result.out);
    ASSERT_GE(text.size(), 9u) << result.out;
    const char* const starts[] = {"1/2 daily: succeeded, ", "2/2 weekly: succeeded, ", "", "SET ",
                                  "daily   succeeded  ",    "weekly  succeeded  "};
    for (std::size_t i = 0; i < std::size(starts); ++i)
        EXPECT_TRUE(text[i].starts_with(starts[i])) << text[i];
    EXPECT_EQ(text[2], "");
    EXPECT_EQ(text[7], "2 of 2 sets succeeded.");
    EXPECT_EQ(text[8], "The sample sets worked in " + demoFolder());

    // The sample sets did their work in the demo folder, and nowhere else.
    EXPECT_TRUE(contains(journal(), "daily/rotate-log: rotated app.log")) << journal();
    EXPECT_TRUE(contains(journal(), "weekly/archive-logs: wrote archive/")) << journal();
    EXPECT_TRUE(vztest::fileExists(demoFolder() + "/log/app.log.1"));
    EXPECT_FALSE(vztest::fileExists(home_.file("state")));
}

TEST_F(Run, OnATerminalTheBarIsDrawnThenCleared) {
    const auto result =
        clitest::Child(demo({"daily", "fails-on-purpose"}), environment(), 100).finish();
    EXPECT_EQ(result.status, 1);
    const std::string& screen = result.out;
    // Drawn in place before any set is done, then filling as they finish (a failed set adds
    // nothing to `progress`).
    EXPECT_TRUE(std::regex_search(
        screen, std::regex(R"(^\r\x1b\[2K\[\.{10,40}\]    0%  0/2  (starting|running daily))")))
        << screen;
    EXPECT_TRUE(contains(screen, "   50%  1/2  daily succeeded")) << screen;
    EXPECT_TRUE(contains(screen, "   50%  2/2  fails-on-purpose failed")) << screen;
    // Each outcome is a line of its own above the bar.
    EXPECT_TRUE(contains(screen, kClearLine + "1/2 daily: succeeded, ")) << screen;
    EXPECT_TRUE(contains(screen, kClearLine + "2/2 fails-on-purpose: failed, Error running daily "
                                              "scripts"))
        << screen;
    // Cleared before the summary: nothing of the bar after the last clear.
    const std::string afterBar = screen.substr(screen.rfind(kClearLine) + kClearLine.size());
    EXPECT_FALSE(contains(afterBar, "%")) << afterBar;
    EXPECT_TRUE(contains(afterBar, "fails-on-purpose  failed     Error running daily scripts"))
        << afterBar;
    EXPECT_TRUE(contains(afterBar, "1 of 2 sets succeeded.")) << afterBar;
    // Every drawing fits the terminal's 100 columns, or it could not be redrawn in place.
    std::size_t drawings = 0;
    for (std::size_t at = screen.find(kClearLine); at != std::string::npos;) {
        const std::size_t from = at + kClearLine.size();
        at = screen.find(kClearLine, from);
        std::string drawn = screen.substr(from, at == std::string::npos ? at : at - from);
        drawn.erase(0, drawn.rfind('\n') + 1); // an outcome printed above comes first
        if (contains(drawn, "%  ")) {
            ++drawings;
            EXPECT_LT(vivozi::displayWidth(drawn), 100u) << drawn;
        }
    }
    EXPECT_GE(drawings, 3u);
}

TEST_F(Run, JsonReportsEachSet) {
    const auto result =
        clitest::runVivozi(demo({"--json", "fails-on-purpose", "monthly"}), environment());
    EXPECT_EQ(result.status, 1);
    const json report = json::parse(result.out);
    ASSERT_EQ(report["sets"].size(), 2u);
    EXPECT_EQ(report["sets"][0]["name"], "fails-on-purpose");
    EXPECT_EQ(report["sets"][0]["succeeded"], false);
    EXPECT_EQ(report["sets"][0]["status"], "Error running daily scripts");
    EXPECT_EQ(report["sets"][1]["name"], "monthly");
    EXPECT_EQ(report["sets"][1]["succeeded"], true);
    EXPECT_EQ(report["succeeded"], false);
    EXPECT_EQ(report["interrupted"], false);
    EXPECT_EQ(report["progress"], 1.0);
    EXPECT_EQ(report["demoFolder"], demoFolder());
    EXPECT_TRUE(contains(journal(), "fails-on-purpose/always-fails: failing"));
}

// Each sleeping script says it runs, then waits on a child of its own: only a stop that reaches
// the whole group keeps it from writing "finished".
TEST_F(Run, InterruptStopsTheRunningScriptAndFailsTheRest) {
    const std::string marks = sets_.path() + "/";
    addSet("good", "exit 0\n");
    for (const std::string name : {"first", "second"})
        addSet(name, "sleep 600 & echo $! > '" + marks + name + ".sleep'\necho $$ > '" + marks +
                         name + ".pid'\nwait\ntouch '" + marks + name + ".finished'\n");
    const std::string files[] = {"first.pid", "first.sleep", "second.pid", "second.sleep"};
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        for (const std::string& file : files)
            std::filesystem::remove(marks + file);
        // Ctrl-C as a user sees it; SIGTERM in the report a program reads.
        std::vector<std::string> arguments{"run",  "--sets", sets_.path(),
                                           "good", "first",  "second"};
        if (signal == SIGTERM)
            arguments.insert(arguments.begin() + 1, "--json");
        clitest::Child run(arguments, environment());
        ASSERT_TRUE(clitest::waitForFile(marks + "first.pid")) << "the first script never started";
        run.signal(signal);
        const auto result = run.finish();

        EXPECT_EQ(result.status, 128 + signal) << result.err;
        if (signal == SIGINT) {
            for (const char* line : {"1/3 good: succeeded", "interrupted: stopping the running set",
                                     "2/3 first: failed, Error running daily scripts",
                                     "3/3 second: failed, Error running daily scripts",
                                     "1 of 3 sets succeeded (interrupted)."})
                EXPECT_TRUE(contains(result.out, line)) << line << " in\n" << result.out;
        } else {
            const json report = json::parse(result.out);
            EXPECT_EQ(report["interrupted"], true);
            EXPECT_TRUE(report["demoFolder"].is_null());
            ASSERT_EQ(report["sets"].size(), 3u);
            for (std::size_t i = 0; i < 3; ++i)
                EXPECT_EQ(report["sets"][i]["succeeded"], i == 0) << i;
        }
        for (const std::string& file : files) {
            const std::string pid = vztest::readFile(marks + file);
            if (!pid.empty()) { // the second set may be stopped before it writes anything
                EXPECT_FALSE(vztest::processAlive(std::stoi(pid))) << file;
            }
        }
        EXPECT_FALSE(vztest::fileExists(marks + "first.finished"));
        EXPECT_FALSE(vztest::fileExists(marks + "second.finished"));
    }
}

} // namespace
