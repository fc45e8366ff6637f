// Tests of velto-reg: the data forms `set` accepts, the registry text written
// by export and read by import (byte-exact round trip, all-or-nothing
// import), the commands run in-process, and one run of the real program.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "host/velto_reg/commands.h"
#include "host/velto_reg/reg_file.h"
#include "host/velto_reg/value_text.h"
#include "platform/store/store_testing.h"

namespace velto::reg {
namespace {

namespace fs = std::filesystem;
using store::Store;
using namespace store::testing;

// Everything below key, one line per key and value: equal dumps mean equal
// stores, names and bytes included.
std::string dump(const Store& s, const std::string& key = "HKLM") {
  std::string out = key + "\n";
  for (const store::Value& v : s.list_values(key)) {
    out += "  \"" + v.name + "\" " + std::to_string(static_cast<uint32_t>(v.type)) + " " +
           hex_bytes(v.data) + "\n";
  }
  for (const std::string& sub : s.list_subkeys(key)) out += dump(s, key + "\\" + sub);
  return out;
}

// Calls fn and returns the message of the RegError it raised ("" if none).
template <typename Fn>
std::string reg_error_of(Fn&& fn) {
  try {
    fn();
  } catch (const RegError& e) {
    return e.what();
  }
  return "";
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::path(::testing::TempDir()) / "velto_reg_XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

TEST(RegSetData, EachTypeGetsItsLayout) {
  const struct {
    const char* type;
    std::string text;
    std::vector<uint8_t> data;
  } cases[] = {
      {"REG_DWORD", "4", {4, 0, 0, 0}},
      {"reg_dword", "0x12345678", {0x78, 0x56, 0x34, 0x12}},
      {"REG_DWORD", "4294967295", {0xff, 0xff, 0xff, 0xff}},
      {"REG_DWORD", "0XfFfFfFfF", {0xff, 0xff, 0xff, 0xff}},
      {"REG_DWORD", "007", {7, 0, 0, 0}},
      {"REG_SZ", "COM3", bytes(std::string_view("COM3\0", 5))},
      {"REG_SZ", "", {0}},
      {"REG_BINARY", "01,02,ff", {1, 2, 0xff}},
      {"REG_BINARY", "0102FF", {1, 2, 0xff}},
      {"REG_BINARY", "1, 2", {1, 2}},
      {"REG_BINARY", "", {}},
      {"REG_MULTI_SZ", "a\\0bc", bytes(std::string_view("a\0bc\0\0", 6))},
      {"REG_MULTI_SZ", "a\\0bc\\0", bytes(std::string_view("a\0bc\0\0", 6))},
      {"REG_MULTI_SZ", "one", bytes(std::string_view("one\0\0", 5))},
      {"REG_MULTI_SZ", "", {0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_set_data(parse_set_type(c.type), c.text), c.data) << c.type << " " << c.text;
  }
}

TEST(RegSetData, BadInputIsRefusedWithAClearMessage) {
  const struct {
    const char* type;
    const char* text;
    const char* message;
  } cases[] = {
      {"REG_QWORD", "1", "unknown type \"REG_QWORD\": expected REG_DWORD, REG_SZ"},
      {"REG_EXPAND_SZ", "x", "unknown type"},
      {"", "1", "unknown type \"\""},
      {"REG_DWORD", "4294967296", "REG_DWORD data \"4294967296\" does not fit in 32 bits"},
      {"REG_DWORD", "0x100000000", "does not fit in 32 bits"},
      {"REG_DWORD", "-1", "bad REG_DWORD data \"-1\": expected a decimal or 0x-hex number"},
      {"REG_DWORD", "0x", "bad REG_DWORD data"},
      {"REG_DWORD", "12a", "bad REG_DWORD data"},
      {"REG_DWORD", "", "bad REG_DWORD data"},
      {"REG_DWORD", " 4", "bad REG_DWORD data"},
      {"REG_BINARY", "0g", "bad REG_BINARY data \"0g\": expected hex digits"},
      {"REG_BINARY", "012", "an odd number of hex digits"},
      {"REG_BINARY", "01,,02", "an empty byte"},
      {"REG_BINARY", "01,", "an empty byte"},
      {"REG_BINARY", "123,4", "expected bytes of two hex digits"},
      {"REG_MULTI_SZ", "a\\0\\0b", "an empty string would end the list"},
      {"REG_MULTI_SZ", "a\\0\\0", "an empty string would end the list"},
  };
  for (const auto& c : cases) {
    const std::string message =
        reg_error_of([&] { parse_set_data(parse_set_type(c.type), c.text); });
    EXPECT_NE(message.find(c.message), std::string::npos)
        << c.type << " " << c.text << " -> " << message;
  }
}

// A small store whose export shows each form once: the dword line for
// MaxPort, quoting, the default value, a wrapped hex(1) PortIp, and subkeys
// after their parent in name order.
TEST(RegExport, WritesTheUsualLayout) {
  Store s = Store::open(":memory:");
  s.set_value(kPortKey, "MaxPort", ValueType::REG_DWORD, Store::dword_data(4));
  s.set_value(kPortKey, "PortIp1", ValueType::REG_SZ, port_ip_data("192.0.2.1"));
  s.set_value(kPortKey, "", ValueType::REG_SZ, Store::sz_data("C:\\dir \"q\""));
  s.set_value(kPortKey, "Multi", ValueType::REG_MULTI_SZ, bytes(std::string_view("a\0b\0\0", 5)));
  s.set_value(kPortKey, "Bin", ValueType::REG_BINARY, {0x00, 0xff});
  s.set_value(kPortKey, "None", ValueType::REG_NONE, {});
  s.set_value(kPortKey, "Short", ValueType::REG_DWORD, {1, 2, 3});
  s.set_value(kPortKey, "Q", static_cast<ValueType>(11), {1, 0, 0, 0, 0, 0, 0, 0});
  s.create_key(kPortKey + "\\beta");
  s.create_key(kPortKey + "\\Alpha");
  EXPECT_EQ(export_reg(s, "hklm\\system\\currentcontrolset\\services\\veltoport"),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VELTOPORT]\n"
            "@=\"C:\\\\dir \\\"q\\\"\"\n"
            "\"Bin\"=hex:00,ff\n"
            "\"MaxPort\"=dword:00000004\n"
            "\"Multi\"=hex(7):61,00,62,00,00\n"
            "\"None\"=hex(0):\n"
            "\"PortIp1\"=hex(1):31,39,32,2e,30,2e,32,2e,31,00,00,00,00,00,00,00,00,00,00,00,\\\n"
            "  00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,\\\n"
            "  00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00\n"
            "\"Q\"=hex(b):01,00,00,00,00,00,00,00\n"
            "\"Short\"=hex(4):01,02,03\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VELTOPORT\\Alpha]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VELTOPORT\\beta]\n"
            "\n");
}

TEST(RegExport, MissingKeyIsAnError) {
  const Store s = Store::open(":memory:");
  EXPECT_EQ(reg_error_of([&] { export_reg(s, "HKLM\\Nope"); }), "key not found: HKLM\\Nope");
}

// Every kind of data the text has to carry, in names and keys that need
// quoting: after export and import into an empty store, both stores are
// equal byte for byte, and exporting again gives the same text.
TEST(RegRoundTrip, ExportThenImportIsByteExact) {
  std::vector<uint8_t> long_binary(300);
  for (size_t i = 0; i < long_binary.size(); ++i) long_binary[i] = static_cast<uint8_t>(i * 7);
  const std::vector<store::Value> values = {
      {"MaxPort", ValueType::REG_DWORD, Store::dword_data(0xfedcba98)},
      {"PortIp1", ValueType::REG_SZ, port_ip_data("192.0.2.1")},
      {"PortName", ValueType::REG_SZ, Store::sz_data("COM3")},
      {"", ValueType::REG_SZ, Store::sz_data("default")},
      {"quote\"back\\slash=;[x]", ValueType::REG_SZ, Store::sz_data("a\\\"b\"\\")},
      {"line", ValueType::REG_SZ, Store::sz_data("two\nlines\r")},
      {"no nul", ValueType::REG_SZ, bytes("text")},
      {"inner nul", ValueType::REG_SZ, bytes(std::string_view("a\0b\0", 4))},
      {"empty sz", ValueType::REG_SZ, {}},
      {"just nul", ValueType::REG_SZ, {0}},
      {"8bit \xe4\xff", ValueType::REG_SZ, bytes(std::string_view("\xfc\x80\0", 3))},
      {"Bin", ValueType::REG_BINARY, long_binary},
      {"EmptyBin", ValueType::REG_BINARY, {}},
      {"Short", ValueType::REG_DWORD, {1, 2, 3}},
      {"None", ValueType::REG_NONE, {0xde, 0xad}},
      {"Top", static_cast<ValueType>(0xffffffff), {1}},
      {"Multi", ValueType::REG_MULTI_SZ, bytes(std::string_view("a\0bc\0\0", 6))},
      {"Expand", ValueType::REG_EXPAND_SZ, Store::sz_data("%SystemRoot%\\x")},
  };
  Store a = Store::open(":memory:");
  for (const store::Value& v : values) a.set_value(kPortKey, v.name, v.type, v.data);
  for (const char* key : {"HKLM\\Empty", "HKLM\\a]b\\-dash", "HKLM\\sp ace\\;x", "HKLM\\X=y"}) {
    a.create_key(key);
  }
  const std::string text = export_reg(a, "HKLM");
  Store b = Store::open(":memory:");
  import_reg(b, text);
  EXPECT_EQ(dump(b), dump(a));
  EXPECT_EQ(export_reg(b, "HKLM"), text);
  import_reg(b, text);  // importing again changes nothing
  EXPECT_EQ(dump(b), dump(a));
}

TEST(RegImport, AcceptsTheUsualVariantsAndDeletes) {
  Store s = Store::open(":memory:");
  s.set_value("HKLM\\Old\\Sub", "x", ValueType::REG_DWORD, Store::dword_data(1));
  s.set_value("HKLM\\Keep", "gone", ValueType::REG_DWORD, Store::dword_data(2));
  s.set_value("HKLM\\Keep", "", ValueType::REG_DWORD, Store::dword_data(3));
  s.set_value("HKLM\\Keep", "stays", ValueType::REG_DWORD, Store::dword_data(4));
  const std::string text =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[-HKEY_LOCAL_MACHINE\\old]\r\n"
      "[HKLM\\keep]\r\n"
      "\"GONE\"=-\r\n"
      "@=-\r\n"
      "  \"Wrapped\" = hex:01,02,\\\r\n"
      "    FF,\\\r\n"
      "  0a\r\n"
      "\"D\"=dword:0000ABCD\r\n"
      "[\\REGISTRY\\MACHINE\\New\\Deep]\r\n";
  import_reg(s, text);
  EXPECT_EQ(dump(s),
            "HKLM\n"
            "HKLM\\Keep\n"
            "  \"D\" 4 cd,ab,00,00\n"
            "  \"stays\" 4 04,00,00,00\n"
            "  \"Wrapped\" 3 01,02,ff,0a\n"
            "HKLM\\New\n"
            "HKLM\\New\\Deep\n");
}

// Each bad text starts with good changes; the bad line comes later. The
// store must end up exactly as it was, and the message must name the line.
TEST(RegImport, AnyErrorLeavesTheStoreUnchanged) {
  const std::string good =
      "Windows Registry Editor Version 5.00\n"
      "[HKLM\\New]\n"
      "\"a\"=dword:00000001\n"
      "[-HKEY_LOCAL_MACHINE\\Old]\n"
      "[HKLM\\Keep]\n"
      "\"v\"=-\n";
  const std::string long_name(store::kMaxValueNameBytes + 1, 'n');
  const struct {
    std::string bad;
    std::string message;
  } cases[] = {
      {"\"b\"=hex:0g", "line 7: bad hex data \"0g\""},
      {"\"b\"=hex:01,02,", "line 7: bad hex data \"01,02,\": an empty byte"},
      {"\"b\"=dword:123456789", "line 7: dword: needs one to eight hex digits"},
      {"\"b\"=dword:", "line 7: dword: needs"},
      {"\"b\"=hex(100000000):00", "line 7: hex(N): needs"},
      {"\"b\"=hex(1:00", "line 7: hex(N): needs"},
      {"\"b\"=foo", "line 7: unknown value data"},
      {"\"b\"=\"unterminated", "line 7: a quoted string has no closing quote"},
      {"\"b\"=\"bad \\q escape\"", "line 7: a backslash in quotes must be followed by"},
      {"\"b\"=\"x\" trailing", "line 7: unexpected text after the closing quote"},
      {"\"b\" dword:00000001", "line 7: expected = after the value name"},
      {"@", "line 7: expected = after the value name"},
      {"[HKEY_CURRENT_USER\\x]", "line 7: bad key path \"HKEY_CURRENT_USER\\x\""},
      {"[HKLM\\a\\\\b]", "line 7: bad key path \"HKLM\\a\\\\b\": it has an empty name"},
      {"[HKLM\\a", "line 7: a key line must end with ]"},
      {"[-HKLM]", "line 7: HKEY_LOCAL_MACHINE itself cannot be deleted"},
      {"garbage", "line 7: expected [KEY]"},
      {"[-HKLM\\Keep]\n\"b\"=dword:00000001", "line 8: a value line outside a key section"},
      {"\"b\"=hex:01,\\", "line 7: the text ends inside a continued line"},
      // Passes parsing; the store refuses it while applying, mid-transaction.
      {"\"" + long_name + "\"=dword:00000001", "line 7: value name is longer than 16383 bytes"},
  };
  Store s = Store::open(":memory:");
  s.set_value("HKLM\\Old", "o", ValueType::REG_SZ, Store::sz_data("old"));
  s.set_value("HKLM\\Keep", "v", ValueType::REG_DWORD, Store::dword_data(9));
  const std::string before = dump(s);
  for (const auto& c : cases) {
    const std::string message = reg_error_of([&] { import_reg(s, good + c.bad + "\n"); });
    EXPECT_EQ(message.substr(0, c.message.size()), c.message) << c.bad.substr(0, 60);
    EXPECT_EQ(dump(s), before) << c.bad.substr(0, 60);
  }
  EXPECT_EQ(reg_error_of([&] { import_reg(s, "[HKLM\\x]\n"); }).substr(0, 7), "line 1:");
  EXPECT_EQ(reg_error_of([&] { import_reg(s, ""); }).substr(0, 7), "line 1:");
  import_reg(s, good);  // the good part alone applies
  EXPECT_NE(dump(s), before);
}

struct Step {
  std::vector<std::string> args;  // after --store
  int status;
  std::string out;  // exact stdout; "*" when not checked
  std::string err;  // exact stderr
  std::string in = "";
};

// Runs steps in order against one store file, in-process, checking each
// step's exit status and exact output.
void run_steps(const std::string& store, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    std::vector<std::string> args = {"velto-reg", "--store", store};
    args.insert(args.end(), step.args.begin(), step.args.end());
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::istringstream in(step.in);
    std::ostringstream out;
    std::ostringstream err;
    const int status = run(static_cast<int>(argv.size()), argv.data(), in, out, err);
    const std::string what = step.args.empty() ? "(none)" : step.args[0] + " " + step.args.back();
    EXPECT_EQ(status, step.status) << what;
    EXPECT_EQ(out.str(), step.out) << what;
    EXPECT_EQ(err.str(), step.err) << what;
  }
}

const std::string kMixedCaseKey = "hklm\\system\\currentcontrolset\\services\\veltoport";

TEST(RegCommands, SetGetListDelete) {
  const TempDir dir;
  const std::string k = kMixedCaseKey;
  run_steps((dir.path() / "store.db").string(),
            {
                {{"set", kPortKey, "MaxPort", "REG_DWORD", "4"}, 0, "", ""},
                {{"get", k, "maxport"}, 0, "0x00000004 (4)\n", ""},
                {{"set", k, "PortIp1", "REG_SZ", "192.0.2.1"}, 0, "", ""},
                {{"get", k, "PortIp1"}, 0, "192.0.2.1\n", ""},
                {{"set", k, "Multi", "REG_MULTI_SZ", "a\\0b"}, 0, "", ""},
                {{"get", k, "Multi"}, 0, "a\nb\n", ""},
                {{"set", k, "Bin", "reg_binary", "0102ff"}, 0, "", ""},
                {{"get", k, "Bin"}, 0, "01,02,ff\n", ""},
                {{"set", k + "\\Sub", "", "REG_SZ", "d"}, 0, "", ""},
                {{"list", k},
                 0,
                 "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VELTOPORT\n"
                 "    Bin    REG_BINARY    01,02,ff\n"
                 "    MaxPort    REG_DWORD    0x00000004 (4)\n"
                 "    Multi    REG_MULTI_SZ    a\\0b\n"
                 "    PortIp1    REG_SZ    192.0.2.1\n"
                 "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VELTOPORT\\Sub\n",
                 ""},
                {{"list", k + "\\sub"},
                 0,
                 "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VELTOPORT\\Sub\n"
                 "    (Default)    REG_SZ    d\n",
                 ""},
                {{"delete", k, "Bin"}, 0, "", ""},
                {{"get", k, "Bin"}, 1, "", "velto-reg: value \"Bin\" not found in " + k + "\n"},
                {{"delete", k + "\\SUB"}, 0, "", ""},
                {{"get", k + "\\Sub", ""}, 2, "", "velto-reg: key not found: " + k + "\\Sub\n"},
            });
}

TEST(RegCommands, ExportImportThroughFilesAndStdin) {
  const TempDir dir;
  const std::string k = kMixedCaseKey;
  const std::string reg_file = (dir.path() / "out.reg").string();
  const std::string none = (dir.path() / "none.reg").string();
  const std::string from_stdin =
      "Windows Registry Editor Version 5.00\n\n[" + kPortKey + "]\n\"In\"=dword:00000010\n";
  run_steps((dir.path() / "store.db").string(),
            {
                {{"set", k, "PortIp1", "REG_SZ", "192.0.2.1"}, 0, "", ""},
                {{"export", k, "-o", reg_file}, 0, "", ""},
                {{"delete", k}, 0, "", ""},
                {{"import", reg_file}, 0, "", ""},
                {{"get", k, "PortIp1"}, 0, "192.0.2.1\n", ""},
                {{"import", "-"}, 0, "", "", from_stdin},
                {{"get", k, "In"}, 0, "0x00000010 (16)\n", ""},
                {{"import", "-"},
                 2,
                 "",
                 "velto-reg: line 1: the text must start with \"Windows Registry Editor Version "
                 "5.00\"\n",
                 "junk\n"},
                {{"import", none},
                 2,
                 "",
                 "velto-reg: cannot read " + none + ": No such file or directory\n"},
            });
}

TEST(RegCommands, FailuresAreOneLineWithTheirStatus) {
  const TempDir dir;
  const std::string k = kMixedCaseKey;
  const std::string nope = "velto-reg: key not found: HKLM\\Nope\n";
  run_steps(
      (dir.path() / "store.db").string(),
      {
          {{"set", kPortKey, "v", "REG_DWORD", "1"}, 0, "", ""},
          {{"get", k, "Missing"}, 1, "", "velto-reg: value \"Missing\" not found in " + k + "\n"},
          {{"get", "HKLM\\Nope", ""}, 2, "", nope},
          {{"delete", k, ""}, 2, "", "velto-reg: value (default) not found in " + k + "\n"},
          {{"delete", "HKLM\\Nope"}, 2, "", nope},
          {{"list", "HKLM\\Nope"}, 2, "", nope},
          {{"export", "HKLM\\Nope"}, 2, "", nope},
          {{"set", k, "x", "REG_DWORD", "4294967296"},
           2,
           "",
           "velto-reg: REG_DWORD data \"4294967296\" does not fit in 32 bits\n"},
          {{"set", "HKCU\\x", "a", "REG_SZ", "b"},
           2,
           "",
           "velto-reg: bad key path \"HKCU\\x\": it must start with HKLM\\ or "
           "\\REGISTRY\\MACHINE\\\n"},
          {{"delete", "HKLM"}, 2, "", "velto-reg: HKLM itself cannot be deleted\n"},
          {{"bogus"}, 2, "", "velto-reg: unknown command \"bogus\"; see velto-reg --help\n"},
          {{"get", k}, 2, "", "velto-reg: NAME is required; see velto-reg --help\n"},
          {{}, 2, "", "velto-reg: A subcommand is required; see velto-reg --help\n"},
          {{"list", k},
           0,
           "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VELTOPORT\n"
           "    v    REG_DWORD    0x00000001 (1)\n",
           ""},
      });
}

TEST(RegCommands, HelpListsCommandsAndExitStatus) {
  for (const std::vector<const char*>& argv :
       {std::vector<const char*>{"velto-reg", "--help"},
        std::vector<const char*>{"velto-reg", "set", "--help"}}) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(run(static_cast<int>(argv.size()), argv.data(), in, out, err), 0);
    EXPECT_NE(out.str().find("Exit status: 0 done; 1 `get`"), std::string::npos) << out.str();
    EXPECT_EQ(err.str(), "");
  }
}

struct Result {
  int status;
  std::string out;
  std::string err;
};

// Runs the built program through the shell; args are single-quoted.
Result run_binary(const fs::path& dir, const std::vector<std::string>& args) {
  std::string cmd = std::string("'") + VELTO_REG_BINARY + "'";
  for (const std::string& a : args) cmd += " '" + a + "'";
  cmd += " >'" + (dir / "stdout").string() + "' 2>'" + (dir / "stderr").string() + "'";
  const int raw = std::system(cmd.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(dir / "stdout"),
          read_file(dir / "stderr")};
}

TEST(RegBinary, MaxPortExampleAndBadTypeExitStatus) {
  const TempDir dir;
  const std::string store = (dir.path() / "s" / "store.db").string();
  Result r =
      run_binary(dir.path(), {"--store", store, "set", kPortKey, "MaxPort", "REG_DWORD", "4"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = run_binary(dir.path(), {"--store", store, "export", kPortKey});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\n\"MaxPort\"=dword:00000004\n"), std::string::npos) << r.out;
  const std::string exported = r.out;

  r = run_binary(dir.path(), {"--store", store, "set", kPortKey, "MaxPort", "REG_QWORD", "5"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("velto-reg: unknown type \"REG_QWORD\"")) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  r = run_binary(dir.path(), {"--store", store, "export", kPortKey});
  EXPECT_EQ(r.out, exported);
}

}  // namespace
}  // namespace velto::reg
