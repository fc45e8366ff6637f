// The SQLite side of the store: opening and checking the file, creating the
// schema, the cached prepared statements, and write transactions. store.cpp
// speaks only of keys and values and leaves every SQLite detail to this file,
// so the file format is decided in one place.
#pragma once

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velto::store::detail {

// Every statement the store runs. They are prepared once at open and reused,
// so no SQL text is ever built from user data.
enum class Sql : int {
  kFindChild,
  kInsertKey,
  kChildren,
  kGetValue,
  kPutValue,
  kDeleteValue,
  kListValues,
  kDeleteTreeValues,
  kDeleteTreeKeys,
  kBeginWrite,
  kBeginRead,
  kCommit,
  kRollback,
  kSavepoint,
  kRelease,
  kRollbackTo,
  kCount,
};

// Programmer errors (a broken begin/commit pairing, a moved-from Store) abort
// with a message in every build, NDEBUG or not.
inline void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "velto store: broken invariant: %s\n", what);
  std::abort();
}

// The id of HKLM itself, the one row without a parent.
inline constexpr int64_t kRootKeyId = 1;

struct SqliteCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// One connection to one store file. Not thread-safe by itself: the owner of
// the Store serialises calls (the connection is opened FULLMUTEX anyway, so a
// mistake there cannot corrupt SQLite's own state).
class Database {
 public:
  // Opens, checks and if needed initialises the store. Throws StoreError.
  explicit Database(const std::filesystem::path& path);
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  sqlite3_stmt* statement(Sql which) const { return statements_[static_cast<int>(which)].get(); }
  bool in_transaction() const { return sqlite3_get_autocommit(db_.get()) == 0; }
  int64_t last_insert_id() const { return sqlite3_last_insert_rowid(db_.get()); }
  // Rows changed by the last finished INSERT, UPDATE or DELETE.
  int changes() const { return sqlite3_changes(db_.get()); }
  // Turns an SQLite failure into a StoreError that names the file and says
  // whether it is damaged, foreign or busy.
  [[noreturn]] void fail(int rc, std::string_view doing) const;

  // Write transactions nest: the outermost is BEGIN IMMEDIATE (so a writer
  // waits for the write lock up front instead of failing half-way), inner
  // ones are savepoints, so an inner failure caught by the caller undoes only
  // its own writes.
  void begin_write();
  void commit_write();
  void rollback_write() noexcept;

 private:
  enum class FileKind { kEmpty, kOurs };
  void open_connection(const std::filesystem::path& path);
  FileKind classify();
  void initialise();
  void enable_wal();
  void prepare_statements();
  int64_t query_int(const char* sql);
  void exec(const char* sql);

  std::string path_;  // as given, for messages
  bool in_memory_ = false;
  std::unique_ptr<sqlite3, SqliteCloser> db_;
  std::array<StatementPtr, static_cast<size_t>(Sql::kCount)> statements_;
  // Guarded by the Store's owner. 0: autocommit; 1: inside BEGIN IMMEDIATE;
  // n > 1: n - 1 savepoints on top.
  int write_depth_ = 0;
};

// One use of a cached statement. The destructor resets it, so the statement
// never keeps a read snapshot open or holds bound data past its use.
class Query {
 public:
  Query(const Database& db, Sql which) : db_(db), stmt_(db.statement(which)) {}
  ~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& bind_int(int index, int64_t v);
  Query& bind_text(int index, std::string_view text);
  Query& bind_blob(int index, std::span<const uint8_t> bytes);
  // True while a row is ready; false once the statement is done.
  bool step();
  // Steps a statement that returns no rows.
  void run();
  int64_t column_int(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::string column_text(int col) const;
  std::vector<uint8_t> column_blob(int col) const;

 private:
  void check_bind(int rc);
  const Database& db_;
  sqlite3_stmt* stmt_;
};

// Holds one read transaction across the several statements of a lookup, so a
// path walk and the read at its end see the same version of the file even
// while another process writes. Inside a write transaction it does nothing.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(const Database& db);
  ~ReadSnapshot();
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;

 private:
  const Database& db_;
  bool owned_ = false;
};

}  // namespace velto::store::detail
