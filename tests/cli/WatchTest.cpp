// `vivozi watch` in one process receiving the broadcasts of a run in another, over a bus of the
// test's own.
#include "cli/CliTestSupport.h"
#include "support/DbusDaemon.h"

#include <VivoziZevidodirid/Notifications.h>
#include <VivoziZevidodirid/Runner.h>
#include <csignal>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>

namespace {

using nlohmann::json;

constexpr char kListening[] = "vivozi: watching vivoziZevidodiridAddNotification on ";

class Watch : public ::testing::Test {
protected:
    // Declared first: the children below see its address in their environment.
    vztest::DbusDaemon bus_;
    vztest::TempDir home_;
    std::vector<std::string> environment() const { return clitest::childEnvironment(home_); }
};

TEST_F(Watch, ReceivesTheRunOfAnotherProcess) {
    clitest::Child watch({"watch", "--json", "--count", "2"}, environment());
    ASSERT_TRUE(watch.waitForErr(kListening));

    const auto run = clitest::runVivozi(
        {"run", "--demo", "--demo-dir", home_.file("demo"), "daily", "fails-on-purpose"},
        environment());
    EXPECT_EQ(run.status, 1) << run.err;
    const auto watched = watch.finish();
    EXPECT_EQ(watched.status, 0) << watched.err;

    const auto received = vztest::lines(watched.out);
    ASSERT_EQ(received.size(), 2u) << watched.out;
    const json first = json::parse(received[0]);
    const json second = json::parse(received[1]);
    EXPECT_EQ(first["name"], kx::progressNotificationName);
    EXPECT_EQ(first["set"], "daily");
    EXPECT_EQ(first["percent"], 50);
    EXPECT_NE(first["status"], "Error running daily scripts");
    EXPECT_EQ(first["object"], "50|" + first["status"].get<std::string>() + "|daily");
    // A failed set leaves the share done where it was.
    EXPECT_EQ(second["set"], "fails-on-purpose");
    EXPECT_EQ(second["percent"], 50);
    EXPECT_EQ(second["status"], "Error running daily scripts");
    EXPECT_TRUE(std::regex_match(first["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d{4})")))
        << first["time"];
}

TEST_F(Watch, PrintsTimePercentStatusAndNameUntilInterrupted) {
    clitest::Child watch({"watch"}, environment());
    ASSERT_TRUE(watch.waitForErr(kListening));
    auto& center = kx::DistributedNotificationCenter::defaultCenter();
    center.postNotification("some.other.notification", "7|not for us|x");
    center.postNotification(kx::progressNotificationName, "7|Error running daily scripts|weekly");
    // The status runs from the first bar to the last; an object with fewer bars shows as it is.
    center.postNotification(kx::progressNotificationName, "100|a|b|monthly");
    center.postNotification(kx::progressNotificationName, "50|one bar");
    center.postNotification(kx::progressNotificationName, "no separators");
    ASSERT_TRUE(watch.waitForOut("no separators\n"));
    watch.signal(SIGINT);
    const auto watched = watch.finish();

    EXPECT_EQ(watched.status, 0);
    const auto received = vztest::lines(watched.out);
    ASSERT_EQ(received.size(), 4u) << watched.out;
    const std::string time = R"(\d\d:\d\d:\d\d)";
    EXPECT_TRUE(std::regex_match(received[0],
                                 std::regex(time + "    7%  Error running daily scripts  weekly")))
        << received[0];
    EXPECT_TRUE(std::regex_match(received[1], std::regex(time + "  100%  a\\|b  monthly")))
        << received[1];
    EXPECT_TRUE(std::regex_match(received[2], std::regex(time + "  50\\|one bar"))) << received[2];
    EXPECT_TRUE(std::regex_match(received[3], std::regex(time + "  no separators"))) << received[3];
}

TEST(WatchWithoutBus, SaysSoAndFails) {
    vztest::NoBus noBus;
    vztest::TempDir home;
    const auto result = clitest::runVivozi({"watch"}, clitest::childEnvironment(home));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(vztest::lines(result.err).size(), 1u) << result.err;
    EXPECT_EQ(result.err.rfind("vivozi: cannot listen on unix:path=", 0), 0u) << result.err;
}

} // namespace
