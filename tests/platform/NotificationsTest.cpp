#include "support/DbusDaemon.h"

#include <VivoziZevidodirid/Notifications.h>
#include <chrono>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(DistributedNotifications, WithoutAWorkingBusNothingHappens) {
    auto& center = kx::DistributedNotificationCenter::defaultCenter();
    {
        vztest::NoBus noBus;
        center.postNotification("n", "o");
        EXPECT_FALSE(kx::NotificationObserver().isConnected());
    }
    vztest::SilentBus silent;
    auto start = std::chrono::steady_clock::now();
    center.postNotification("n", "o");
    // sd-bus alone would wait 25 s for the handshake and 90 s to flush.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(kx::NotificationObserver().isConnected());
    // The handshake alone has a limit of 90 s in sd-bus.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

} // namespace
