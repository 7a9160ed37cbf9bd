#include "journal/JournalFiles.h"
#include "journal/Schema.h"

#include <VivoziZevidodirid/Journal.h>
#include <VivoziZevidodirid/SystemPaths.h>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kx {
namespace {

constexpr int kBusyTimeoutMs = 5000;
// The write-ahead log is folded into the file after a connection's first commit once it holds
// this many pages: at the start of a run, while its first script runs, rather than at whichever
// commit crosses the line, which may be the one at its end that the stand-in waits for. Kept
// short, as every connection's first read replays the whole log.
constexpr int kWalPagesDue = 250;
// At any commit past this many: a run whose output alone fills the log.
constexpr int kWalPagesMost = 8000;

// Each prepared once per connection.
constexpr char kBeginWrite[] = "BEGIN IMMEDIATE";
constexpr char kBeginRead[] = "BEGIN";
constexpr char kCommit[] = "COMMIT";
constexpr char kRollback[] = "ROLLBACK";
constexpr char kRunningRuns[] =
    "SELECT id, pid FROM runs WHERE set_name = ? AND outcome = 'running'";
constexpr char kMarkInterrupted[] = "UPDATE runs SET outcome = 'interrupted' WHERE id = ?";
constexpr char kInsertRun[] =
    "INSERT INTO runs(set_name, started, outcome, pid) VALUES(?, ?, 'running', ?)";
constexpr char kInsertSkipped[] =
    "INSERT INTO runs(set_name, started, ended, outcome, pid) VALUES(?, ?, ?2, 'skipped', ?)";
constexpr char kFinishRun[] = "UPDATE runs SET outcome = ?, ended = ? WHERE id = ?";
constexpr char kInsertScript[] = "INSERT INTO scripts(run_id, path, started) VALUES(?, ?, ?)";
constexpr char kFinishScript[] = "UPDATE scripts SET ended = ?, exit_status = ?, signal = ?, "
                                 "output = ?, omitted_bytes = ? WHERE id = ?";
constexpr char kRunsOfSet[] = "SELECT id, set_name, started, ended, outcome, pid FROM runs "
                              "WHERE set_name = ? ORDER BY started DESC, id DESC LIMIT ? OFFSET ?";
constexpr char kOneRun[] =
    "SELECT id, set_name, started, ended, outcome, pid FROM runs WHERE id = ?";
constexpr char kScriptsOfRun[] = "SELECT id, path, started, ended, exit_status, signal, output, "
                                 "omitted_bytes FROM scripts WHERE run_id = ? ORDER BY started, id";
// The runs of ?1's set older than its newest ?2, but for run ?3: found from the oldest run kept
// along the index, so that a set within its limit costs a walk of ?2 index entries and no
// deletion. The scripts of the runs dropped go with them (ON DELETE CASCADE).
constexpr char kPrune[] = R"(
DELETE FROM runs WHERE set_name = (SELECT set_name FROM runs WHERE id = ?1) AND id IS NOT ?3
AND (started, id) <= (SELECT started, id FROM runs
                      WHERE set_name = (SELECT set_name FROM runs WHERE id = ?1)
                      ORDER BY started DESC, id DESC LIMIT 1 OFFSET ?2))";
// Run ?1 itself when ?2 runs of its set or more are newer: one recorded late, with an earlier
// start than the newest kept. The newer runs are counted along the index: none, as a rule.
constexpr char kDropUnlessKept[] = R"(
DELETE FROM runs WHERE id = ?1 AND ?2 <= (
    SELECT COUNT(*) FROM (SELECT 1 FROM runs AS newer, runs AS run
                          WHERE run.id = ?1 AND newer.set_name = run.set_name
                          AND (newer.started, newer.id) > (run.started, run.id) LIMIT ?2)))";
// What a run's writer uses, prepared after its first commit rather than on first use, which for
// some is the run's end.
constexpr const char* kWrites[] = {kBeginWrite,   kCommit,    kRunningRuns,
                                   kInsertRun,    kFinishRun, kInsertScript,
                                   kFinishScript, kPrune,     kDropUnlessKept};

constexpr std::string_view kOutcomeNames[] = {"running",   "succeeded", "failed",
                                              "cancelled", "skipped",   "interrupted"};

// SQLite's result codes as error codes, so that a host can tell them from a file's errno.
class SqliteCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "sqlite"; }
    std::string message(int code) const override { return sqlite3_errstr(code); }
};

