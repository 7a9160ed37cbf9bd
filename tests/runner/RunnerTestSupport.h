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
    ScopedEnvironment(
        std::initializer_list<std::pair<const char*, std::optional<std::string>>> values) {
        for (const auto& [name, value] : values) {
            const char* previous = std::getenv(name);
            saved_.emplace_back(name,
                                previous ? std::optional<std::string>(previous) : std::nullopt);
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
    static void set(const char* name, const std::optional<std::string>& value) {
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Shortens the pause after each broadcast for one scope.
class ScopedProgressPause {
public:
    explicit ScopedProgressPause(std::chrono::nanoseconds pause) : saved_(vz::progressPause()) {
        vz::setProgressPause(pause);
    }
    ~ScopedProgressPause() { vz::setProgressPause(saved_); }
    ScopedProgressPause(const ScopedProgressPause&) = delete;
    ScopedProgressPause& operator=(const ScopedProgressPause&) = delete;

private:
    std::chrono::nanoseconds saved_;
};

// Polls until the condition holds; false when it still does not after the limit. A guard
// against a hang, not a measurement: the limit is far beyond what a healthy run needs.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Every notification an observer received before a sentinel that the test posts itself. The
// bus keeps the order of what reached it, and everything the code under test posted reached it
// before the sentinel's connection was even set up.
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
