#include "journal/Schema.h"

#include <iterator>

namespace kx::journal {
namespace {

// Times are microseconds since the epoch; output is kept as bytes (a BLOB), as written.
constexpr Migration kMigrations[] = {
    {1, R"(
CREATE TABLE runs(
    id INTEGER PRIMARY KEY,
    set_name TEXT NOT NULL,
    started INTEGER NOT NULL,
    ended INTEGER,
    outcome TEXT NOT NULL,
    pid INTEGER NOT NULL);
CREATE INDEX runs_by_set ON runs(set_name, started);
-- The last success of a set without walking back over its failures.
CREATE INDEX runs_by_set_outcome ON runs(set_name, outcome, started);
CREATE TABLE scripts(
    id INTEGER PRIMARY KEY,
    run_id INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
    path TEXT NOT NULL,
    started INTEGER NOT NULL,
    ended INTEGER,
    exit_status INTEGER,
    signal INTEGER,
    output BLOB NOT NULL DEFAULT x'',
    omitted_bytes INTEGER NOT NULL DEFAULT 0);
CREATE INDEX scripts_by_run ON scripts(run_id);
)"},
};

bool execute(sqlite3* db, const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

} // namespace

// One probe of the index per set, however many runs each has: the sets are walked by
// successive MIN lookups instead of grouping every row.
const char kLastRunsQuery[] = R"(
WITH RECURSIVE sets(name) AS (
    SELECT (SELECT MIN(set_name) FROM runs)
    UNION ALL
    SELECT (SELECT MIN(set_name) FROM runs WHERE set_name > sets.name) FROM sets
    WHERE sets.name IS NOT NULL)
SELECT r.id, r.set_name, r.started, r.ended, r.outcome, r.pid,
       (SELECT MAX(started) FROM runs s WHERE s.set_name = sets.name AND s.outcome = 'succeeded')
FROM sets JOIN runs r ON r.id = (SELECT id FROM runs WHERE set_name = sets.name
                                 ORDER BY started DESC, id DESC LIMIT 1)
WHERE sets.name IS NOT NULL
ORDER BY sets.name)";

std::span<const Migration> migrations() {
    return kMigrations;
}

int currentSchemaVersion() {
    return std::prev(std::end(kMigrations))->version;
}

int schemaVersion(sqlite3* db) {
    sqlite3_stmt* statement = nullptr;
    int version = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        version = sqlite3_column_int(statement, 0);
    sqlite3_finalize(statement);
    return version;
}

std::string migrate(sqlite3* db, std::span<const Migration> steps) {
    const int target = steps.empty() ? 0 : steps.back().version;
    const int found = schemaVersion(db);
    if (found < 0)
        return std::string("journal is not readable: ") + sqlite3_errmsg(db);
    if (found == target)
        return {};
    for (const Migration& step : steps) {
        // Taken for writing before the version is read: a writer that waited here finds the
        // step already applied by the one before it.
        if (!execute(db, "BEGIN IMMEDIATE"))
            return std::string("cannot update the journal's schema: ") + sqlite3_errmsg(db);
        const int version = schemaVersion(db);
        std::string why;
        if (version < 0)
            why = std::string("journal is not readable: ") + sqlite3_errmsg(db);
        else if (version > target)
            why = "journal schema version " + std::to_string(version) +
                  " is newer than this program's " + std::to_string(target);
        else if (version < step.version &&
                 !(execute(db, step.sql) &&
                   execute(db, "PRAGMA user_version = " + std::to_string(step.version))))
            why = "cannot update the journal's schema to version " + std::to_string(step.version) +
                  ": " + sqlite3_errmsg(db);
        if (!why.empty()) {
            execute(db, "ROLLBACK");
            return why;
        }
        if (!execute(db, "COMMIT")) {
            why = std::string("cannot update the journal's schema: ") + sqlite3_errmsg(db);
            execute(db, "ROLLBACK");
            return why;
        }
    }
    return {};
}

} // namespace kx::journal
