// Tests of the configuration store: path spellings, case rules, byte-exact
// data, recursive deletes, transactions, refusal of foreign and damaged files,
// and sharing one file between connections and between processes.
#include "platform/store/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>

#include "platform/store/store_testing.h"

namespace velto::store {
namespace {

namespace fs = std::filesystem;

using namespace store::testing;

// Everything below key, one line per key and value, in store order: equal
// dumps mean equal stores.
std::string dump(const Store& s, const std::string& key = "HKLM") {
  std::string out = key + "\n";
  for (const Value& v : s.list_values(key)) {
    out += "  \"" + v.name + "\" " + std::to_string(static_cast<uint32_t>(v.type)) + " ";
    for (uint8_t b : v.data) out += "0123456789abcdef"[b >> 4], out += "0123456789abcdef"[b & 15];
    out += "\n";
  }
  for (const std::string& sub : s.list_subkeys(key)) out += dump(s, key + "\\" + sub);
  return out;
}

void write_file(const fs::path& p, std::string_view content) {
  std::ofstream(p, std::ios::binary) << content;
}

// Makes an SQLite file the way another program would.
void make_sqlite_file(const fs::path& p, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(p.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}

// Calls fn and returns the StoreError message it raised ("" if none).
std::string store_error_of(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const StoreError& e) {
    return e.what();
  }
  return "";
}

class StoreFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::path(::testing::TempDir()) / "velto_store_XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST(StorePaths, EverySpellingReachesTheSameKey) {
  Store s = Store::open(":memory:");
  s.set_value(kPortKey, "MaxPort", ValueType::REG_DWORD, Store::dword_data(4));
  const std::string spellings[] = {
      kPortKey,
      std::string(layout::kMachinePrefix) + std::string(layout::kPortServiceKey),
      "hklm\\system\\currentcontrolset\\services\\veltoport",
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VeltoPort\\",
      "\\registry\\machine\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\VELTOPORT\\",
  };
  for (const std::string& key : spellings) {
    SCOPED_TRACE(key);
    EXPECT_TRUE(s.key_exists(key));
    const std::optional<Value> v = s.get_value(key, "maxport");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(Store::as_dword(*v), 4u);
    EXPECT_EQ(s.stored_key_path(key), std::string(layout::kPortServiceKey));
  }
}

TEST(StorePaths, RootsAndNamesAreSplit) {
  const struct {
    const char* key;
    std::vector<std::string> names;
  } cases[] = {
      {"HKLM", {}},
      {"hklm\\", {}},
      {"\\REGISTRY\\MACHINE", {}},
      {"HKEY_LOCAL_MACHINE\\a", {"a"}},
      {"HKLM\\Sys tem\\x.y\\", {"Sys tem", "x.y"}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_key_path(c.key), c.names) << c.key;
}

TEST(StoreWrites, BadWritesAreRefusedAndChangeNothing) {
  const std::string long_name(kMaxKeyNameBytes + 1, 'k');
  const struct {
    std::string key;
    size_t name_bytes;
    size_t data_bytes;
    const char* message;
  } cases[] = {
      {"", 1, 0, "bad key path \"\": it must start with HKLM"},
      {"HKCU\\Software", 1, 0, "must start with"},
      {"HKLMX\\a", 1, 0, "must start with"},
      {"REGISTRY\\MACHINE\\a", 1, 0, "must start with"},
      {"\\REGISTRY\\USER\\a", 1, 0, "must start with"},
      {"HKLM\\a\\\\b", 1, 0, "empty name"},
      {"HKLM\\a\\\\", 1, 0, "empty name"},
      {"HKLM\\\\", 1, 0, "empty name"},
      {"HKLM\\" + long_name, 1, 0, "longer than 255 bytes"},
      {"HKLM\\a", kMaxValueNameBytes + 1, 0, "value name is longer"},
      {"HKLM\\a", 1, kMaxValueDataBytes + 1, "value data is longer"},
  };
  Store s = Store::open(":memory:");
  s.set_value("HKLM\\a", "kept", ValueType::REG_DWORD, Store::dword_data(1));
  const std::string before = dump(s);
  for (const auto& c : cases) {
    const std::string message = store_error_of([&] {
      s.set_value(c.key, std::string(c.name_bytes, 'n'), ValueType::REG_BINARY,
                  std::vector<uint8_t>(c.data_bytes));
    });
    EXPECT_NE(message.find(c.message), std::string::npos) << c.key << " -> " << message;
  }
  EXPECT_EQ(dump(s), before);
}

TEST(StoreKeys, NamesAreCaseInsensitiveAndKeepTheirCase) {
  Store s = Store::open(":memory:");
  EXPECT_TRUE(s.create_key("HKLM\\Software\\VeltoCo\\Beta"));
  EXPECT_TRUE(s.create_key("hklm\\SOFTWARE\\veltoco\\alpha"));
  EXPECT_TRUE(s.create_key("HKLM\\software\\VELTOCO\\Gamma"));
  EXPECT_TRUE(s.create_key("HKLM\\SOFTWARE\\VELTOCO\\BETA"));
  EXPECT_EQ(s.list_subkeys("HKLM"), std::vector<std::string>{"Software"});
  EXPECT_EQ(s.list_subkeys("HKLM\\SOFTWARE\\VELTOCO"),
            (std::vector<std::string>{"alpha", "Beta", "Gamma"}));
  EXPECT_EQ(s.stored_key_path("hklm\\software\\veltoco\\BETA"), "Software\\VeltoCo\\Beta");
  EXPECT_EQ(s.stored_key_path("HKLM"), "");
  EXPECT_FALSE(s.key_exists("HKLM\\Software\\Other"));
  EXPECT_EQ(s.stored_key_path("HKLM\\Software\\Other"), std::nullopt);
  EXPECT_TRUE(s.list_subkeys("HKLM\\Software\\Other").empty());
}

TEST(StoreValues, NamesAreCaseInsensitiveAndKeepTheirCase) {
  Store s = Store::open(":memory:");
  s.set_value(kPortKey, "MaxPort", ValueType::REG_DWORD, Store::dword_data(8));
  s.set_value(kPortKey, "MAXPORT", ValueType::REG_DWORD, Store::dword_data(4));
  s.set_value(kPortKey, "c", ValueType::REG_SZ, Store::sz_data("x"));
  s.set_value(kPortKey, "", ValueType::REG_SZ, Store::sz_data("default"));
  const std::vector<Value> values = s.list_values(kPortKey);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name, "");
  EXPECT_EQ(values[1].name, "c");
  EXPECT_EQ(values[2].name, "MaxPort");
  EXPECT_EQ(Store::as_dword(values[2]), 4u);
  EXPECT_EQ(s.get_value(kPortKey, "maxPORT")->name, "MaxPort");
  EXPECT_EQ(s.get_value(kPortKey, "Missing"), std::nullopt);
  EXPECT_EQ(s.get_value("HKLM\\Missing", "MaxPort"), std::nullopt);
  EXPECT_TRUE(s.list_values("HKLM\\Missing").empty());
}

TEST_F(StoreFileTest, DataRoundTripsByteExact) {
  const std::vector<Value> values = {
      {"MaxPort", ValueType::REG_DWORD, Store::dword_data(0x12345678)},
      {"PortIp1", ValueType::REG_SZ, port_ip_data("192.0.2.1")},
      {"PortName", ValueType::REG_SZ, Store::sz_data("COM3")},
      {"", ValueType::REG_SZ, Store::sz_data("default")},
      {"Blob", ValueType::REG_BINARY, {0x00, 0x01, 0xff, 0x00}},
      {"Empty", ValueType::REG_BINARY, {}},
      {"Multi", ValueType::REG_MULTI_SZ, bytes(std::string_view("a\0bc\0\0", 6))},
      {"Expand", ValueType::REG_EXPAND_SZ, Store::sz_data("%SystemRoot%\\x")},
      {"None", ValueType::REG_NONE, {}},
      {"Qword", static_cast<ValueType>(11), {1, 2, 3, 4, 5, 6, 7, 8}},
      {"Wert\xe4", ValueType::REG_SZ, bytes(std::string_view("\xfc\0", 2))},
  };
  const fs::path path = dir_ / "store.db";
  const auto check = [&](const Store& s) {
    for (const Value& want : values) {
      const std::optional<Value> got = s.get_value(kPortKey, want.name);
      ASSERT_TRUE(got.has_value()) << want.name;
      EXPECT_EQ(got->name, want.name);
      EXPECT_EQ(got->type, want.type) << want.name;
      EXPECT_EQ(got->data, want.data) << want.name;
    }
  };
  {
    Store s = Store::open(path);
    for (const Value& v : values) s.set_value(kPortKey, v.name, v.type, v.data);
    check(s);
  }
  check(Store::open(path));
}

TEST_F(StoreFileTest, DeleteValueAndKeyRecursively) {
  const fs::path path = dir_ / "store.db";
  Store s = Store::open(path);
  for (const char* key : {"HKLM\\A", "HKLM\\A\\B", "HKLM\\A\\B\\C", "HKLM\\A2"}) {
    s.set_value(key, "v", ValueType::REG_DWORD, Store::dword_data(1));
    s.set_value(key, "w", ValueType::REG_DWORD, Store::dword_data(2));
  }
  EXPECT_TRUE(s.delete_value("hklm\\a", "V"));
  EXPECT_FALSE(s.delete_value("HKLM\\A", "v"));
  EXPECT_FALSE(s.delete_value("HKLM\\Missing", "v"));
  EXPECT_TRUE(s.delete_key("hklm\\a\\b"));
  EXPECT_FALSE(s.delete_key("HKLM\\A\\B"));
  EXPECT_FALSE(s.key_exists("HKLM\\A\\B\\C"));
  EXPECT_EQ(dump(s),
            "HKLM\nHKLM\\A\n  \"w\" 4 02000000\nHKLM\\A2\n  \"v\" 4 01000000\n"
            "  \"w\" 4 02000000\n");
  EXPECT_NE(store_error_of([&] { s.delete_key("HKLM"); }), "");
  // A key made again under the old name starts empty: nothing of the deleted
  // subtree is left behind in the file either.
  s.create_key("HKLM\\A\\B\\C");
  EXPECT_TRUE(s.list_values("HKLM\\A\\B\\C").empty());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM reg_value", -1, &stmt, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(stmt, 0), 3);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

TEST(StoreTransaction, ThrowRollsBackEveryWrite) {
  Store s = Store::open(":memory:");
  s.set_value("HKLM\\A", "v", ValueType::REG_DWORD, Store::dword_data(1));
  s.set_value("HKLM\\B\\C", "w", ValueType::REG_SZ, Store::sz_data("x"));
  const std::string before = dump(s);
  EXPECT_THROW(s.transaction([&] {
    s.set_value("HKLM\\A", "v", ValueType::REG_DWORD, Store::dword_data(2));
    s.set_value("HKLM\\New\\Deep", "n", ValueType::REG_BINARY, {1});
    s.delete_key("HKLM\\B");
    s.transaction([&] { s.delete_value("HKLM\\A", "v"); });
    throw std::runtime_error("caller gives up");
  }),
               std::runtime_error);
  EXPECT_EQ(dump(s), before);
  s.set_value("HKLM\\A", "after", ValueType::REG_DWORD, Store::dword_data(3));
  EXPECT_TRUE(s.get_value("HKLM\\A", "after").has_value());
}

TEST(StoreTransaction, CaughtInnerFailureUndoesOnlyItsOwnWrites) {
  Store s = Store::open(":memory:");
  s.transaction([&] {
    s.set_value("HKLM\\K", "outer1", ValueType::REG_DWORD, Store::dword_data(1));
    try {
      s.transaction([&] {
        s.set_value("HKLM\\K", "inner", ValueType::REG_DWORD, Store::dword_data(2));
        throw std::runtime_error("inner fails");
      });
    } catch (const std::runtime_error&) {
    }
    s.set_value("HKLM\\K", "outer2", ValueType::REG_DWORD, Store::dword_data(3));
  });
  EXPECT_EQ(dump(s), "HKLM\nHKLM\\K\n  \"outer1\" 4 01000000\n  \"outer2\" 4 03000000\n");
}

TEST_F(StoreFileTest, TwoStoresOnOneFileSeeEachOthersCommittedWrites) {
  Store a = Store::open(dir_ / "store.db");
  Store b = Store::open(dir_ / "store.db");
  a.set_value(kPortKey, "MaxPort", ValueType::REG_DWORD, Store::dword_data(4));
  EXPECT_EQ(Store::as_dword(*b.get_value(kPortKey, "MaxPort")), 4u);
  b.delete_value(kPortKey, "MaxPort");
  EXPECT_EQ(a.get_value(kPortKey, "MaxPort"), std::nullopt);
  a.transaction([&] {
    a.set_value(kPortKey, "StartNum1", ValueType::REG_DWORD, Store::dword_data(5));
    // Not yet committed: the other connection still reads the old file.
    EXPECT_EQ(b.get_value(kPortKey, "StartNum1"), std::nullopt);
  });
  EXPECT_EQ(Store::as_dword(*b.get_value(kPortKey, "StartNum1")), 5u);
}

// Each process adds one to a counter many times, each time in a transaction
// that reads and writes. A lost update (two writers reading the same value)
// would leave the total short.
TEST_F(StoreFileTest, ProcessesShareOneFileWithoutLosingUpdates) {
  constexpr int kProcesses = 2;
  constexpr uint32_t kIncrements = 100;
  const fs::path path = dir_ / "store.db";
  // Created and closed before fork: an SQLite connection must not cross fork.
  Store::open(path).set_value("HKLM\\Counter", "n", ValueType::REG_DWORD, Store::dword_data(0));
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int rc = 0;
      try {
        Store s = Store::open(path);
        for (uint32_t i = 0; i < kIncrements; ++i) {
          s.transaction([&] {
            const uint32_t n = Store::as_dword(*s.get_value("HKLM\\Counter", "n")).value();
            s.set_value("HKLM\\Counter", "n", ValueType::REG_DWORD, Store::dword_data(n + 1));
          });
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "child: %s\n", e.what());
        rc = 1;
      }
      _exit(rc);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const Store s = Store::open(path);
  EXPECT_EQ(Store::as_dword(*s.get_value("HKLM\\Counter", "n")), kProcesses * kIncrements);
}

TEST_F(StoreFileTest, ForeignAndDamagedFilesAreRefusedAndLeftUntouched) {
  const struct {
    const char* name;
    std::function<void(const fs::path&)> make;
    const char* message;
  } cases[] = {
      {"garbage", [](const fs::path& p) { write_file(p, std::string(8192, 'G')); },
       "not a velto store: "},
      {"text", [](const fs::path& p) { write_file(p, "SQLite format 3\nhello\n"); },
       "not a velto store: "},
      {"foreign",
       [](const fs::path& p) {
         make_sqlite_file(p, "CREATE TABLE t(x); INSERT INTO t VALUES(1);");
       },
       "not a velto store: "},
      {"foreign id", [](const fs::path& p) { make_sqlite_file(p, "PRAGMA application_id = 42;"); },
       "not a velto store: "},
      {"newer",
       [](const fs::path& p) {
         make_sqlite_file(p, "PRAGMA application_id = 1447382100; PRAGMA user_version = 2;");
       },
       "newer than this program reads"},
      {"no version",
       [](const fs::path& p) {
         make_sqlite_file(p, "PRAGMA application_id = 1447382100; CREATE TABLE t(x);");
       },
       "store is damaged: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir_ / c.name;
    c.make(path);
    const std::string before = read_file(path);
    const std::string message = store_error_of([&] { Store::open(path); });
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
    EXPECT_NE(message.find(path.string()), std::string::npos) << message;
    EXPECT_EQ(read_file(path), before);
  }
}

// A store cut short (a lost tail, a bad copy) must say so on use, not be
// taken for an empty store and overwritten.
TEST_F(StoreFileTest, TruncatedStoreIsReportedAsDamaged) {
  const fs::path path = dir_ / "store.db";
  {
    Store s = Store::open(path);
    for (uint32_t i = 0; i < 200; ++i) {
      s.set_value(kPortKey, layout::per_port_value_name(layout::kPortIp, i), ValueType::REG_SZ,
                  port_ip_data("192.0.2.1"));
    }
  }
  fs::resize_file(path, 4096);
  const std::string message = store_error_of([&] { dump(Store::open(path)); });
  EXPECT_NE(message.find("store is damaged: "), std::string::npos) << message;
  EXPECT_EQ(fs::file_size(path), 4096u);
}

TEST_F(StoreFileTest, NewAndEmptyFilesBecomeStores) {
  const fs::path nested = dir_ / "a" / "b" / "store.db";
  const fs::path empty = dir_ / "empty.db";
  write_file(empty, "");
  for (const fs::path& path : {nested, empty}) {
    Store::open(path).set_value("HKLM\\K", "v", ValueType::REG_DWORD, Store::dword_data(7));
    EXPECT_EQ(Store::as_dword(*Store::open(path).get_value("HKLM\\K", "v")), 7u) << path;
  }
  EXPECT_NE(store_error_of([] { Store::open(""); }), "");
}

// Sets the environment variables for one case and restores them afterwards.
class EnvGuard {
 public:
  EnvGuard(std::initializer_list<std::pair<const char*, const char*>> vars) {
    for (const auto& [name, value] : vars) {
      const char* old = std::getenv(name);
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      value ? setenv(name, value, 1) : unsetenv(name);
    }
  }
  ~EnvGuard() {
    for (const auto& [name, value] : saved_)
      value ? setenv(name, value->c_str(), 1) : unsetenv(name);
  }

 private:
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST(StoreLocation, OptionThenEnvironmentThenDataHome) {
  const struct {
    std::optional<std::string> option;
    const char* store_env;
    const char* xdg;
    const char* home;
    const char* want;  // nullptr: no place can be found
  } cases[] = {
      {"/opt/s.db", "/env.db", "/xdg", "/home/u", "/opt/s.db"},
      {std::nullopt, "/env.db", "/xdg", "/home/u", "/env.db"},
      {"", "", "/xdg", "/home/u", "/xdg/velto/store.db"},
      {std::nullopt, nullptr, "relative", "/home/u", "/home/u/.local/share/velto/store.db"},
      {std::nullopt, nullptr, nullptr, "/home/u", "/home/u/.local/share/velto/store.db"},
      {std::nullopt, nullptr, nullptr, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    const EnvGuard env({{"VELTO_STORE", c.store_env}, {"XDG_DATA_HOME", c.xdg}, {"HOME", c.home}});
    if (c.want == nullptr) {
      EXPECT_THROW(resolve_store_path(c.option), StoreError);
      continue;
    }
    EXPECT_EQ(resolve_store_path(c.option), fs::path(c.want));
  }
}

TEST(StoreData, HelpersUseTheRegistryLayouts) {
  EXPECT_EQ(Store::dword_data(0x12345678), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(Store::sz_data("COM3"), bytes(std::string_view("COM3\0", 5)));
  EXPECT_EQ(Store::as_dword({"d", ValueType::REG_DWORD, {1, 0, 0, 0x80}}), 0x80000001u);
  EXPECT_EQ(Store::as_dword({"d", ValueType::REG_BINARY, {1, 0, 0, 0}}), std::nullopt);
  EXPECT_EQ(Store::as_dword({"d", ValueType::REG_DWORD, {1, 0, 0}}), std::nullopt);
  EXPECT_EQ(Store::as_text({"s", ValueType::REG_SZ, port_ip_data("192.0.2.1")}), "192.0.2.1");
  EXPECT_EQ(Store::as_text({"s", ValueType::REG_SZ, bytes("no nul")}), "no nul");
}

}  // namespace
}  // namespace velto::store
