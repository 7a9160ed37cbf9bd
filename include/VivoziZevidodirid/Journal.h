#pragma once

#include <VivoziZevidodirid/Export.h>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <system_error>
#include <vector>

namespace kx {

// The maintenance journal: one record per run of a maintenance set, whoever started it, and one
// per script of the run. The periodic stand-in writes it; hosts read it.

// Microseconds since the epoch (UTC), as the journal keeps them.
using JournalTime = std::chrono::sys_time<std::chrono::microseconds>;

enum class RunOutcome {
    Running,
    Succeeded,
    Failed,
    Cancelled, // ended by a terminate, interrupt or hang-up of the stand-in
    Skipped,   // another run of the same set was under way
    // Never written by a live writer: a run still marked running whose stand-in is gone (killed
    // before it could record the end). Readers report it so; the next run of the set stores it.
    Interrupted,
};

// "running", "succeeded", "failed", "cancelled", "skipped", "interrupted".
VZ_EXPORT std::string_view runOutcomeName(RunOutcome outcome);

// How much of a script's output is kept: the last this many bytes.
inline constexpr std::size_t kJournalOutputLimit = 64 * 1024;
// Runs kept per set unless Journal::setRunsKept says otherwise.
inline constexpr std::size_t kJournalDefaultRunsKept = 500;

struct ScriptRecord {
    std::int64_t id = 0;
    std::string path;
    JournalTime started{};
    std::optional<JournalTime> ended; // none: still running, or its run was interrupted
    std::optional<int> exitStatus;    // set when the script exited
    std::optional<int> signal;        // set when a signal ended it
    // The last kJournalOutputLimit bytes of standard output and error together, in the order
    // written; bytes as written, not necessarily UTF-8.
    std::string output;
    std::uint64_t omittedBytes = 0; // written before `output` and not kept
};

struct RunRecord {
    std::int64_t id = 0;
    std::string set;
    JournalTime started{};
    std::optional<JournalTime> ended;
    RunOutcome outcome = RunOutcome::Running;
    pid_t pid = 0;                     // the stand-in's
    std::vector<ScriptRecord> scripts; // filled by Journal::run alone, in the order run
};

// What a status line shows for one set.
struct SetSummary {
    RunRecord lastRun;                      // the newest run, scripts not filled
    std::optional<JournalTime> lastSuccess; // start of the newest succeeded run
};

// How a script ended, for Journal::finishScript.
struct ScriptEnd {
    JournalTime ended{};
    std::optional<int> exitStatus;
    std::optional<int> signal;
    std::string_view output; // cut to its last kJournalOutputLimit bytes when longer
    std::uint64_t omittedBytes = 0;
};

// The journal file in force: systemPaths().journal when set, else
// /var/lib/VivoziZevidodirid/journal.sqlite for root and
// <home>/.local/state/VivoziZevidodirid/journal.sqlite for another user, the home taken from the
// password database (never from HOME). "" when the account has no absolute home.
VZ_EXPORT std::string journalPath();

// One connection to the journal file. Never throws: a failure leaves isOpen() false, or makes the
// call that failed return its neutral result (nullopt, false, empty), and error() tells why.
// A run marked running whose stand-in is gone reads as Interrupted from every query. Not for
// concurrent use from several threads; several processes may share the file.
class VZ_EXPORT Journal {
public:
    enum class Access {
        Read,  // never creates or changes anything; a missing file fails with ENOENT
        Write, // creates the file and missing folders (mode 0700) and updates the schema
    };

    // path "" opens journalPath(). Refused: a folder that is not a folder, that belongs to
    // another account (root aside) or that others may write to; a file that is a link, not a
    // regular file or another account's; a schema newer than this library knows.
    explicit Journal(Access access, const std::string& path = "");
    ~Journal();
    Journal(Journal&&) noexcept;
    Journal& operator=(Journal&&) noexcept;

    bool isOpen() const;
    std::error_code error() const;
    const std::string& errorText() const; // one line: what failed and where
    const std::string& path() const;      // the file as opened, "" when none could be named

    // 0 keeps every run. Applies as runs are begun, finished and skipped.
    void setRunsKept(std::size_t runs);

    // Writing. A run is begun when the stand-in starts a set (which makes room for it: the set
    // is cut to the newest runs kept, the run counted) and finished when it ends (which drops
    // it, should it not be among the newest by then, as a run with an earlier start recorded
    // late may not be); the caller holds the set's run lock.
    std::optional<std::int64_t> beginRun(std::string_view set, pid_t pid, JournalTime started);
    bool finishRun(std::int64_t run, RunOutcome outcome, JournalTime ended);
    // A run that did not take place because another of the same set was under way.
    bool recordSkipped(std::string_view set, pid_t pid, JournalTime at);
    std::optional<std::int64_t> beginScript(std::int64_t run, std::string_view path,
                                            JournalTime started);
    bool finishScript(std::int64_t script, const ScriptEnd& end);
    // The writes between these two reach the file together, in one transaction: the end of one
    // script and the start of the next cost one write, not two. Other writers wait meanwhile,
    // so nothing slow belongs in between; writes not committed are lost with the connection.
    bool beginWrites();
    bool commitWrites();

    // Reading.
    // The newest run of every set in the journal, by set name.
    std::vector<SetSummary> lastRuns();
    // The runs of one set, newest first: `limit` of them after skipping `offset`.
    std::vector<RunRecord> runs(std::string_view set, std::size_t limit, std::size_t offset = 0);
    // One run with its scripts and their output; nullopt when there is no such run.
    std::optional<RunRecord> run(std::int64_t id);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace kx
