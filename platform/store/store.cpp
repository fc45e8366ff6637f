// Registry operations on the store: walking key paths, creating and deleting
// keys, reading and writing values. Every write runs inside a write
// transaction, so another process sees all of an operation or none of it;
// every multi-statement read runs inside one read snapshot for the same reason.
#include "platform/store/store.h"

#include "platform/store/database.h"

namespace velto::store {

using detail::Query;
using detail::ReadSnapshot;
using detail::Sql;

namespace {

// Names compare equal when they match after folding ASCII letters; other
// bytes compare as they are.
std::string fold(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The Impl of a live Store; a moved-from Store has none, and using one is a
// programmer error. (A template, because Store::Impl is private by name.)
template <typename ImplPtr>
auto& live(const ImplPtr& impl) {
  detail::require(impl != nullptr, "use of a moved-from Store");
  return *impl;
}

Value read_value(const Query& q) {
  Value v;
  v.name = q.column_text(0);
  v.type = static_cast<ValueType>(static_cast<uint32_t>(q.column_int(1)));
  v.data = q.column_blob(2);
  return v;
}

}  // namespace

struct Store::Impl {
  explicit Impl(const std::filesystem::path& path) : db(path) {}

  // Context: any. Returns the key's id, and its names as created when
  // `names` is given; nullopt when some key on the way is missing.
  std::optional<int64_t> find_key(const std::vector<std::string>& parts,
                                  std::vector<std::string>* names = nullptr) const {
    int64_t id = detail::kRootKeyId;
    for (const std::string& part : parts) {
      Query q(db, Sql::kFindChild);
      q.bind_int(1, id).bind_text(2, fold(part));
      if (!q.step()) return std::nullopt;
      id = q.column_int(0);
      if (names != nullptr) names->push_back(q.column_text(1));
    }
    return id;
  }

  // Context: inside a write transaction. Creates the missing keys on the way.
  int64_t make_key(const std::vector<std::string>& parts) {
    int64_t id = detail::kRootKeyId;
    for (const std::string& part : parts) {
      const std::string folded = fold(part);
      Query find(db, Sql::kFindChild);
      find.bind_int(1, id).bind_text(2, folded);
      if (find.step()) {
        id = find.column_int(0);
        continue;
      }
      Query(db, Sql::kInsertKey).bind_int(1, id).bind_text(2, part).bind_text(3, folded).run();
      id = db.last_insert_id();
    }
    return id;
  }

