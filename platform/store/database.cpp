// Opens and checks a store file and runs its statements. A file is accepted
// only when it is empty (then it is initialised) or carries our application id
// and format version; anything else is refused before a single byte of it is
// written, so pointing a tool at the wrong file never damages that file.
#include "platform/store/database.h"

#include <climits>
#include <system_error>

#include "platform/store/store.h"

namespace velto::store::detail {
namespace {

// "VELT" in ASCII: marks the file as ours among all SQLite files.
constexpr int64_t kApplicationId = 0x56454C54;
// Raised whenever the schema changes; older programs refuse newer files.
constexpr int64_t kFormatVersion = 1;
// Writes are short, so a writer that waits longer than this is stuck.
constexpr int kBusyTimeoutMs = 5000;

// Key and value names are compared through `fold` (ASCII lower case, made in
// C++) and shown through `name` (as created). Names are TEXT holding the
// bytes as given; only byte-wise comparison is ever applied to them.
constexpr const char* kSchema = R"sql(
CREATE TABLE reg_key (
  id INTEGER PRIMARY KEY,
  parent INTEGER REFERENCES reg_key (id),
  name TEXT NOT NULL,
  fold TEXT NOT NULL,
  UNIQUE (parent, fold)
);
CREATE TABLE reg_value (
  key INTEGER NOT NULL REFERENCES reg_key (id),
  name TEXT NOT NULL,
  fold TEXT NOT NULL,
  type INTEGER NOT NULL CHECK (type BETWEEN 0 AND 4294967295),
  data BLOB NOT NULL,
  PRIMARY KEY (key, fold)
) WITHOUT ROWID;
INSERT INTO reg_key (id, parent, name, fold) VALUES (1, NULL, '', '');
PRAGMA user_version = 1;
)sql";

// The subtree below ?1, including ?1 itself. The tree has no cycles: a key's
// parent always existed before the key.
#define VELTO_TREE                                   \
  "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL " \
  "SELECT reg_key.id FROM reg_key JOIN tree ON reg_key.parent = tree.id) "

constexpr std::array<const char*, static_cast<size_t>(Sql::kCount)> kStatements = {
    "SELECT id, name FROM reg_key WHERE parent = ?1 AND fold = ?2",
    "INSERT INTO reg_key (parent, name, fold) VALUES (?1, ?2, ?3)",
    "SELECT name FROM reg_key WHERE parent = ?1 ORDER BY fold",
    "SELECT name, type, data FROM reg_value WHERE key = ?1 AND fold = ?2",
    "INSERT INTO reg_value (key, name, fold, type, data) VALUES (?1, ?2, ?3, ?4, ?5) "
    "ON CONFLICT (key, fold) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM reg_value WHERE key = ?1 AND fold = ?2",
    "SELECT name, type, data FROM reg_value WHERE key = ?1 ORDER BY fold",
    VELTO_TREE "DELETE FROM reg_value WHERE key IN tree",
    VELTO_TREE "DELETE FROM reg_key WHERE id IN tree",
    "BEGIN IMMEDIATE",
    "BEGIN",
    "COMMIT",
    "ROLLBACK",
    "SAVEPOINT velto_nested",
    "RELEASE velto_nested",
    "ROLLBACK TO velto_nested",
};
#undef VELTO_TREE

// For paths that must not throw (rollback); a failure there leaves nothing
// more to undo.
void step_quietly(sqlite3_stmt* stmt) noexcept {
  sqlite3_step(stmt);
  sqlite3_reset(stmt);
}

}  // namespace

Database::Database(const std::filesystem::path& path)
    : path_(path.string()), in_memory_(path_ == ":memory:") {
  if (path_.empty()) throw StoreError("the store path is empty");
  open_connection(path);
  // Checked before anything is written: switching the journal mode would
  // already modify a foreign file.
  const FileKind kind = classify();
  if (!in_memory_) enable_wal();
  exec("PRAGMA foreign_keys = ON");
  if (kind == FileKind::kEmpty) initialise();
  prepare_statements();
}

void Database::open_connection(const std::filesystem::path& path) {
  if (!in_memory_ && path.has_parent_path()) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) throw StoreError("cannot create the folder of store " + path_ + ": " + ec.message());
  }
  sqlite3* raw = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  const int rc = sqlite3_open_v2(path_.c_str(), &raw, flags, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) {
    const std::string why = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    throw StoreError("cannot open store " + path_ + ": " + why);
  }
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
}

// Reading the schema first makes SQLite read the file header, so a file that
// is not SQLite at all fails here (SQLITE_NOTADB) before the id checks.
Database::FileKind Database::classify() {
  const int64_t tables = query_int("SELECT count(*) FROM sqlite_schema");
  const int64_t app_id = query_int("PRAGMA application_id");
  const int64_t version = query_int("PRAGMA user_version");
  if (app_id == kApplicationId) {
    if (version == kFormatVersion) return FileKind::kOurs;
    if (version > kFormatVersion) {
      throw StoreError("store " + path_ + " has format " + std::to_string(version) +
                       ", newer than this program reads (" + std::to_string(kFormatVersion) + ")");
    }
    throw StoreError("store is damaged: " + path_ + " (format version " + std::to_string(version) +
                     ")");
  }
  if (app_id == 0 && version == 0 && tables == 0) return FileKind::kEmpty;
  throw StoreError("not a velto store: " + path_ + " (an SQLite database of another program)");
}

