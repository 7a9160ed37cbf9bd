#include "runner/RunnerTestSupport.h"
#include "support/DbusDaemon.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Notifications.h>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>

namespace {

using namespace std::chrono_literals;
using kx::Notification;
using kx::NotificationObserver;

void post(const std::string& name, const std::string& object) {
    kx::DistributedNotificationCenter::defaultCenter().postNotification(name, object);
}

TEST(DistributedNotifications, ObserversReceiveNameAndObjectInOrder) {
    vztest::DbusDaemon bus;
    NotificationObserver observer;
    NotificationObserver another;
    NotificationObserver wanted("wanted");
    ASSERT_TRUE(observer.isConnected());
    post("vivoziZevidodiridAddNotification", "33|Friday|daily");
    post("bad", "\xff\xfe"); // not UTF-8: not sent
    post("other", "a|b|c, with ünïcödé");
    post("wanted", "2");
    post("empty object", "");
    const std::vector<Notification> expected = {
        {"vivoziZevidodiridAddNotification", "33|Friday|daily"},
        {"other", "a|b|c, with ünïcödé"},
        {"wanted", "2"},
        {"empty object", ""}};
    EXPECT_EQ(vztest::receivedBeforeSentinel(observer), expected);
    EXPECT_EQ(vztest::receivedBeforeSentinel(another), expected);
    EXPECT_EQ(wanted.next(30s), (Notification{"wanted", "2"}));
    EXPECT_EQ(wanted.next(50ms), std::nullopt); // the sentinels were not its name
    EXPECT_TRUE(wanted.isConnected());
}

TEST(DistributedNotifications, PostsReachABusThatRestartedOrMovedAndObserversSeeItGo) {
    vztest::TempDir folder;
    // The same address twice, then another address.
    for (const std::string& socket : {folder.file("bus"), folder.file("bus"), std::string()}) {
        auto bus = std::make_unique<vztest::DbusDaemon>(socket);
        NotificationObserver observer;
        post("n", socket);
        EXPECT_EQ(observer.next(30s), (Notification{"n", socket}));
        bus.reset();
        EXPECT_EQ(observer.next(30s), std::nullopt);
        EXPECT_FALSE(observer.isConnected());
    }
}

TEST(DistributedNotifications, WithoutAWorkingBusNothingHappens) {
    {
        vztest::NoBus noBus;
        post("n", "o"); // must neither throw nor crash
        NotificationObserver observer;
        EXPECT_FALSE(observer.isConnected());
        EXPECT_EQ(observer.next(), std::nullopt); // at once, even without a timeout
    }
    vztest::SilentBus silent;
    const auto start = std::chrono::steady_clock::now();
    post("n", "o");
    // sd-bus alone would wait 25 s for the handshake and 90 s to flush.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

} // namespace