  detail::Database db;
};

Store Store::open(const std::filesystem::path& path) {
  return Store(std::make_unique<Impl>(path));
}

Store::Store(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Store::Store(Store&&) noexcept = default;
Store& Store::operator=(Store&&) noexcept = default;
Store::~Store() = default;

void Store::begin_write() {
  live(impl_).db.begin_write();
}
void Store::commit_write() {
  live(impl_).db.commit_write();
}
void Store::rollback_write() noexcept {
  live(impl_).db.rollback_write();
}

bool Store::key_exists(std::string_view key) const {
  Impl& self = live(impl_);
  const auto parts = parse_key_path(key);
  const ReadSnapshot snapshot(self.db);
  return self.find_key(parts).has_value();
}

bool Store::create_key(std::string_view key) {
  Impl& self = live(impl_);
  const auto parts = parse_key_path(key);
  transaction([&] { self.make_key(parts); });
  return true;
}

bool Store::delete_key(std::string_view key) {
  Impl& self = live(impl_);
  const auto parts = parse_key_path(key);
  if (parts.empty()) throw StoreError("HKLM itself cannot be deleted");
  bool found = false;
  transaction([&] {
    const std::optional<int64_t> id = self.find_key(parts);
    if (!id) return;
    // Values first: the keys they belong to must exist until they are gone.
    Query(self.db, Sql::kDeleteTreeValues).bind_int(1, *id).run();
    Query(self.db, Sql::kDeleteTreeKeys).bind_int(1, *id).run();
    found = true;
  });
  return found;
}

std::vector<std::string> Store::list_subkeys(std::string_view key) const {
  Impl& self = live(impl_);
  const auto parts = parse_key_path(key);
  const ReadSnapshot snapshot(self.db);
  const std::optional<int64_t> id = self.find_key(parts);
  std::vector<std::string> names;
  if (!id) return names;
  Query q(self.db, Sql::kChildren);
  q.bind_int(1, *id);
  while (q.step()) names.push_back(q.column_text(0));
  return names;
}

std::optional<std::string> Store::stored_key_path(std::string_view key) const {
  Impl& self = live(impl_);
  const auto parts = parse_key_path(key);
  const ReadSnapshot snapshot(self.db);
  std::vector<std::string> names;
  if (!self.find_key(parts, &names)) return std::nullopt;
  std::string path;
  for (const std::string& name : names) {
    if (!path.empty()) path += '\\';
    path += name;
  }
  return path;
}

std::optional<Value> Store::get_value(std::string_view key, std::string_view name) const {
  Impl& self = live(impl_);
  const auto parts = parse_key_path(key);
  const ReadSnapshot snapshot(self.db);
  const std::optional<int64_t> id = self.find_key(parts);
  if (!id) return std::nullopt;
  Query q(self.db, Sql::kGetValue);
  q.bind_int(1, *id).bind_text(2, fold(name));
  if (!q.step()) return std::nullopt;
  return read_value(q);
}

void Store::set_value(std::string_view key, std::string_view name, ValueType type,
                      std::vector<uint8_t> data) {
  Impl& self = live(impl_);
  const auto parts = parse_key_path(key);
  if (name.size() > kMaxValueNameBytes) {
    throw StoreError("value name is longer than " + std::to_string(kMaxValueNameBytes) + " bytes");
  }
  if (data.size() > kMaxValueDataBytes) {
    throw StoreError("value data is longer than " + std::to_string(kMaxValueDataBytes) + " bytes");
  }
  transaction([&] {
    const int64_t id = self.make_key(parts);
    Query q(self.db, Sql::kPutValue);
    q.bind_int(1, id).bind_text(2, name).bind_text(3, fold(name));
    q.bind_int(4, static_cast<uint32_t>(type)).bind_blob(5, data).run();
  });
}

bool Store::delete_value(std::string_view key, std::string_view name) {
  Impl& self = live(impl_);
  const auto parts = parse_key_path(key);
  bool found = false;
  transaction([&] {
    const std::optional<int64_t> id = self.find_key(parts);
    if (!id) return;
    Query(self.db, Sql::kDeleteValue).bind_int(1, *id).bind_text(2, fold(name)).run();
    found = self.db.changes() > 0;
  });
  return found;
}

std::vector<Value> Store::list_values(std::string_view key) const {
  Impl& self = live(impl_);
  const auto parts = parse_key_path(key);
  const ReadSnapshot snapshot(self.db);
  const std::optional<int64_t> id = self.find_key(parts);
  std::vector<Value> values;
  if (!id) return values;
  Query q(self.db, Sql::kListValues);
  q.bind_int(1, *id);
  while (q.step()) values.push_back(read_value(q));
  return values;
}

std::vector<uint8_t> Store::dword_data(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

std::vector<uint8_t> Store::sz_data(std::string_view text) {
  std::vector<uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  return data;
}

std::optional<uint32_t> Store::as_dword(const Value& v) {
  if (v.type != ValueType::REG_DWORD || v.data.size() != 4) return std::nullopt;
  return uint32_t{v.data[0]} | uint32_t{v.data[1]} << 8 | uint32_t{v.data[2]} << 16 |
         uint32_t{v.data[3]} << 24;
}

std::string Store::as_text(const Value& v) {
  std::string text(v.data.begin(), v.data.end());
  return text.substr(0, text.find('\0'));
}

}  // namespace velto::store
