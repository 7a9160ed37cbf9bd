#pragma once

#include <VivoziZevidodirid/Export.h>
#include <VivoziZevidodirid/PlistValue.h>
#include <VivoziZevidodirid/Task.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The fraction of the current run that is done, 0.0 to 1.0. One for the whole library.
// Read it with std::atomic_ref<float> when a run may be writing it.
extern "C" VZ_EXPORT float progress;
extern "C" VZ_EXPORT const double VivoziZevidodiridVersionNumber;
extern "C" VZ_EXPORT const unsigned char VivoziZevidodiridVersionString[];

// The host's delegate; the runner only stores it, weakly.
class VZ_EXPORT VivoziZevidodiridDelegate {
public:
    virtual ~VivoziZevidodiridDelegate();
};

// The one progress record of a run; every entry of the result list is the same pointer.
using ProgressRecord = std::shared_ptr<PlistValue>;
using ResultList = std::vector<ProgressRecord>;

// Runs the system's periodic maintenance sets one by one. Every operation is virtual: a subclass
// that replaces one changes every use of it, the run's own included.
class VZ_EXPORT VivoziZevidodiridFramework {
public:
    VivoziZevidodiridFramework();
    // Sends no terminate request: a child still running goes on running.
    virtual ~VivoziZevidodiridFramework();
    VivoziZevidodiridFramework(const VivoziZevidodiridFramework&) = delete;
    VivoziZevidodiridFramework& operator=(const VivoziZevidodiridFramework&) = delete;

    // Runs periodic once per name of arguments["selectedScripts"], blocking the caller, and then
    // calls reply once on the caller's thread.
    virtual void runWithArguments(const PlistValue& arguments,
                                  std::function<void(const ResultList&)> reply);
    // Broadcasts "<percent>|<taskStatus>|<name>" and pauses one second.
    virtual void processProgressData(const PlistValue& record);
    // The current date and time in the user's locale for dates.
    virtual std::string currentDateForLocale();
    // Terminates the running script and makes every remaining one count as failed.
    virtual void cancelVivoziZevidodirid();

    virtual std::shared_ptr<VivoziZevidodiridDelegate> delegate() const;
    virtual void setDelegate(std::weak_ptr<VivoziZevidodiridDelegate> delegate);
    virtual bool shouldContinue() const;
    virtual void setShouldContinue(bool shouldContinue);
    virtual std::shared_ptr<kx::Task> task() const;
    virtual void setTask(std::shared_ptr<kx::Task> task);
    virtual std::optional<std::string> dailyStatus() const;
    virtual void setDailyStatus(std::optional<std::string> status);
    virtual std::optional<std::string> weeklyStatus() const;
    virtual void setWeeklyStatus(std::optional<std::string> status);
    virtual std::optional<std::string> monthlyStatus() const;
    virtual void setMonthlyStatus(std::optional<std::string> status);

protected:
    std::atomic<bool> _shouldContinue{false};
    std::weak_ptr<VivoziZevidodiridDelegate> delegate_;
    // Guards _task only: a run replaces it while a cancel on another thread reads it.
    mutable std::mutex taskMutex_;
    std::shared_ptr<kx::Task> _task;
    std::optional<std::string> _dailyStatus;
    std::optional<std::string> _weeklyStatus;
    std::optional<std::string> _monthlyStatus;
};
