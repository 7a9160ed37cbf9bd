#pragma once

#include "runner/ProgressPause.h"

#include <VivoziZevidodirid/Notifications.h>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vztest {

// Sets (or, for nullopt, unsets) environment variables for one scope.
class ScopedEnvironment {
public:
    using Value = std::optional<std::string>;
    ScopedEnvironment(std::initializer_list<std::pair<const char*, Value>> values) {
        for (const auto& [name, value] : values) {
            const char* previous = std::getenv(name);
            saved_.emplace_back(name, previous ? Value(previous) : std::nullopt);
            set(name, value);
        }
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            set(it->first.c_str(), it->second);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    static void set(const char* name, const Value& value) {
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    std::vector<std::pair<std::string, Value>> saved_;
};

// Sets the pause after each broadcast for one scope.
struct ScopedProgressPause {
    explicit ScopedProgressPause(std::chrono::nanoseconds pause) { vz::setProgressPause(pause); }
    ~ScopedProgressPause() { vz::setProgressPause(saved); }
    std::chrono::nanoseconds saved = vz::progressPause();
};

// A guard against a hang, not a measurement: the limit is far beyond what a healthy run needs.
inline bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Everything the observer received before a sentinel posted here: the bus keeps order, and all
// earlier posts reached it before the sentinel's connection was set up.
inline std::vector<kx::Notification> receivedBeforeSentinel(kx::NotificationObserver& observer) {
    static constexpr char kSentinel[] = "vztest.sentinel";
    kx::DistributedNotificationCenter::defaultCenter().postNotification(kSentinel, "");
    std::vector<kx::Notification> received;
    while (auto notification = observer.next(std::chrono::seconds(30))) {
        if (notification->name == kSentinel)
            return received;
        received.push_back(std::move(*notification));
    }
    received.push_back({"vztest.missing-sentinel", ""});
    return received;
}

} // namespace vztest
