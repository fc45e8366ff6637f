// The velto-reg commands. Arguments are checked before the store is opened,
// so a typing error never creates or touches a store; the store then does
// each change in one transaction. Every failure ends as one line
// "velto-reg: <message>" on stderr with exit status 2, except that `get`
// answers "no such value" (in a key that exists) with status 1 so scripts
// can test for a value without parsing messages.
#include "host/velto_reg/commands.h"

#include <fmt/format.h>
#include <fmt/ostream.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "host/velto_reg/reg_file.h"
#include "host/velto_reg/value_text.h"

namespace velto::reg {
namespace {

using store::Store;

// Import text is read whole before parsing; this bounds what one import can
// make the tool hold in memory.
constexpr size_t kMaxImportBytes = size_t{64} << 20;

constexpr const char* kFooter =
    "Keys: HKLM\\..., HKEY_LOCAL_MACHINE\\... or \\REGISTRY\\MACHINE\\..., in any case.\n"
    "NAME \"\" is the key's default value.\n"
    "Exit status: 0 done; 1 `get` found no such value in the key; 2 bad input, a missing key,\n"
    "a missing value for any other command, or a store that cannot be used (nothing is\n"
    "changed then).";

// `get` reports a missing value with its own exit status.
class NotFound : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Args {
  std::string store;
  std::string key;
  std::string name;
  std::string type;
  std::string data;
  std::string file;
  std::string output;
  CLI::Option* store_option = nullptr;
  CLI::Option* delete_name = nullptr;
  CLI::Option* export_key = nullptr;
  CLI::Option* export_output = nullptr;
};

Store open_store(const Args& a) {
  return Store::open(store::resolve_store_path(a.store_option->count() > 0 ? std::optional(a.store)
                                                                           : std::nullopt));
}

std::string quoted_name(std::string_view name) {
  return name.empty() ? "(default)" : fmt::format("\"{}\"", name);
}

int cmd_get(const Args& a, std::ostream& out) {
  const Store s = open_store(a);
  if (!s.key_exists(a.key)) throw RegError(fmt::format("key not found: {}", a.key));
  const std::optional<store::Value> v = s.get_value(a.key, a.name);
  if (!v) throw NotFound(fmt::format("value {} not found in {}", quoted_name(a.name), a.key));
  fmt::print(out, "{}\n", format_for_get(*v));
  return kExitOk;
}

int cmd_set(const Args& a) {
  const ValueType type = parse_set_type(a.type);
  std::vector<uint8_t> data = parse_set_data(type, a.data);
  store::parse_key_path(a.key);  // a bad path fails before the store is opened
  open_store(a).set_value(a.key, a.name, type, std::move(data));
  return kExitOk;
}

int cmd_delete(const Args& a) {
  store::parse_key_path(a.key);
  Store s = open_store(a);
  if (!s.key_exists(a.key)) throw RegError(fmt::format("key not found: {}", a.key));
  if (a.delete_name->count() == 0) {
    s.delete_key(a.key);
    return kExitOk;
  }
  if (!s.delete_value(a.key, a.name)) {
    throw RegError(fmt::format("value {} not found in {}", quoted_name(a.name), a.key));
  }
  return kExitOk;
}

int cmd_list(const Args& a, std::ostream& out) {
  const Store s = open_store(a);
  const std::optional<std::string> path = s.stored_key_path(a.key);
  if (!path) throw RegError(fmt::format("key not found: {}", a.key));
  const std::string full = path->empty() ? "HKLM" : "HKLM\\" + *path;
  fmt::print(out, "{}\n", full);
  for (const store::Value& v : s.list_values(full)) {
    const std::string name = v.name.empty() ? "(Default)" : v.name;
    fmt::print(out, "    {}    {}    {}\n", name, type_name(v.type), format_for_list(v));
  }
  for (const std::string& sub : s.list_subkeys(full)) fmt::print(out, "{}\\{}\n", full, sub);
  return kExitOk;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw RegError(fmt::format("cannot write {}: {}", path, std::strerror(errno)));
  f << text;
  f.close();
  if (!f) throw RegError(fmt::format("cannot write {}: {}", path, std::strerror(errno)));
}

int cmd_export(const Args& a, std::ostream& out) {
  const std::string key = a.export_key->count() > 0 ? a.key : "HKLM";
  store::parse_key_path(key);
  const std::string text = export_reg(open_store(a), key);
  if (a.export_output->count() == 0) {
    out << text;
    return kExitOk;
  }
  write_file(a.output, text);
  return kExitOk;
}

std::string read_input(const std::string& file, std::istream& in) {
  std::ifstream f;
  if (file != "-") {
    f.open(file, std::ios::binary);
    if (!f) throw RegError(fmt::format("cannot read {}: {}", file, std::strerror(errno)));
  }
  std::istream& src = file == "-" ? in : f;
  std::string text;
  char buf[1 << 16];
  while (src.read(buf, sizeof buf) || src.gcount() > 0) {
    text.append(buf, static_cast<size_t>(src.gcount()));
    if (text.size() > kMaxImportBytes)
      throw RegError(fmt::format("{} is larger than 64 MiB", file));
  }
  if (src.bad()) throw RegError(fmt::format("cannot read {}", file));
  return text;
}

int cmd_import(const Args& a, std::istream& in) {
  const std::string text = read_input(a.file, in);
  Store s = open_store(a);
  import_reg(s, text);
  return kExitOk;
}

void define_commands(CLI::App& app, Args& a) {
  a.store_option = app.add_option("--store", a.store,
                                  "Store file; default $VELTO_STORE, else "
                                  "$XDG_DATA_HOME/velto/store.db or ~/.local/share/velto/store.db")
                       ->type_name("PATH");
  app.require_subcommand(1, 1);
  app.fallthrough();
  app.footer(kFooter);
  CLI::App* get = app.add_subcommand("get", "Print the data of one value");
  get->add_option("KEY", a.key, "Key path")->required();
  get->add_option("NAME", a.name, "Value name")->required();
  CLI::App* set = app.add_subcommand("set", "Create or replace a value (and its key)");
  set->add_option("KEY", a.key, "Key path")->required();
  set->add_option("NAME", a.name, "Value name")->required();
  set->add_option("TYPE", a.type, "REG_DWORD, REG_SZ, REG_BINARY or REG_MULTI_SZ")->required();
  set->add_option("DATA", a.data,
                  "DWORD: decimal or 0x-hex; SZ: text; BINARY: hex bytes (01,02,ff or 0102ff); "
                  "MULTI_SZ: strings separated by \\0")
      ->required();
  CLI::App* del = app.add_subcommand("delete", "Delete a value, or a key with all below it");
  del->add_option("KEY", a.key, "Key path")->required();
  a.delete_name = del->add_option("NAME", a.name, "Value name; without it the key is deleted");
  CLI::App* list = app.add_subcommand("list", "List a key's values and subkeys");
  list->add_option("KEY", a.key, "Key path")->required();
  CLI::App* exp = app.add_subcommand("export", "Write a key and all below it as registry text");
  a.export_key = exp->add_option("KEY", a.key, "Key path; without it the whole store");
  a.export_output = exp->add_option("-o,--output", a.output, "Write to this file, not stdout");
  CLI::App* imp = app.add_subcommand("import", "Apply registry text, all of it or nothing");
  imp->add_option("FILE", a.file, "Registry text file; - for stdin")->required();
}

int dispatch(const CLI::App& app, const Args& a, std::istream& in, std::ostream& out) {
  const std::string command = app.get_subcommands().at(0)->get_name();
  if (command == "get") return cmd_get(a, out);
  if (command == "set") return cmd_set(a);
  if (command == "delete") return cmd_delete(a);
  if (command == "list") return cmd_list(a, out);
  if (command == "export") return cmd_export(a, out);
  return cmd_import(a, in);
}

// Messages may quote user text; the report stays one line whatever it holds.
int report(std::ostream& err, std::string message, int status) {
  for (char& c : message) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  fmt::print(err, "velto-reg: {}\n", message);
  return status;
}

}  // namespace

int run(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err) {
  CLI::App app("Reads and writes the configuration store.", "velto-reg");
  Args args;
  try {
    define_commands(app, args);
    app.parse(argc, argv);
    return dispatch(app, args, in, out);
  } catch (const CLI::Success& e) {
    return app.exit(e, out, err);
  } catch (const CLI::ParseError& e) {
    const std::vector<std::string> rest = app.remaining();
    if (app.get_subcommands().empty() && !rest.empty()) {
      return report(err, fmt::format("unknown command \"{}\"; see velto-reg --help", rest.front()),
                    kExitError);
    }
    return report(err, fmt::format("{}; see velto-reg --help", e.what()), kExitError);
  } catch (const NotFound& e) {
    return report(err, e.what(), kExitNotFound);
  } catch (const std::exception& e) {
    return report(err, e.what(), kExitError);
  }
}

}  // namespace velto::reg
