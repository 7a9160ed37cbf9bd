#include <VivoziZevidodirid/Runner.h>
#include <cstring>
#include <gtest/gtest.h>

namespace {

class HostDelegate : public VivoziZevidodiridDelegate {};

TEST(RunnerObject, NewObjectHoldsNothing) {
    VivoziZevidodiridFramework runner;
    EXPECT_FALSE(runner.shouldContinue());
    EXPECT_EQ(runner.delegate(), nullptr);
    EXPECT_EQ(runner.task(), nullptr);
    EXPECT_EQ(runner.dailyStatus(), std::nullopt);
    EXPECT_EQ(runner.weeklyStatus(), std::nullopt);
    EXPECT_EQ(runner.monthlyStatus(), std::nullopt);
}

TEST(RunnerObject, DelegateIsHeldWeakly) {
    VivoziZevidodiridFramework runner;
    auto delegate = std::make_shared<HostDelegate>();
    runner.setDelegate(delegate);
    EXPECT_EQ(runner.delegate(), delegate);
    EXPECT_EQ(delegate.use_count(), 1); // the runner keeps no strong reference
    delegate.reset();
    EXPECT_EQ(runner.delegate(), nullptr);
}

TEST(RunnerObject, StatusStringsAreKeptUntilReplacedAndARunLeavesThem) {
    using Getter = std::optional<std::string> (VivoziZevidodiridFramework::*)() const;
    using Setter = void (VivoziZevidodiridFramework::*)(std::optional<std::string>);
    const struct Case {
        const char* what;
        Getter get;
        Setter set;
    } cases[] = {
        {"daily", &VivoziZevidodiridFramework::dailyStatus,
         &VivoziZevidodiridFramework::setDailyStatus},
        {"weekly", &VivoziZevidodiridFramework::weeklyStatus,
         &VivoziZevidodiridFramework::setWeeklyStatus},
        {"monthly", &VivoziZevidodiridFramework::monthlyStatus,
         &VivoziZevidodiridFramework::setMonthlyStatus},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VivoziZevidodiridFramework runner;
        (runner.*c.set)("first");
        EXPECT_EQ((runner.*c.get)(), "first");
        (runner.*c.set)("second");
        EXPECT_EQ((runner.*c.get)(), "second");
        runner.runWithArguments(PlistValue(), [](const ResultList&) {});
        EXPECT_EQ((runner.*c.get)(), "second");
        // Each property is its own field.
        for (const Case& other : cases) {
            if (other.get != c.get) {
                EXPECT_EQ((runner.*other.get)(), std::nullopt);
            }
        }
        (runner.*c.set)(std::nullopt);
        EXPECT_EQ((runner.*c.get)(), std::nullopt);
    }
}

TEST(RunnerObject, CancelGoesThroughTheTaskProperty) {
    // A subclass that replaces task() changes what a cancel terminates.
    struct Subclass : VivoziZevidodiridFramework {
        std::shared_ptr<kx::Task> replacement = std::make_shared<kx::Task>();
        std::shared_ptr<kx::Task> task() const override { return replacement; }
    } runner;
    runner.replacement->setLaunchPath("/bin/sleep");
    runner.replacement->setArguments({"30"});
    runner.cancelVivoziZevidodirid(); // before launch: delivered as soon as it starts
    ASSERT_FALSE(runner.replacement->launch());
    runner.replacement->waitUntilExit();
    EXPECT_EQ(runner.replacement->terminationStatus(), 128 + 15); // SIGTERM
}

TEST(RunnerObject, DestructionLeavesARunningChildRunning) {
    auto child = std::make_shared<kx::Task>();
    child->setLaunchPath("/bin/sleep");
    child->setArguments({"30"});
    ASSERT_FALSE(child->launch());
    {
        VivoziZevidodiridFramework runner;
        runner.setTask(child);
    }
    EXPECT_TRUE(child->isRunning());
    child->terminate();
    child->waitUntilExit();
}

TEST(RunnerObject, VersionSymbols) {
    EXPECT_EQ(VivoziZevidodiridVersionNumber, 1.0);
    static const unsigned char expected[] = "@(#)PROGRAM:VivoziZevidodirid  PROJECT:Lumivane-1\n";
    static_assert(sizeof expected == 51);
    const char* text = reinterpret_cast<const char*>(VivoziZevidodiridVersionString);
    EXPECT_EQ(std::strlen(text), 50u);
    EXPECT_EQ(std::memcmp(VivoziZevidodiridVersionString, expected, sizeof expected), 0);
    EXPECT_EQ(std::strncmp(text, "@(#)", 4), 0);
    EXPECT_EQ(text[49], '\n');
}

} // namespace