// Two processes may find the same new file empty; the second one re-checks
// under the write lock and finds it initialised.
void Database::initialise() {
  exec("BEGIN IMMEDIATE");
  try {
    if (classify() == FileKind::kEmpty) {
      exec(kSchema);
      exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
    }
    exec("COMMIT");
  } catch (...) {
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

// WAL lets readers in other processes go on while one process writes. The
// mode is kept in the file, so only the first open really switches it.
void Database::enable_wal() {
  StatementPtr stmt;
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db_.get(), "PRAGMA journal_mode = WAL", -1, &raw, nullptr);
  stmt.reset(raw);
  if (rc != SQLITE_OK) fail(rc, "switching to WAL mode");
  const int step_rc = sqlite3_step(raw);
  if (step_rc != SQLITE_ROW) fail(step_rc, "switching to WAL mode");
  const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
  if (mode == nullptr || std::string_view(mode) != "wal") {
    throw StoreError("store " + path_ + " cannot use WAL mode (its file system may lack shared " +
                     "memory); refusing to share it unsafely");
  }
}

void Database::prepare_statements() {
  for (size_t i = 0; i < kStatements.size(); ++i) {
    sqlite3_stmt* raw = nullptr;
    const int rc =
        sqlite3_prepare_v3(db_.get(), kStatements[i], -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    statements_[i].reset(raw);
    // The file passed the id check, so a missing table means it was damaged.
    if (rc != SQLITE_OK && (rc & 0xff) != SQLITE_BUSY) {
      throw StoreError("store is damaged: " + path_ + " (" + sqlite3_errmsg(db_.get()) + ")");
    }
    if (rc != SQLITE_OK) fail(rc, "preparing statements");
  }
}

int64_t Database::query_int(const char* sql) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr);
  const StatementPtr stmt(raw);
  if (rc != SQLITE_OK) fail(rc, sql);
  const int step_rc = sqlite3_step(raw);
  if (step_rc != SQLITE_ROW) fail(step_rc, sql);
  return sqlite3_column_int64(raw, 0);
}

void Database::exec(const char* sql) {
  const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) fail(rc, "setting up the store");
}

void Database::fail(int rc, std::string_view doing) const {
  const std::string detail = sqlite3_errmsg(db_.get());
  switch (rc & 0xff) {
    case SQLITE_NOTADB:
      throw StoreError("not a velto store: " + path_ + " (" + detail + ")");
    case SQLITE_CORRUPT:
      throw StoreError("store is damaged: " + path_ + " (" + detail + ")");
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      throw StoreError("store is busy: " + path_ + " (locked by another process)");
    default:
      throw StoreError("store error: " + path_ + ": " + detail + " (while " + std::string(doing) +
                       ")");
  }
}

void Database::begin_write() {
  if (write_depth_ == 0) {
    require(!in_transaction(), "a write transaction starts inside another transaction");
    Query(*this, Sql::kBeginWrite).run();
  } else {
    Query(*this, Sql::kSavepoint).run();
  }
  ++write_depth_;
}

void Database::commit_write() {
  require(write_depth_ > 0, "commit without a write transaction");
  --write_depth_;
  if (write_depth_ > 0) {
    Query(*this, Sql::kRelease).run();
    return;
  }
  try {
    Query(*this, Sql::kCommit).run();
  } catch (...) {
    // A failed COMMIT may leave the transaction open; end it so the next
    // write starts clean.
    if (in_transaction()) step_quietly(statement(Sql::kRollback));
    throw;
  }
}

void Database::rollback_write() noexcept {
  require(write_depth_ > 0, "rollback without a write transaction");
  --write_depth_;
  if (write_depth_ > 0) {
    step_quietly(statement(Sql::kRollbackTo));
    step_quietly(statement(Sql::kRelease));
    return;
  }
  // SQLite may already have rolled back by itself (disk full, I/O error).
  if (in_transaction()) step_quietly(statement(Sql::kRollback));
}

Query& Query::bind_int(int index, int64_t v) {
  check_bind(sqlite3_bind_int64(stmt_, index, v));
  return *this;
}

Query& Query::bind_text(int index, std::string_view text) {
  if (text.size() > INT_MAX) db_.fail(SQLITE_TOOBIG, "binding a name");
  // An empty view may have a null data(), which SQLite would store as NULL.
  const char* data = text.empty() ? "" : text.data();
  check_bind(
      sqlite3_bind_text(stmt_, index, data, static_cast<int>(text.size()), SQLITE_TRANSIENT));
  return *this;
}

Query& Query::bind_blob(int index, std::span<const uint8_t> bytes) {
  if (bytes.size() > INT_MAX) db_.fail(SQLITE_TOOBIG, "binding value data");
  if (bytes.empty()) {
    check_bind(sqlite3_bind_zeroblob(stmt_, index, 0));  // zero bytes, not NULL
    return *this;
  }
  check_bind(sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()),
                               SQLITE_TRANSIENT));
  return *this;
}

void Query::check_bind(int rc) {
  if (rc != SQLITE_OK) db_.fail(rc, "binding a parameter");
}

bool Query::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_.fail(rc, sqlite3_sql(stmt_));
}

void Query::run() {
  while (step()) {
  }
}

std::string Query::column_text(int col) const {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
  const int n = sqlite3_column_bytes(stmt_, col);
  return p != nullptr ? std::string(p, static_cast<size_t>(n)) : std::string();
}

std::vector<uint8_t> Query::column_blob(int col) const {
  const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, col));
  const int n = sqlite3_column_bytes(stmt_, col);
  return p != nullptr ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
}

ReadSnapshot::ReadSnapshot(const Database& db) : db_(db) {
  if (db.in_transaction()) return;
  Query(db, Sql::kBeginRead).run();
  owned_ = true;
}

ReadSnapshot::~ReadSnapshot() {
  // A read transaction has nothing to keep; ROLLBACK always ends it.
  if (owned_) step_quietly(db_.statement(Sql::kRollback));
}

}  // namespace velto::store::detail
