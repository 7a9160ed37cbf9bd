// Only Linux code lives under platform/linux/: SQLite, loaded when a journal is first opened.
// These stand in for the functions of <sqlite3.h> that the library calls; the export map keeps
// them inside it, so a host's own SQLite is never displaced.
#include "platform/linux/LazyLibrary.h"

#include <cstdarg>
#include <sqlite3.h>

namespace {

constinit kx::LazyLibrary sqlite("libsqlite3.so.0");

} // namespace

extern "C" {

// Without the library no database opens, and everything after an open is never reached; the
// fallbacks below are what a null handle would answer, so no caller meets a null message.
int sqlite3_open_v2(const char* filename, sqlite3** database, int flags, const char* vfs) {
    KX_LAZY_FORWARD(sqlite, sqlite3_open_v2, (*database = nullptr, SQLITE_CANTOPEN), filename,
                    database, flags, vfs);
}

const char* sqlite3_errmsg(sqlite3* database) {
    KX_LAZY_FORWARD(sqlite, sqlite3_errmsg, "SQLite is not available", database);
}

const char* sqlite3_errstr(int code) {
    KX_LAZY_FORWARD(sqlite, sqlite3_errstr, "SQLite is not available", code);
}

// Every boolean option takes an int and an int* for the setting it leaves.
int sqlite3_db_config(sqlite3* database, int option, ...) {
    va_list arguments;
    va_start(arguments, option);
    const int value = va_arg(arguments, int);
    int* const result = va_arg(arguments, int*);
    va_end(arguments);
    KX_LAZY_FORWARD(sqlite, sqlite3_db_config, SQLITE_MISUSE, database, option, value, result);
}

int sqlite3_close_v2(sqlite3* database) {
    KX_LAZY_FORWARD(sqlite, sqlite3_close_v2, SQLITE_OK, database);
}

int sqlite3_busy_timeout(sqlite3* database, int milliseconds) {
    KX_LAZY_FORWARD(sqlite, sqlite3_busy_timeout, SQLITE_MISUSE, database, milliseconds);
}

int sqlite3_extended_result_codes(sqlite3* database, int on) {
    KX_LAZY_FORWARD(sqlite, sqlite3_extended_result_codes, SQLITE_MISUSE, database, on);
}

int sqlite3_errcode(sqlite3* database) {
    KX_LAZY_FORWARD(sqlite, sqlite3_errcode, SQLITE_CANTOPEN, database);
}

int sqlite3_get_autocommit(sqlite3* database) {
    KX_LAZY_FORWARD(sqlite, sqlite3_get_autocommit, 1, database);
}

sqlite3_int64 sqlite3_last_insert_rowid(sqlite3* database) {
    KX_LAZY_FORWARD(sqlite, sqlite3_last_insert_rowid, 0, database);
}

int sqlite3_exec(sqlite3* database, const char* sql, int (*callback)(void*, int, char**, char**),
                 void* context, char** error) {
    KX_LAZY_FORWARD(sqlite, sqlite3_exec, SQLITE_MISUSE, database, sql, callback, context, error);
}

int sqlite3_wal_checkpoint_v2(sqlite3* database, const char* schema, int mode, int* logFrames,
                              int* checkpointed) {
    KX_LAZY_FORWARD(sqlite, sqlite3_wal_checkpoint_v2, SQLITE_MISUSE, database, schema, mode,
                    logFrames, checkpointed);
}

void* sqlite3_wal_hook(sqlite3* database, int (*hook)(void*, sqlite3*, const char*, int),
                       void* context) {
    KX_LAZY_FORWARD(sqlite, sqlite3_wal_hook, nullptr, database, hook, context);
}

int sqlite3_prepare_v2(sqlite3* database, const char* sql, int bytes, sqlite3_stmt** statement,
                       const char** tail) {
    KX_LAZY_FORWARD(sqlite, sqlite3_prepare_v2, SQLITE_MISUSE, database, sql, bytes, statement,
                    tail);
}

int sqlite3_prepare_v3(sqlite3* database, const char* sql, int bytes, unsigned int flags,
                       sqlite3_stmt** statement, const char** tail) {
    KX_LAZY_FORWARD(sqlite, sqlite3_prepare_v3, SQLITE_MISUSE, database, sql, bytes, flags,
                    statement, tail);
}

int sqlite3_step(sqlite3_stmt* statement) {
    KX_LAZY_FORWARD(sqlite, sqlite3_step, SQLITE_MISUSE, statement);
}

int sqlite3_reset(sqlite3_stmt* statement) {
    KX_LAZY_FORWARD(sqlite, sqlite3_reset, SQLITE_MISUSE, statement);
}

int sqlite3_finalize(sqlite3_stmt* statement) {
    KX_LAZY_FORWARD(sqlite, sqlite3_finalize, SQLITE_OK, statement);
}

int sqlite3_clear_bindings(sqlite3_stmt* statement) {
    KX_LAZY_FORWARD(sqlite, sqlite3_clear_bindings, SQLITE_MISUSE, statement);
}

int sqlite3_bind_null(sqlite3_stmt* statement, int index) {
    KX_LAZY_FORWARD(sqlite, sqlite3_bind_null, SQLITE_MISUSE, statement, index);
}

int sqlite3_bind_int64(sqlite3_stmt* statement, int index, sqlite3_int64 value) {
    KX_LAZY_FORWARD(sqlite, sqlite3_bind_int64, SQLITE_MISUSE, statement, index, value);
}

int sqlite3_bind_blob64(sqlite3_stmt* statement, int index, const void* bytes, sqlite3_uint64 size,
                        void (*destructor)(void*)) {
    KX_LAZY_FORWARD(sqlite, sqlite3_bind_blob64, SQLITE_MISUSE, statement, index, bytes, size,
                    destructor);
}

int sqlite3_bind_text64(sqlite3_stmt* statement, int index, const char* text, sqlite3_uint64 size,
                        void (*destructor)(void*), unsigned char encoding) {
    KX_LAZY_FORWARD(sqlite, sqlite3_bind_text64, SQLITE_MISUSE, statement, index, text, size,
                    destructor, encoding);
}

int sqlite3_column_type(sqlite3_stmt* statement, int column) {
    KX_LAZY_FORWARD(sqlite, sqlite3_column_type, SQLITE_NULL, statement, column);
}

int sqlite3_column_int(sqlite3_stmt* statement, int column) {
    KX_LAZY_FORWARD(sqlite, sqlite3_column_int, 0, statement, column);
}

sqlite3_int64 sqlite3_column_int64(sqlite3_stmt* statement, int column) {
    KX_LAZY_FORWARD(sqlite, sqlite3_column_int64, 0, statement, column);
}

int sqlite3_column_bytes(sqlite3_stmt* statement, int column) {
    KX_LAZY_FORWARD(sqlite, sqlite3_column_bytes, 0, statement, column);
}

const void* sqlite3_column_blob(sqlite3_stmt* statement, int column) {
    KX_LAZY_FORWARD(sqlite, sqlite3_column_blob, nullptr, statement, column);
}

} // extern "C"