const std::error_category& sqliteCategory() {
    static const SqliteCategory category;
    return category;
}

RunOutcome outcomeFromName(std::string_view name) {
    for (std::size_t k = 0; k < std::size(kOutcomeNames); ++k)
        if (kOutcomeNames[k] == name)
            return static_cast<RunOutcome>(k);
    // Not written by us: whatever it is, it is not a success.
    return RunOutcome::Failed;
}

std::int64_t micros(JournalTime time) {
    return time.time_since_epoch().count();
}

JournalTime timeFrom(std::int64_t value) {
    return JournalTime(std::chrono::microseconds(value));
}

std::int64_t clampToInt64(std::size_t value) {
    return value > static_cast<std::size_t>(INT64_MAX) ? INT64_MAX
                                                       : static_cast<std::int64_t>(value);
}

// One use of a statement prepared once per connection: its bindings and state are cleared when
// the use ends, ready for the next. Preparing costs more than running the small statements here.
class Statement {
public:
    explicit Statement(sqlite3_stmt* statement) : statement_(statement) {}
    ~Statement() {
        if (statement_) {
            sqlite3_reset(statement_);
            sqlite3_clear_bindings(statement_);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value) {
        sqlite3_bind_int64(statement_, index, value);
        return *this;
    }
    Statement& bind(int index, std::string_view text) {
        sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8);
        return *this;
    }
    Statement& bindBlob(int index, std::string_view bytes) {
        sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int index, std::optional<std::int64_t> value) {
        if (value)
            return bind(index, *value);
        sqlite3_bind_null(statement_, index);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step() { return statement_ ? sqlite3_step(statement_) : SQLITE_MISUSE; }

    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    std::optional<std::int64_t> optionalInteger(int column) const {
        if (sqlite3_column_type(statement_, column) == SQLITE_NULL)
            return std::nullopt;
        return integer(column);
    }
    std::string text(int column) const {
        // Bytes first: sqlite3_column_bytes may convert, and the pointer is valid only after.
        const void* data = sqlite3_column_blob(statement_, column);
        const int size = sqlite3_column_bytes(statement_, column);
        return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                    : std::string();
    }

private:
    sqlite3_stmt* statement_;
};

std::optional<JournalTime> optionalTime(const Statement& row, int column) {
    if (const auto value = row.optionalInteger(column))
        return timeFrom(*value);
    return std::nullopt;
}

// Columns: id, set_name, started, ended, outcome, pid.
RunRecord runFrom(const Statement& row) {
    RunRecord run;
    run.id = row.integer(0);
    run.set = row.text(1);
    run.started = timeFrom(row.integer(2));
    run.ended = optionalTime(row, 3);
    run.outcome = outcomeFromName(row.text(4));
    const std::int64_t pid = row.integer(5);
    run.pid = pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
    return run;
}

} // namespace

std::string_view runOutcomeName(RunOutcome outcome) {
    const auto index = static_cast<std::size_t>(outcome);
    return index < std::size(kOutcomeNames) ? kOutcomeNames[index] : "failed";
}

std::string journalPath() {
    if (std::string configured = systemPaths().journal; !configured.empty())
        return configured;
    const uid_t uid = ::geteuid();
    return journal::defaultJournalPath(uid, uid == 0 ? "" : journal::accountHome(uid));
}

// Hidden: a class nested in an exported one would otherwise be exported with it.
struct __attribute__((visibility("hidden"))) Journal::State {
    sqlite3* db = nullptr;
    std::string path;
    std::error_code error;
    std::string errorText;
    std::size_t runsKept = kJournalDefaultRunsKept;
    // Prepared once per connection, by the address of their text.
    std::vector<std::pair<const char*, sqlite3_stmt*>> prepared;
    // Pages in the write-ahead log after the last commit, and whether one was made.
    int walPages = 0;
    bool committed = false;

    ~State() { close(); }

