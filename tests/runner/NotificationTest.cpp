#include "runner/RunnerTestSupport.h"
#include "support/DbusDaemon.h"

#include <VivoziZevidodirid/Notifications.h>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using kx::DistributedNotificationCenter;
using kx::Notification;
using kx::NotificationObserver;

DistributedNotificationCenter& center() {
    return DistributedNotificationCenter::defaultCenter();
}

TEST(DistributedNotifications, EveryObserverReceivesNameAndObjectInOrder) {
    vztest::DbusDaemon bus;
    NotificationObserver observer;
    NotificationObserver another;
    ASSERT_TRUE(observer.isConnected());
    const Notification sent[] = {
        {"vivoziZevidodiridAddNotification", "33|Friday|daily"},
        {"other", "a|b|c, with ünïcödé"},
        {"empty object", ""},
    };
    for (const Notification& notification : sent)
        center().postNotification(notification.name, notification.object);
    for (const Notification& expected : sent) {
        EXPECT_EQ(observer.next(30s), expected);
        EXPECT_EQ(another.next(30s), expected);
    }
}

TEST(DistributedNotifications, ObserverOfOneNameSkipsTheOthers) {
    vztest::DbusDaemon bus;
    NotificationObserver observer("wanted");
    center().postNotification("unwanted", "1");
    center().postNotification("wanted", "2");
    EXPECT_EQ(observer.next(30s), (Notification{"wanted", "2"}));
}

TEST(DistributedNotifications, InvalidUtf8IsNotSent) {
    vztest::DbusDaemon bus;
    NotificationObserver observer;
    center().postNotification("bad", "\xff\xfe");
    EXPECT_EQ(vztest::receivedBeforeSentinel(observer).size(), 0u);
}

TEST(DistributedNotifications, StopFromAnotherThreadEndsAWaitingNext) {
    vztest::DbusDaemon bus;
    NotificationObserver observer;
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        observer.stop();
    });
    EXPECT_EQ(observer.next(), std::nullopt); // no timeout: only stop() can end it
    stopper.join();
    center().postNotification("after stop", "");
    EXPECT_EQ(observer.next(), std::nullopt);
}

TEST(DistributedNotifications, NextGivesUpWhenTheTimeIsUp) {
    vztest::DbusDaemon bus;
    NotificationObserver observer;
    EXPECT_EQ(observer.next(50ms), std::nullopt);
    EXPECT_TRUE(observer.isConnected());
}

TEST(DistributedNotifications, ObserverNoticesTheBusGoingAway) {
    auto bus = std::make_unique<vztest::DbusDaemon>();
    NotificationObserver observer;
    ASSERT_TRUE(observer.isConnected());
    bus.reset();
    EXPECT_EQ(observer.next(30s), std::nullopt);
    EXPECT_FALSE(observer.isConnected());
}

TEST(DistributedNotifications, PostsReachABusThatRestartedOrMoved) {
    vztest::TempDir folder;
    const std::string socket = folder.file("bus");
    {
        vztest::DbusDaemon first(socket);
        NotificationObserver observer;
        center().postNotification("n", "first");
        EXPECT_EQ(observer.next(30s), (Notification{"n", "first"}));
    }
    {
        vztest::DbusDaemon restarted(socket); // the same address, a new bus
        NotificationObserver observer;
        center().postNotification("n", "restarted");
        EXPECT_EQ(observer.next(30s), (Notification{"n", "restarted"}));
    }
    vztest::DbusDaemon elsewhere; // another address
    NotificationObserver observer;
    center().postNotification("n", "elsewhere");
    EXPECT_EQ(observer.next(30s), (Notification{"n", "elsewhere"}));
}

TEST(DistributedNotifications, WithoutABusNothingHappens) {
    vztest::NoBus noBus;
    center().postNotification("n", "o"); // must neither throw nor crash
    NotificationObserver observer;
    EXPECT_FALSE(observer.isConnected());
    EXPECT_EQ(observer.next(), std::nullopt); // returns at once, even without a timeout
}

TEST(DistributedNotifications, ABusThatNeverAnswersDoesNotHoldThePost) {
    vztest::SilentBus silent;
    const auto start = std::chrono::steady_clock::now();
    center().postNotification("n", "o");
    // sd-bus alone would wait 25 s for the handshake and 90 s to flush.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

} // namespace
