// `vivozi watch`: prints the progress broadcast of every run on the machine as it arrives.
#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/Output.h"
#include "cli/Signals.h"

#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <poll.h>
#include <thread>

namespace vivozi {
namespace {

struct WatchOptions {
    bool json = false;
    std::optional<std::size_t> count; // stop after this many notifications
};

std::string localTime(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char text[64];
    std::strftime(text, sizeof text, format, &parts);
    return text;
}

std::string busAddress() {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address && *address ? address : "the system bus";
}

void print(const kx::Notification& notification, bool json) {
    const std::optional<ProgressNotice> notice = parseProgressObject(notification.object);
    if (json) {
        Json line = {{"time", localTime("%Y-%m-%dT%H:%M:%S%z")},
                     {"name", notification.name},
                     {"object", notification.object}};
        if (notice) {
            int percent = 0;
            const char* end = notice->percent.data() + notice->percent.size();
            const auto parsed = std::from_chars(notice->percent.data(), end, percent);
            if (parsed.ec == std::errc() && parsed.ptr == end)
                line["percent"] = percent;
            else
                line["percent"] = notice->percent;
            line["status"] = notice->status;
            line["set"] = notice->name;
        }
        // One document per line, so that a reader can take them as they come; ASCII only, so
        // that no control character a sender chose reaches a terminal the lines are shown on.
        out << line.dump(-1, ' ', true, Json::error_handler_t::replace) << '\n';
    } else if (notice) {
        const std::string percent = escapeForTerminal(notice->percent) + "%";
        out << localTime("%H:%M:%S") << "  "
            << std::string(4 - std::min<std::size_t>(4, percent.size()), ' ') << percent << "  "
            << escapeForTerminal(notice->status) << "  " << escapeForTerminal(notice->name) << '\n';
    } else {
        out << localTime("%H:%M:%S") << "  " << escapeForTerminal(notification.object) << '\n';
    }
    out.flush();
}

int watchCommand(const WatchOptions& options) {
    // Before the signal thread exists, so that it alone takes the signals.
    InterruptSignals signals;
    kx::NotificationObserver observer{std::string(kx::progressNotificationName)};
    if (!observer.isConnected()) {
        err << "vivozi: cannot listen on " << busAddress()
            << " (is a D-Bus system bus running? DBUS_SYSTEM_BUS_ADDRESS names another)\n";
        return kExitFailure;
    }
    // Subscribed: from here on nothing posted is missed. Said on standard error, so that a
    // script can wait for it while standard output stays the notifications alone.
    err << "vivozi: watching " << kx::progressNotificationName << " on " << busAddress()
        << "; Ctrl-C to stop\n";

    Wakeup done;
    std::atomic<bool> interrupted{false};
    std::thread stopper([&] {
        pollfd events[] = {{signals.fd(), POLLIN, 0}, {done.fd(), POLLIN, 0}};
        while (poll(events, 2, -1) < 0) {
        }
        if (events[0].revents & POLLIN) {
            interrupted = true;
            observer.stop();
            // Output blocked on a reader that does not read (a full pipe) would hold the main
            // thread for ever; what it was writing cannot reach anyone now.
            pollfd finished{done.fd(), POLLIN, 0};
            if (poll(&finished, 1, 1000) == 0)
                std::_Exit(kExitSuccess);
        }
    });

    std::size_t received = 0;
    bool busLost = false;
    while (!options.count || received < *options.count) {
        const std::optional<kx::Notification> notification = observer.next();
        if (!notification) {
            busLost = !interrupted;
            break;
        }
        print(*notification, options.json);
        ++received;
    }
    done.post();
    stopper.join();

    if (busLost) {
        err << "vivozi: the bus went away\n";
        return kExitFailure;
    }
    return kExitSuccess;
}

} // namespace

Runner addWatchCommand(CommandLine& line, bool& json) {
    const auto count = std::make_shared<std::size_t>(0); // 0: not given
    line.option("--count", "N", wholeNumber(*count, 1, std::numeric_limits<std::size_t>::max()),
                "Stop after N notifications");
    addJsonFlag(line, json);
    line.footer("\nListens on the D-Bus system bus, or on DBUS_SYSTEM_BUS_ADDRESS when set. "
                "With --json,\none JSON object per line.\n");
    return [count, &json] {
        WatchOptions options;
        options.json = json;
        if (*count > 0)
            options.count = *count;
        return watchCommand(options);
    };
}

} // namespace vivozi
