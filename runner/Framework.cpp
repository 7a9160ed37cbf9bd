#include "platform/text/DateStamp.h"
#include "runner/ProgressPause.h"
#include "runner/ProgressText.h"

#include <VivoziZevidodirid/Runner.h>
#include <VivoziZevidodirid/SystemPaths.h>
#include <cstdint>
#include <filesystem>
#include <thread>
#include <utility>

namespace {

constexpr char kScriptFailed[] = "Error running daily scripts";
constexpr char kPeriodicMissing[] = "Failed - periodic executable NOT present";

// `progress` crosses threads: the run writes it while the host reads it.
void storeProgress(float value) {
    std::atomic_ref<float>(progress).store(value);
}
float loadProgress() {
    return std::atomic_ref<float>(progress).load();
}

bool entryExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

} // namespace

VivoziZevidodiridDelegate::~VivoziZevidodiridDelegate() = default;

VivoziZevidodiridFramework::VivoziZevidodiridFramework() = default;

VivoziZevidodiridFramework::~VivoziZevidodiridFramework() = default;

void VivoziZevidodiridFramework::runWithArguments(const PlistValue& arguments,
                                                  std::function<void(const ResultList&)> reply) {
    // Before `progress` is reset, which hosts watch for the start: a cancel that comes after this
    // point counts for this run, one that came before does not.
    std::uint64_t runCancels;
    {
        std::lock_guard lock(mutex_);
        runCancels = cancels_;
        shouldContinue_ = true;
    }
    storeProgress(0.0f);
    ResultList results;
    const auto record = std::make_shared<PlistValue>(PlistValue::dictionary());
    record->setValueForKey("progress", 0.0);
    // Only an array is a list of names; any other value runs nothing.
    const PlistValue::Array* names = arguments["selectedScripts"].arrayElements();
    const std::size_t count = names ? names->size() : 0;
    const float total = static_cast<float>(count);

    for (std::uint32_t k = 1; k <= count; ++k) {
        const PlistValue& name = (*names)[k - 1];
        if (k == 1)
            record->setValueForKey("firstTask", name);
        // Read afresh for every script: the table may change between two.
        const std::string periodic = kx::systemPaths().periodic;
        if (!entryExists(periodic)) {
            storeProgress(static_cast<float>(k) / total);
            record->setValueForKey("name", name);
            record->setValueForKey("taskStatus", kPeriodicMissing);
        } else {
            bool succeeded = false;
            if (const auto text = name.stringValue()) {
                auto task = std::make_shared<kx::Task>();
                task->setLaunchPath(periodic);
                task->setArguments({std::string(*text)});
                task->setEnvironment(std::vector<std::string>{});
                // Never read: a pipe would fill and stall a chatty script.
                task->setStandardOutput(kx::Stdio::nullDevice());
                task->setStandardError(kx::Stdio::nullDevice());
                // periodic runs the scripts as its own children; a terminate sent to its group
                // reaches them too.
                task->setProcessGroupLeader(true);
                std::shared_ptr<kx::Task> previous;
                bool started = false;
                {
                    // Published under the lock a cancel counts under: either the cancel came
                    // first and nothing starts, or it finds this task, and a terminate before
                    // launch is delivered as the child starts.
                    std::lock_guard lock(mutex_);
                    if (cancels_ == runCancels) {
                        previous = std::exchange(task_, task);
                        started = true;
                    }
                }
                previous.reset();
                if (started && !task->launch())
                    task->waitUntilExit();
                succeeded = started && task->terminationStatus() == 0;
            }
            record->setValueForKey("name", name);
            if (succeeded) {
                // A cancel that came after the child ended fails it all the same.
                std::lock_guard lock(mutex_);
                succeeded = cancels_ == runCancels;
            }
            if (succeeded && shouldContinue_) {
                const std::string stamp = currentDateForLocale();
                record->setValueForKey(std::to_string(k), name);
                record->setValueForKey("currentTask", static_cast<std::int32_t>(k));
                record->setValueForKey("taskStatus", stamp);
                const float fraction = static_cast<float>(k) / total;
                storeProgress(fraction);
                record->setValueForKey("progress", static_cast<double>(fraction));
            } else {
                record->setValueForKey("taskStatus", kScriptFailed);
            }
        }
        results.push_back(record);
        processProgressData(*record);
    }
    if (reply)
        reply(results);
}

void VivoziZevidodiridFramework::processProgressData(const PlistValue& record) {
    const std::string text = vz::progressText(loadProgress(), record["taskStatus"], record["name"]);
    kx::DistributedNotificationCenter::defaultCenter().postNotification(
        kx::progressNotificationName, text);
    std::this_thread::sleep_for(vz::progressPause());
}

std::string VivoziZevidodiridFramework::currentDateForLocale() {
    return kx::currentDateStamp();
}

void VivoziZevidodiridFramework::cancelVivoziZevidodirid() {
    // Counted before the task is read: a run that publishes a task after this sees the cancel
    // and starts nothing, so the task read here is the last one that can start.
    {
        std::lock_guard lock(mutex_);
        ++cancels_;
        shouldContinue_ = false;
    }
    if (const auto current = task())
        current->terminate();
}

std::shared_ptr<VivoziZevidodiridDelegate> VivoziZevidodiridFramework::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void VivoziZevidodiridFramework::setDelegate(std::weak_ptr<VivoziZevidodiridDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_.swap(delegate);
}

bool VivoziZevidodiridFramework::shouldContinue() const {
    return shouldContinue_;
}

void VivoziZevidodiridFramework::setShouldContinue(bool shouldContinue) {
    shouldContinue_ = shouldContinue;
}

std::shared_ptr<kx::Task> VivoziZevidodiridFramework::task() const {
    std::lock_guard lock(mutex_);
    return task_;
}

// Each setter swaps under the lock; the previous value is released with the parameter, outside.
void VivoziZevidodiridFramework::setTask(std::shared_ptr<kx::Task> task) {
    std::lock_guard lock(mutex_);
    task_.swap(task);
}

std::optional<std::string> VivoziZevidodiridFramework::dailyStatus() const {
    std::lock_guard lock(mutex_);
    return dailyStatus_;
}

void VivoziZevidodiridFramework::setDailyStatus(std::optional<std::string> status) {
    std::lock_guard lock(mutex_);
    dailyStatus_.swap(status);
}

std::optional<std::string> VivoziZevidodiridFramework::weeklyStatus() const {
    std::lock_guard lock(mutex_);
    return weeklyStatus_;
}

void VivoziZevidodiridFramework::setWeeklyStatus(std::optional<std::string> status) {
    std::lock_guard lock(mutex_);
    weeklyStatus_.swap(status);
}

std::optional<std::string> VivoziZevidodiridFramework::monthlyStatus() const {
    std::lock_guard lock(mutex_);
    return monthlyStatus_;
}

void VivoziZevidodiridFramework::setMonthlyStatus(std::optional<std::string> status) {
    std::lock_guard lock(mutex_);
    monthlyStatus_.swap(status);
}
