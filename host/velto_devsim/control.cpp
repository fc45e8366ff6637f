// The control commands as a table: name, arguments and handler. A line is
// split into the command word, its numbers and, for the commands that send
// bytes, the rest of the line as text with escapes. Anything a user types
// wrong is answered with "error: ..." and changes nothing.
#include "host/velto_devsim/control.h"

#include <array>
#include <charconv>
#include <string>

namespace velto::devsim {

using deviceserver::DeviceServer;
using deviceserver::SendFaultKind;

const char kControlHelp[] =
    R"(Control commands (--control: one per line on standard input; each answers
one line, "ok ..." or "error: ..."; PORT counts from 1 like --serial):
  drop N                 drop the next N datagrams the emulator sends
  duplicate N            send each of the next N datagrams twice
  delay N MS             hold each of the next N datagrams for MS milliseconds
  drop-received N        ignore the next N datagrams the emulator receives
  silent                 stop answering: ignore everything, send nothing
  answer                 answer again (resends resume)
  link-down PORT         send LINK_DOWN for an open port
  unsequenced PORT TEXT  send TEXT as unsequenced device data (1..508 bytes)
  input PORT TEXT        TEXT arrives on the serial line of an open port
  modem PORT LINES       set the device's lines (CTS 0x10, DSR 0x20, RI 0x40,
                         DCD 0x80) and report them to the host
  status                 the counters, and which ports are open
  quit                   stop the emulator
Numbers are decimal or 0x hex. TEXT may use \n \r \t \\ and \xHH.)";

namespace {

constexpr int kNumbersMax = 2;

struct Call {
  DeviceServer& server;
  int64_t now_100ns;
  std::array<uint64_t, kNumbersMax> numbers{};
  std::string text;
};

struct Command {
  std::string_view name;
  std::string_view arguments;  // for error messages
  int numbers;                 // how many numbers follow the name
  bool text;                   // the rest of the line is text
  ControlReply (*run)(Call& call);
};

ControlReply ok(std::string detail = {}) {
  return {detail.empty() ? "ok" : "ok " + detail};
}

ControlReply error(std::string message) {
  return {"error: " + message};
}

ControlReply send_fault(Call& call, SendFaultKind kind) {
  call.server.set_send_fault({.kind = kind,
                              .count = static_cast<uint32_t>(call.numbers[0]),
                              .delay_100ns = static_cast<int64_t>(call.numbers[1]) * 10'000});
  return ok();
}

// The 0-based index of a 1-based port number, or -1 past the port count.
int port_index(const Call& call) {
  const uint64_t port = call.numbers[0];
  return port >= 1 && port <= static_cast<uint64_t>(call.server.port_count())
             ? static_cast<int>(port - 1)
             : -1;
}

std::span<const uint8_t> text_bytes(const Call& call) {
  return {reinterpret_cast<const uint8_t*>(call.text.data()), call.text.size()};
}

std::string counters_line(const DeviceServer& server) {
  const auto& c = server.counters();
  std::string open;
  for (int port = 0; port < server.port_count(); ++port) {
    if (!server.port_status(port).open) continue;
    open += (open.empty() ? "" : ",") + std::to_string(port + 1);
  }
  return "received=" + std::to_string(c.received) + " sent=" + std::to_string(c.sent) +
         " resent=" + std::to_string(c.resent) + " duplicates=" + std::to_string(c.duplicates) +
         " dropped_by_script=" + std::to_string(c.dropped_by_script) +
         " duplicated_by_script=" + std::to_string(c.duplicated_by_script) +
         " delayed_by_script=" + std::to_string(c.delayed_by_script) +
         " malformed=" + std::to_string(c.malformed) +
         " input_discarded=" + std::to_string(c.input_discarded) +
         " silent=" + (server.silent() ? "yes" : "no") + " open=" + (open.empty() ? "none" : open);
}

ControlReply with_port(Call& call, ControlReply (*then)(Call&, int)) {
  const int port = port_index(call);
  if (port < 0) {
    return error("no port " + std::to_string(call.numbers[0]) + " (ports 1.." +
                 std::to_string(call.server.port_count()) + ")");
  }
  return then(call, port);
}

const Command kCommands[] = {
    {"drop", "N", 1, false, [](Call& c) { return send_fault(c, SendFaultKind::kDrop); }},
    {"duplicate", "N", 1, false, [](Call& c) { return send_fault(c, SendFaultKind::kDuplicate); }},
    {"delay", "N MS", 2, false, [](Call& c) { return send_fault(c, SendFaultKind::kDelay); }},
    {"drop-received", "N", 1, false,
     [](Call& c) {
       c.server.drop_received(static_cast<uint32_t>(c.numbers[0]));
       return ok();
     }},
    {"silent", "", 0, false,
     [](Call& c) {
       c.server.set_silent(true);
       return ok();
     }},
    {"answer", "", 0, false,
     [](Call& c) {
       c.server.set_silent(false);
       return ok();
     }},
    {"link-down", "PORT", 1, false,
     [](Call& c) {
       return with_port(c, [](Call& c, int port) {
         return c.server.send_link_down(port, c.now_100ns) ? ok() : error("the port is not open");
       });
     }},
    {"unsequenced", "PORT TEXT", 1, true,
     [](Call& c) {
       return with_port(c, [](Call& c, int port) {
         return c.server.send_unsequenced(port, text_bytes(c), c.now_100ns)
                    ? ok()
                    : error("the port is not open, or the text is not 1..508 bytes");
       });
     }},
    {"input", "PORT TEXT", 1, true,
     [](Call& c) {
       return with_port(c, [](Call& c, int port) {
         if (!c.server.port_status(port).open) return error("the port is not open");
         const size_t taken = c.server.serial_input(port, text_bytes(c), c.now_100ns);
         return ok(std::to_string(taken) + " bytes");
       });
     }},
    {"modem", "PORT LINES", 2, false,
     [](Call& c) {
       return with_port(c, [](Call& c, int port) {
         c.server.set_modem_inputs(port, static_cast<uint8_t>(c.numbers[1]), c.now_100ns);
         return ok();
       });
     }},
    {"status", "", 0, false, [](Call& c) { return ok(counters_line(c.server)); }},
    {"quit", "", 0, false,
     [](Call&) {
       return ControlReply{"ok", true};
     }},
};

std::string_view next_word(std::string_view& rest) {
  const size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  const size_t end = std::min(rest.find(' '), rest.size());
  const std::string_view word = rest.substr(0, end);
  rest.remove_prefix(end);
  return word;
}

bool parse_number(std::string_view word, uint64_t* value) {
  int base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    word.remove_prefix(2);
    base = 16;
  }
  const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), *value, base);
  return ec == std::errc() && end == word.data() + word.size() && *value <= 0xFFFFFFFFu;
}

}  // namespace