    void close() {
        for (const auto& [sql, statement] : prepared)
            sqlite3_finalize(statement);
        prepared.clear();
        sqlite3_close_v2(db);
        db = nullptr;
    }
    // A statement not yet prepared is prepared now; one that fails to prepare fails its steps.
    Statement statement(const char* sql) {
        for (const auto& [text, statement] : prepared)
            if (text == sql)
                return Statement(statement);
        sqlite3_stmt* statement = nullptr;
        if (db && sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) ==
                      SQLITE_OK)
            prepared.emplace_back(sql, statement);
        return Statement(statement);
    }
    // `body` in a write transaction of its own, or in the caller's when Journal::beginWrites
    // opened one; false (and error set) when it or the commit failed.
    template <typename Body> bool write(Body&& body) {
        const bool own = sqlite3_get_autocommit(db) != 0;
        if (own && !step(kBeginWrite))
            return failSqlite("cannot write journal");
        if (!body() || (own && !commit())) {
            failSqlite("cannot write journal");
            if (own)
                step(kRollback);
            return false;
        }
        return true;
    }
    // One of the statements without rows (BEGIN, COMMIT...), prepared once.
    bool step(const char* sql) { return statement(sql).step() == SQLITE_DONE; }
    // A connection's first commit comes as its work begins: what would otherwise fall on the
    // commits to come (and the last, which a run's end waits for) is done after it.
    bool commit() {
        if (!step(kCommit))
            return false;
        if (!std::exchange(committed, true)) {
            if (walPages >= kWalPagesDue)
                checkpoint();
            for (const char* sql : kWrites)
                statement(sql);
        }
        return true;
    }
    // Passive: never waits for a reader, whose pages are left for the next time.
    void checkpoint() {
        sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
    static int walCommitted(void* self, sqlite3*, const char*, int pages) {
        State& s = *static_cast<State*>(self);
        s.walPages = pages;
        if (pages >= kWalPagesMost)
            s.checkpoint();
        return SQLITE_OK;
    }

    bool fail(std::error_code code, std::string text) {
        error = code;
        errorText = std::move(text);
        return false;
    }
    bool failSqlite(std::string_view what) {
        const int code = db ? sqlite3_errcode(db) : SQLITE_CANTOPEN;
        return fail(std::error_code(code, sqliteCategory()),
                    std::string(what) + " " + path + ": " +
                        (db ? sqlite3_errmsg(db) : sqlite3_errstr(code)));
    }
    bool execute(const char* sql) {
        return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    bool open(Access access, const std::string& requested);
    // The set of `run` cut to the newest runsKept runs.
    // `spared` (when not 0) is kept whatever its start: a run under way.
    bool prune(std::int64_t run, std::int64_t spared = 0) {
        if (runsKept == 0)
            return true;
        Statement deletion = statement(kPrune);
        deletion.bind(1, run).bind(2, clampToInt64(runsKept));
        if (spared != 0)
            deletion.bind(3, spared);
        return deletion.step() == SQLITE_DONE;
    }
    // Running runs whose stand-in is gone read as interrupted.
    void settle(RunRecord& run) const {
        if (run.outcome == RunOutcome::Running &&
            !journal::runStillUnderWay(path, run.set, run.pid))
            run.outcome = RunOutcome::Interrupted;
    }
};

bool Journal::State::open(Access access, const std::string& requested) {
    const bool write = access == Access::Write;
    std::string why;
    int number = 0;
    const std::optional<std::string> checked =
        journal::checkedJournalFile(requested, write, why, number);
    path = checked.value_or(requested);
    if (!checked)
        return fail(std::error_code(number, std::generic_category()), why);
    if (write) {
        // Made here rather than by SQLite, whose mode follows the umask: the output of root's
        // scripts is no one else's to read.
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
    }
    const int flags = (write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK)
        return failSqlite("cannot open journal");
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 0);
    // Before anything is changed: a file that is no journal, or a newer one, stays as it is.
    const int version = journal::schemaVersion(db);
    if (version < 0)
        return failSqlite("cannot read journal");
    if (version > journal::currentSchemaVersion() ||
        (!write && version != journal::currentSchemaVersion()))
        return fail(std::error_code(SQLITE_SCHEMA, sqliteCategory()),
                    "journal " + path + " has schema version " + std::to_string(version) +
                        ", this program reads version " +
                        std::to_string(journal::currentSchemaVersion()));
    if (write) {
        // Synchronous NORMAL under WAL: a commit costs no fsync, and a power cut loses at most
        // the last rows, never the file.
        if (!execute("PRAGMA journal_mode = WAL") || !execute("PRAGMA synchronous = NORMAL"))
            return failSqlite("cannot use journal");
        // A checkpoint on close would cost each run an fdatasync of the whole journal, several
        // times what its rows cost; the write-ahead log is folded in after a first commit
        // instead (see commit), and readers see it either way.
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_wal_hook(db, walCommitted, this);
        if (version < journal::currentSchemaVersion())
            if (std::string failure = journal::migrate(db, journal::migrations()); !failure.empty())
                return fail(std::error_code(sqlite3_errcode(db) == SQLITE_OK ? SQLITE_ERROR
                                                                             : sqlite3_errcode(db),
                                            sqliteCategory()),
                            failure + " (" + path + ")");
    }
    // Set without a statement to parse: a prune's deletions reach the runs' scripts.
    if (sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_FKEY, 1, nullptr) != SQLITE_OK)
        return failSqlite("cannot use journal");
    return true;
}

