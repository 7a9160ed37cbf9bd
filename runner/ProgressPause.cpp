#include "runner/ProgressPause.h"

#include <atomic>

namespace vz {
namespace {

std::atomic<std::chrono::nanoseconds::rep> pauseNanoseconds{
    std::chrono::nanoseconds(std::chrono::seconds(1)).count()};

} // namespace

std::chrono::nanoseconds progressPause() {
    return std::chrono::nanoseconds(pauseNanoseconds);
}

void setProgressPause(std::chrono::nanoseconds pause) {
    pauseNanoseconds = pause.count();
}

} // namespace vz
