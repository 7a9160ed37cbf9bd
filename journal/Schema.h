#pragma once

#include <span>
#include <sqlite3.h>
#include <string>

namespace kx::journal {

// One step of the schema, from the version before it to `version`. Steps are never edited once
// released: a change is a new step, so that every older journal finds its way up.
struct Migration {
    int version;
    const char* sql;
};

// The steps from an empty file to the schema this library reads and writes, oldest first.
std::span<const Migration> migrations();
int currentSchemaVersion();

// Brings the file to the last step's version, each step with its PRAGMA user_version in one
// transaction, so that two writers opening a new file at once apply it once. "" on success,
// else why not (a version newer than the steps know is refused untouched).
std::string migrate(sqlite3* db, std::span<const Migration> steps);

// The version a file says it has; -1 when it cannot be read (not a database).
int schemaVersion(sqlite3* db);

// The status query: the newest run of each set with the start of its newest success, by set
// name. Columns: id, set_name, started, ended, outcome, pid, last_success.
extern const char kLastRunsQuery[];

} // namespace kx::journal