Journal::Journal(Access access, const std::string& path) : state_(std::make_unique<State>()) {
    if (!state_->open(access, path.empty() ? journalPath() : path))
        state_->close();
}

Journal::~Journal() = default;
Journal::Journal(Journal&&) noexcept = default;
Journal& Journal::operator=(Journal&&) noexcept = default;

bool Journal::isOpen() const {
    return state_ && state_->db;
}

std::error_code Journal::error() const {
    return state_ ? state_->error : std::make_error_code(std::errc::bad_file_descriptor);
}

const std::string& Journal::errorText() const {
    static const std::string moved = "journal was moved from";
    return state_ ? state_->errorText : moved;
}

const std::string& Journal::path() const {
    static const std::string none;
    return state_ ? state_->path : none;
}

void Journal::setRunsKept(std::size_t runs) {
    if (state_)
        state_->runsKept = runs;
}

bool Journal::beginWrites() {
    if (!isOpen())
        return false;
    return state_->step(kBeginWrite) || state_->failSqlite("cannot write journal");
}

bool Journal::commitWrites() {
    if (!isOpen())
        return false;
    State& s = *state_;
    if (s.commit())
        return true;
    s.failSqlite("cannot write journal");
    s.step(kRollback);
    return false;
}

std::optional<std::int64_t> Journal::beginRun(std::string_view set, pid_t pid,
                                              JournalTime started) {
    if (!isOpen())
        return std::nullopt;
    State& s = *state_;
    std::int64_t id = 0;
    const bool written = s.write([&] {
        // The caller holds the set's lock, so a run of the set still marked running is one
        // whose stand-in died before it could say how it ended.
        std::vector<std::int64_t> stale;
        {
            Statement running = s.statement(kRunningRuns);
            running.bind(1, set);
            int status;
            while ((status = running.step()) == SQLITE_ROW) {
                const std::int64_t other = running.integer(1);
                if (other == pid ||
                    !journal::runStillUnderWay(s.path, set, static_cast<pid_t>(other)))
                    stale.push_back(running.integer(0));
            }
            if (status != SQLITE_DONE)
                return false;
        }
        for (const std::int64_t run : stale)
            if (s.statement(kMarkInterrupted).bind(1, run).step() != SQLITE_DONE)
                return false;
        if (s.statement(kInsertRun)
                .bind(1, set)
                .bind(2, micros(started))
                .bind(3, std::int64_t{pid})
                .step() != SQLITE_DONE)
            return false;
        id = sqlite3_last_insert_rowid(s.db);
        // Pruned now, while the scripts run, rather than when the run ends, so that the end
        // finds nothing more to delete; the run itself stays whatever its start.
        return s.prune(id, id);
    });
    return written ? std::optional(id) : std::nullopt;
}

bool Journal::finishRun(std::int64_t run, RunOutcome outcome, JournalTime ended) {
    if (!isOpen())
        return false;
    State& s = *state_;
    return s.write([&] {
        return s.statement(kFinishRun)
                       .bind(1, runOutcomeName(outcome))
                       .bind(2, micros(ended))
                       .bind(3, run)
                       .step() == SQLITE_DONE &&
               (s.runsKept == 0 || s.statement(kDropUnlessKept)
                                           .bind(1, run)
                                           .bind(2, clampToInt64(s.runsKept))
                                           .step() == SQLITE_DONE);
    });
}

bool Journal::recordSkipped(std::string_view set, pid_t pid, JournalTime at) {
    if (!isOpen())
        return false;
    State& s = *state_;
    return s.write([&] {
        return s.statement(kInsertSkipped)
                       .bind(1, set)
                       .bind(2, micros(at))
                       .bind(3, std::int64_t{pid})
                       .step() == SQLITE_DONE &&
               s.prune(sqlite3_last_insert_rowid(s.db));
    });
}

