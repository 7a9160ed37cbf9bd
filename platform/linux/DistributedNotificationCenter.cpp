// Only Linux code lives under platform/linux/: here, the broadcast as a D-Bus signal on the
// system bus, sent and received with sd-bus.
#include "platform/linux/LazyLibrary.h"

#include <VivoziZevidodirid/FileDescriptor.h>
#include <VivoziZevidodirid/Notifications.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <type_traits>
#include <unistd.h>

namespace kx {
namespace sdbus {
namespace {

// libsystemd (and the compression and crypto libraries it brings) is loaded on the first use of
// the bus, not when a program starts: most runs of a host never post or watch, and loading it
// took more than half of the start-up of a short query. Without it the bus is unreachable.
#define VZ_SD_BUS_FUNCTIONS(X)                                                                     \
    X(sd_bus_close_unref)                                                                          \
    X(sd_bus_get_events)                                                                           \
    X(sd_bus_get_fd)                                                                               \
    X(sd_bus_get_n_queued_write)                                                                   \
    X(sd_bus_get_timeout)                                                                          \
    X(sd_bus_is_open)                                                                              \
    X(sd_bus_is_ready)                                                                             \
    X(sd_bus_match_signal)                                                                         \
    X(sd_bus_message_append)                                                                       \
    X(sd_bus_message_new_signal)                                                                   \
    X(sd_bus_message_read)                                                                         \
    X(sd_bus_message_unref)                                                                        \
    X(sd_bus_new)                                                                                  \
    X(sd_bus_process)                                                                              \
    X(sd_bus_send)                                                                                 \
    X(sd_bus_set_address)                                                                          \
    X(sd_bus_set_bus_client)                                                                       \
    X(sd_bus_set_method_call_timeout)                                                              \
    X(sd_bus_slot_unref)                                                                           \
    X(sd_bus_start)                                                                                \
    X(sd_bus_wait)

struct Functions {
#define VZ_SD_BUS_POINTER(name) decltype(&::name) name = nullptr;
    VZ_SD_BUS_FUNCTIONS(VZ_SD_BUS_POINTER)
#undef VZ_SD_BUS_POINTER
};

const Functions& functions() {
    static const Functions loaded = [] {
        static LazyLibrary library("libsystemd.so.0");
        Functions found;
        bool complete = true;
#define VZ_SD_BUS_LOOKUP(name)                                                                     \
    found.name = reinterpret_cast<decltype(found.name)>(library.symbol(#name));                    \
    complete = complete && found.name;
        VZ_SD_BUS_FUNCTIONS(VZ_SD_BUS_LOOKUP)
#undef VZ_SD_BUS_LOOKUP
        // A library missing any of them is used for none: a half table could fail mid-post.
        return complete ? found : Functions{};
    }();
    return loaded;
}

// A pointer result is null and a number -ENOSYS when the library could not be loaded.
template <class Result> Result unavailable() {
    if constexpr (std::is_pointer_v<Result>)
        return nullptr;
    else
        return Result(-ENOSYS);
}

#define VZ_SD_BUS_CALL(name)                                                                       \
    template <class... Arguments> auto name(Arguments... arguments) {                              \
        const auto function = functions().name;                                                    \
        return function ? function(arguments...)                                                   \
                        : unavailable<decltype(function(arguments...))>();                         \
    }
VZ_SD_BUS_FUNCTIONS(VZ_SD_BUS_CALL)
#undef VZ_SD_BUS_CALL
#undef VZ_SD_BUS_FUNCTIONS

} // namespace
} // namespace sdbus
namespace {

using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC, the clock of sd_bus_get_timeout

constexpr char kObjectPath[] = "/org/vivozizevidodirid/DistributedNotificationCenter";
constexpr char kInterface[] = "org.vivozizevidodirid.DistributedNotificationCenter";
constexpr char kMember[] = "Notification";
constexpr char kSystemBus[] = "unix:path=/run/dbus/system_bus_socket";
// The whole of connecting, handshake and subscription: a bus that accepts but never answers
// would otherwise hold a watcher for sd-bus's own limits (90 s for the handshake, 25 s a call).
constexpr std::chrono::seconds kSubscribeTimeout{2};

struct BusCloser {
    // Closing without a flush: sd-bus's own flush would wait up to 90 s on a silent bus.
    void operator()(sd_bus* bus) const { sdbus::sd_bus_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sdbus::sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

std::uint64_t microseconds(Clock::duration duration) {
    if (duration <= Clock::duration::zero())
        return 0;
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(duration).count());
}

std::string systemBusAddress() {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address && *address ? address : kSystemBus;
}

// A client connection that has begun, not finished, its handshake; sd-bus completes it as the
// connection is processed, sending whatever was queued meanwhile in order.
Bus openBus(const std::string& address) {
    sd_bus* raw = nullptr;
    if (sdbus::sd_bus_new(&raw) < 0)
        return nullptr;
    Bus bus(raw);
    if (sdbus::sd_bus_set_address(raw, address.c_str()) < 0 ||
        sdbus::sd_bus_set_bus_client(raw, 1) < 0 || sdbus::sd_bus_start(raw) < 0)
        return nullptr;
    return bus;
}

// Processes and waits on the connection until `settled` answers (true: done, false: failed);
// false too when the connection broke or the deadline passed first.
template <class Settled> bool driveUntil(sd_bus* bus, Clock::time_point deadline, Settled settled) {
    for (;;) {
        if (const std::optional<bool> outcome = settled())
            return *outcome;
        const int processed = sdbus::sd_bus_process(bus, nullptr);
        if (processed < 0 || sdbus::sd_bus_is_open(bus) <= 0)
            return false;
        if (processed > 0)
            continue;
        const Clock::time_point now = Clock::now();
        if (now >= deadline || sdbus::sd_bus_wait(bus, microseconds(deadline - now)) < 0)
            return false;
    }
}

// Until everything queued has been written.
bool writeQueued(sd_bus* bus, Clock::time_point deadline) {
    return driveUntil(bus, deadline, [bus]() -> std::optional<bool> {
        std::uint64_t queued = 0;
        if (sdbus::sd_bus_get_n_queued_write(bus, &queued) < 0)
            return false;
        return queued == 0 ? std::optional(true) : std::nullopt;
    });
}

// Until the handshake (authentication and Hello) has ended.
bool awaitReady(sd_bus* bus, Clock::time_point deadline) {
    return driveUntil(bus, deadline, [bus]() -> std::optional<bool> {
        const int ready = sdbus::sd_bus_is_ready(bus);
        return ready != 0 ? std::optional(ready > 0) : std::nullopt;
    });
}

// Reads what the bus sent since the last post (its replies to the handshake, a hang-up); false
// when the connection is no longer usable, in this process at least.
bool stillOpen(sd_bus* bus) {
    int processed;
    while ((processed = sdbus::sd_bus_process(bus, nullptr)) > 0) {
    }
    return processed == 0 && sdbus::sd_bus_is_open(bus) > 0;
}

bool send(sd_bus* bus, const std::string& name, const std::string& object) {
    sd_bus_message* raw = nullptr;
    if (sdbus::sd_bus_message_new_signal(bus, &raw, kObjectPath, kInterface, kMember) < 0)
        return false;
    const Message message(raw);
    return sdbus::sd_bus_message_append(raw, "ss", name.c_str(), object.c_str()) >= 0 &&
           sdbus::sd_bus_send(bus, raw, nullptr) >= 0;
}

// One connection for every post of the process, kept between posts: a handshake per post would
// cost a round trip with the bus each time. It is dropped when the address changes, when it
// breaks, and when the bus does not take a post in time, so that the next post starts afresh.
class PostConnection {
public:
    void post(const std::string& name, const std::string& object, Clock::time_point deadline) {
        std::lock_guard lock(mutex_);
        const std::string address = systemBusAddress();
        if (bus_ && (address != address_ || !stillOpen(bus_.get())))
            bus_.reset();
        const bool reused = bus_ != nullptr;
        if (!bus_) {
            bus_ = openBus(address);
            address_ = address;
        }
        if (!bus_)
            return;
        if (!send(bus_.get(), name, object)) {
            // A text that is not UTF-8 is refused before anything is queued; the connection is
            // fine. Anything else means it is not.
            if (sdbus::sd_bus_is_open(bus_.get()) <= 0)
                bus_.reset();
            return;
        }
        if (writeQueued(bus_.get(), deadline))
            return;
        bus_.reset();
        // A kept connection can have broken unseen (the bus restarted); one fresh try.
        if (reused && Clock::now() < deadline && (bus_ = openBus(address)) &&
            send(bus_.get(), name, object) && writeQueued(bus_.get(), deadline))
            return;
        bus_.reset();
    }

private:
    std::mutex mutex_;
    Bus bus_;
    std::string address_;
};

// What a subscription has received and not yet handed out. Touched only by the thread in next().
struct Inbox {
    std::optional<std::string> name;
    std::deque<Notification> received;
};

int onNotification(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& inbox = *static_cast<Inbox*>(userdata);
    const char* name = nullptr;
    const char* object = nullptr;
    // Anyone on the bus may send a malformed signal under our name; it is skipped.
    if (sdbus::sd_bus_message_read(message, "ss", &name, &object) < 0)
        return 0;
    if (!inbox.name || *inbox.name == name)
        inbox.received.push_back(Notification{name, object});
    return 0;
}

} // namespace

DistributedNotificationCenter& DistributedNotificationCenter::defaultCenter() {
    static DistributedNotificationCenter center;
    return center;
}

void DistributedNotificationCenter::postNotification(std::string_view name,
                                                     std::string_view object) {
    static PostConnection connection;
    connection.post(std::string(name), std::string(object), Clock::now() + postTimeout);
}

struct NotificationObserver::State {
    Inbox inbox;
    Bus bus;
    sd_bus_slot* slot = nullptr;
    FileDescriptor wakeFd;
    std::atomic<bool> stopped{false};
    std::atomic<bool> connected{false};

