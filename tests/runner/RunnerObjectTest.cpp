#include <VivoziZevidodirid/Runner.h>
#include <gtest/gtest.h>

namespace {

class HostDelegate : public VivoziZevidodiridDelegate {};

TEST(RunnerObject, DelegateIsHeldWeakly) {
    VivoziZevidodiridFramework runner;
    EXPECT_EQ(runner.delegate(), nullptr);
    auto delegate = std::make_shared<HostDelegate>();
    runner.setDelegate(delegate);
    EXPECT_EQ(runner.delegate(), delegate);
    EXPECT_EQ(delegate.use_count(), 1); // the runner keeps no strong reference
    delegate.reset();
    EXPECT_EQ(runner.delegate(), nullptr);
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

} // namespace