std::optional<std::int64_t> Journal::beginScript(std::int64_t run, std::string_view path,
                                                 JournalTime started) {
    if (!isOpen())
        return std::nullopt;
    State& s = *state_;
    std::int64_t id = 0;
    const bool written = s.write([&] {
        if (s.statement(kInsertScript).bind(1, run).bind(2, path).bind(3, micros(started)).step() !=
            SQLITE_DONE)
            return false;
        id = sqlite3_last_insert_rowid(s.db);
        return true;
    });
    return written ? std::optional(id) : std::nullopt;
}

bool Journal::finishScript(std::int64_t script, const ScriptEnd& end) {
    if (!isOpen())
        return false;
    State& s = *state_;
    std::string_view output = end.output;
    std::uint64_t omitted = end.omittedBytes;
    if (output.size() > kJournalOutputLimit) {
        omitted += output.size() - kJournalOutputLimit;
        output.remove_prefix(output.size() - kJournalOutputLimit);
    }
    const auto optionalInt = [](std::optional<int> value) -> std::optional<std::int64_t> {
        if (value)
            return *value;
        return std::nullopt;
    };
    return s.write([&] {
        return s.statement(kFinishScript)
                   .bind(1, micros(end.ended))
                   .bind(2, optionalInt(end.exitStatus))
                   .bind(3, optionalInt(end.signal))
                   .bindBlob(4, output)
                   .bind(5, clampToInt64(omitted))
                   .bind(6, script)
                   .step() == SQLITE_DONE;
    });
}

std::vector<SetSummary> Journal::lastRuns() {
    std::vector<SetSummary> summaries;
    if (!isOpen())
        return summaries;
    Statement query = state_->statement(journal::kLastRunsQuery);
    int status;
    while ((status = query.step()) == SQLITE_ROW) {
        SetSummary summary{runFrom(query), optionalTime(query, 6)};
        state_->settle(summary.lastRun);
        summaries.push_back(std::move(summary));
    }
    if (status != SQLITE_DONE) {
        state_->failSqlite("cannot read journal");
        summaries.clear();
    }
    return summaries;
}

std::vector<RunRecord> Journal::runs(std::string_view set, std::size_t limit, std::size_t offset) {
    std::vector<RunRecord> found;
    if (!isOpen() || limit == 0)
        return found;
    Statement query = state_->statement(kRunsOfSet);
    query.bind(1, set).bind(2, clampToInt64(limit)).bind(3, clampToInt64(offset));
    int status;
    while ((status = query.step()) == SQLITE_ROW) {
        found.push_back(runFrom(query));
        state_->settle(found.back());
    }
    if (status != SQLITE_DONE) {
        state_->failSqlite("cannot read journal");
        found.clear();
    }
    return found;
}

std::optional<RunRecord> Journal::run(std::int64_t id) {
    if (!isOpen())
        return std::nullopt;
    State& s = *state_;
    // One read transaction, so that the scripts belong to the run as read.
    const bool own = sqlite3_get_autocommit(s.db) != 0;
    if (own && !s.step(kBeginRead)) {
        s.failSqlite("cannot read journal");
        return std::nullopt;
    }
    std::optional<RunRecord> found;
    bool read = true;
    {
        Statement query = s.statement(kOneRun);
        query.bind(1, id);
        const int status = query.step();
        if (status == SQLITE_ROW)
            found = runFrom(query);
        read = status == SQLITE_ROW || status == SQLITE_DONE;
    }
    if (found) {
        Statement scripts = s.statement(kScriptsOfRun);
        scripts.bind(1, id);
        int status;
        while ((status = scripts.step()) == SQLITE_ROW) {
            ScriptRecord script;
            script.id = scripts.integer(0);
            script.path = scripts.text(1);
            script.started = timeFrom(scripts.integer(2));
            script.ended = optionalTime(scripts, 3);
            if (const auto exit = scripts.optionalInteger(4))
                script.exitStatus = static_cast<int>(*exit);
            if (const auto signal = scripts.optionalInteger(5))
                script.signal = static_cast<int>(*signal);
            script.output = scripts.text(6);
            const std::int64_t omitted = scripts.integer(7);
            script.omittedBytes = omitted > 0 ? static_cast<std::uint64_t>(omitted) : 0;
            found->scripts.push_back(std::move(script));
        }
        read = status == SQLITE_DONE;
        s.settle(*found);
    }
    if (own)
        s.step(kCommit);
    if (!read) {
        s.failSqlite("cannot read journal");
        return std::nullopt;
    }
    return found;
}

} // namespace kx