    ~State() { sdbus::sd_bus_slot_unref(slot); }
};

NotificationObserver::NotificationObserver(std::optional<std::string> name)
    : state_(std::make_unique<State>()) {
    State& state = *state_;
    state.inbox.name = std::move(name);
    state.wakeFd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    const Clock::time_point deadline = Clock::now() + kSubscribeTimeout;
    Bus bus = openBus(systemBusAddress());
    // A call on a connection still in its handshake would wait for it without the call's limit.
    if (!state.wakeFd || !bus || !awaitReady(bus.get(), deadline))
        return;
    // What is left of the time; never 0, which sd-bus reads as its default.
    const std::uint64_t left = std::max<std::uint64_t>(microseconds(deadline - Clock::now()), 1);
    if (sdbus::sd_bus_set_method_call_timeout(bus.get(), left) < 0)
        return;
    // Synchronous: the bus has installed the match when this returns.
    if (sdbus::sd_bus_match_signal(bus.get(), &state.slot, nullptr, kObjectPath, kInterface,
                                   kMember, onNotification, &state.inbox) < 0)
        return;
    state.bus = std::move(bus);
    state.connected = true;
}

NotificationObserver::~NotificationObserver() = default;

bool NotificationObserver::isConnected() const {
    return state_->connected;
}

std::optional<Notification>
NotificationObserver::next(std::optional<std::chrono::milliseconds> timeout) {
    State& state = *state_;
    const Clock::time_point deadline = timeout ? Clock::now() + *timeout : Clock::time_point::max();
    while (!state.stopped) {
        if (!state.inbox.received.empty()) {
            Notification notification = std::move(state.inbox.received.front());
            state.inbox.received.pop_front();
            return notification;
        }
        if (!state.connected)
            break;
        sd_bus* bus = state.bus.get();
        const int processed = sdbus::sd_bus_process(bus, nullptr);
        if (processed < 0 || sdbus::sd_bus_is_open(bus) <= 0) {
            state.connected = false; // what it delivered last is still handed out
            continue;
        }
        if (processed > 0)
            continue;
        const int events = sdbus::sd_bus_get_events(bus);
        if (events < 0) {
            state.connected = false;
            continue;
        }

        // Wait for the bus, for stop(), or for whichever deadline comes first.
        const Clock::time_point now = Clock::now();
        std::uint64_t wakeAt = UINT64_MAX; // microseconds on the monotonic clock
        if (sdbus::sd_bus_get_timeout(bus, &wakeAt) < 0)
            wakeAt = UINT64_MAX;
        std::uint64_t waitFor = UINT64_MAX;
        const std::uint64_t nowMicros = microseconds(now.time_since_epoch());
        if (wakeAt != UINT64_MAX)
            waitFor = wakeAt > nowMicros ? wakeAt - nowMicros : 0;
        if (now >= deadline)
            break;
        if (deadline != Clock::time_point::max())
            waitFor = std::min(waitFor, microseconds(deadline - now));
        const int waitMillis =
            waitFor == UINT64_MAX
                ? -1
                : static_cast<int>(std::min<std::uint64_t>((waitFor + 999) / 1000, INT32_MAX));
        pollfd fds[2] = {{sdbus::sd_bus_get_fd(bus), static_cast<short>(events), 0},
                         {state.wakeFd.get(), POLLIN, 0}};
        if (poll(fds, 2, waitMillis) < 0 && errno != EINTR) {
            state.connected = false;
            break;
        }
    }
    return std::nullopt;
}

void NotificationObserver::stop() {
    State& state = *state_;
    state.stopped = true;
    if (state.wakeFd) {
        const std::uint64_t one = 1;
        // A full counter already wakes the waiter; nothing to do on failure.
        [[maybe_unused]] const ssize_t written = write(state.wakeFd.get(), &one, sizeof one);
    }
}

} // namespace kx
