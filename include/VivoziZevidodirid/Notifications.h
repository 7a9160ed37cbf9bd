#pragma once

#include <VivoziZevidodirid/Export.h>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kx {

// A named notification with its object text, as every process on the machine receives it.
//
// On the wire it is a D-Bus signal on the system bus: object path
// /org/vivozizevidodirid/DistributedNotificationCenter, interface
// org.vivozizevidodirid.DistributedNotificationCenter, member Notification, two string arguments
// (the name, then the object text), no destination. The bus address is DBUS_SYSTEM_BUS_ADDRESS
// when set and not empty, the system bus socket otherwise.
struct Notification {
    std::string name;
    std::string object;
    friend bool operator==(const Notification&, const Notification&) = default;
};

class VZ_EXPORT DistributedNotificationCenter {
public:
    static DistributedNotificationCenter& defaultCenter();

    // Broadcasts name with its object text. Without a reachable bus, when the bus has not taken
    // the message within postTimeout, or when either text is not valid UTF-8, nothing is sent
    // and nothing is reported. Safe to call from several threads at once.
    void postNotification(std::string_view name, std::string_view object);

    static constexpr std::chrono::milliseconds postTimeout{500};

private:
    DistributedNotificationCenter() = default;
};

// Receives the broadcasts of every process on the machine.
//
// next() is meant for one thread at a time; stop() may be called from any thread.
class VZ_EXPORT NotificationObserver {
public:
    // Connects and subscribes before returning, so nothing posted afterwards is missed; the whole
    // of it, handshake included, takes at most 2 s. With a name, only notifications of that name
    // are received; without, all of them.
    explicit NotificationObserver(std::optional<std::string> name = std::nullopt);
    ~NotificationObserver();
    NotificationObserver(const NotificationObserver&) = delete;
    NotificationObserver& operator=(const NotificationObserver&) = delete;

    // False when no bus could be reached, it refused the subscription or did not finish it in
    // time; next() then returns nullopt at once.
    bool isConnected() const;

    // The next notification, waiting for it as long as timeout (forever without one). nullopt
    // when the time is up, after stop(), or when the bus has gone away.
    std::optional<Notification> next(std::optional<std::chrono::milliseconds> timeout = {});

    // Makes a waiting next(), and every later one, return nullopt.
    void stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace kx
