#include "platform/log/Log.h"

#include <climits>
#include <mutex>
#include <syslog.h>
#include <utility>

namespace kx {
namespace {

std::mutex observerMutex;
std::function<void(std::string_view)>& observer() {
    static std::function<void(std::string_view)> current;
    return current;
}

} // namespace

void logLine(std::string_view text) {
    // "%.*s" takes an int: a longer text is cut, which syslog would do anyway.
    const int length = text.size() > INT_MAX ? INT_MAX : static_cast<int>(text.size());
    syslog(LOG_USER | LOG_NOTICE, "%.*s", length, text.data());
    std::lock_guard lock(observerMutex);
    if (observer())
        observer()(text);
}

void setLogObserver(std::function<void(std::string_view)> replacement) {
    std::lock_guard lock(observerMutex);
    observer() = std::move(replacement);
}

} // namespace kx
