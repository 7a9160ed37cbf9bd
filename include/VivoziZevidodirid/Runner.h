#pragma once

#include <VivoziZevidodirid/Export.h>
#include <VivoziZevidodirid/Notifications.h>
#include <VivoziZevidodirid/PlistValue.h>
#include <VivoziZevidodirid/Task.h>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The fraction of the current run that is done, 0.0 to 1.0. One for the whole library.
// Read it with std::atomic_ref<float> when a run may be writing it.
extern "C" VZ_EXPORT float progress;
// 1.0.
extern "C" VZ_EXPORT const double VivoziZevidodiridVersionNumber;
// "@(#)PROGRAM:VivoziZevidodirid  PROJECT:Lumivane-1\n", NUL-terminated.
extern "C" VZ_EXPORT const unsigned char VivoziZevidodiridVersionString[];

namespace kx {
// The name of the broadcast a run posts after every script. Its object text is
// "<percent>|<status>|<script name>".
inline constexpr char progressNotificationName[] = "vivoziZevidodiridAddNotification";
} // namespace kx

// The host's delegate; the runner only stores it, weakly.
class VZ_EXPORT VivoziZevidodiridDelegate {
public:
    virtual ~VivoziZevidodiridDelegate();
};

// The one progress record of a run (a dictionary); every entry of the result list is the same
// pointer, so each shows the record's final state.
using ProgressRecord = std::shared_ptr<PlistValue>;
using ResultList = std::vector<ProgressRecord>;

// Runs the system's periodic maintenance sets one by one. Every operation is virtual: a subclass
// that replaces one changes every use of it, the run's own included.
//
// A run blocks its caller; every other operation may be called from other threads meanwhile.
// The object must outlive every run started on it.
class VZ_EXPORT VivoziZevidodiridFramework {
public:
    VivoziZevidodiridFramework();
    // Sends no terminate request: a child still running goes on running.
    virtual ~VivoziZevidodiridFramework();
    VivoziZevidodiridFramework(const VivoziZevidodiridFramework&) = delete;
    VivoziZevidodiridFramework& operator=(const VivoziZevidodiridFramework&) = delete;

    // Runs periodic (kx::systemPaths().periodic) once per name of arguments["selectedScripts"]
    // (an array; anything else, or no such key, runs nothing but still replies), in order, waiting
    // for each and broadcasting progress after each; then calls reply once, on the caller's thread,
    // before returning. Children get that one name as their argument, an empty environment, the
    // caller's standard input, the null device for output and error, and a process group of their
    // own. Every script is reported in the record, none ends the run early: a failed or cancelled
    // one, an entry that is not a string (nothing is started for it) and a periodic that cannot be
    // started all read "Error running daily scripts"; a missing periodic reads "Failed - periodic
    // executable NOT present".
    //
    // A cancel from any moment after entry counts for this run (one made before entry does not):
    // the script running or about to start is stopped or never started, and no later one is
    // started. Those scripts are still reported, broadcast and followed by the pause as failed
    // ones. setShouldContinue(false) is no cancel: scripts still start and are reported failed
    // while the flag stays false.
    virtual void runWithArguments(const PlistValue& arguments,
                                  std::function<void(const ResultList&)> reply);
    // Broadcasts "<percent>|<taskStatus>|<name>" (the percentage from `progress`) and then
    // pauses one second. A missing status or name prints as "(null)".
    virtual void processProgressData(const PlistValue& record);
    // The current date and time in the user's locale for dates (LC_ALL, LC_TIME, then LANG) and
    // the system time zone, with the weekday and month spelled out and a 12-hour clock.
    virtual std::string currentDateForLocale();
    // Terminates the running script's process group, or keeps the script about to start from
    // starting; it and every remaining script count as failed, and none of the remaining ones is
    // started. The run goes on to its end, reporting each. Clears shouldContinue. Does not wait.
    // Signals nothing when no script is running; outside a run it affects no later run.
    virtual void cancelVivoziZevidodirid();

    // Every accessor below is safe from any thread, during a run too.

    // The host's delegate, held weakly: null once it is gone. Nothing in the library calls it.
    virtual std::shared_ptr<VivoziZevidodiridDelegate> delegate() const;
    virtual void setDelegate(std::weak_ptr<VivoziZevidodiridDelegate> delegate);
    // False on a new object; a run sets it, a cancel clears it. A script that ends while it is
    // false counts as failed.
    virtual bool shouldContinue() const;
    virtual void setShouldContinue(bool shouldContinue);
    // The running script's task, or the last one's after a run; null before the first.
    virtual std::shared_ptr<kx::Task> task() const;
    virtual void setTask(std::shared_ptr<kx::Task> task);
    // Kept for the host: no run reads or writes them.
    virtual std::optional<std::string> dailyStatus() const;
    virtual void setDailyStatus(std::optional<std::string> status);
    virtual std::optional<std::string> weeklyStatus() const;
    virtual void setWeeklyStatus(std::optional<std::string> status);
    virtual std::optional<std::string> monthlyStatus() const;
    virtual void setMonthlyStatus(std::optional<std::string> status);

private:
    std::atomic<bool> shouldContinue_{false};
    // Guards every field below: a run replaces the task while a cancel on another thread reads
    // it, and starts a script only while no cancel has come since the run began; the host may
    // set the delegate or a status on one thread and read it on another.
    mutable std::mutex mutex_;
    std::weak_ptr<VivoziZevidodiridDelegate> delegate_;
    std::shared_ptr<kx::Task> task_;
    std::optional<std::string> dailyStatus_;
    std::optional<std::string> weeklyStatus_;
    std::optional<std::string> monthlyStatus_;
    std::uint64_t cancels_ = 0; // every cancel ever made; a run notes the count it began with
};