bool unescape(std::string_view text, std::string* bytes) {
  bytes->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes->push_back(text[i]);
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case 'n':
        bytes->push_back('\n');
        break;
      case 'r':
        bytes->push_back('\r');
        break;
      case 't':
        bytes->push_back('\t');
        break;
      case '\\':
        bytes->push_back('\\');
        break;
      case 'x': {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(
            text.data() + i + 1, text.data() + std::min(i + 3, text.size()), value, 16);
        if (ec != std::errc() || end != text.data() + i + 3) return false;
        bytes->push_back(static_cast<char>(value));
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

ControlReply run_control_command(DeviceServer& server, std::string_view line, int64_t now_100ns) {
  std::string_view rest = line;
  const std::string_view name = next_word(rest);
  const Command* command = nullptr;
  for (const Command& c : kCommands) {
    if (c.name == name) command = &c;
  }
  if (!command) return error("unknown command '" + std::string(name) + "'");
  const std::string usage = "usage: " + std::string(command->name) +
                            (command->arguments.empty() ? "" : " ") +
                            std::string(command->arguments);
  Call call{server, now_100ns};
  for (int i = 0; i < command->numbers; ++i) {
    if (!parse_number(next_word(rest), &call.numbers[i])) return error(usage);
  }
  if (command->text) {
    if (!rest.empty()) rest.remove_prefix(1);  // the one space before the text
    if (!unescape(rest, &call.text)) return error("bad escape in the text");
  } else if (!next_word(rest).empty()) {
    return error(usage);
  }
  return command->run(call);
}

}  // namespace velto::devsim
