// The emulator's scripted control: one command per line (from standard input
// with --control) that sets faults on the device server core, makes it send
// what a test needs (a link-down, unsequenced data, serial input, modem
// lines) or reports its counters. Each command answers with one line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "deviceserver/device_server.h"

namespace velto::devsim {

struct ControlReply {
  std::string line;   // "ok ..." or "error: ..."
  bool quit = false;  // the command asked the emulator to stop
};

// Runs one command line on the server. Ports are numbered from 1.
ControlReply run_control_command(deviceserver::DeviceServer& server, std::string_view line,
                                 int64_t now_100ns);

// Text with \n, \r, \t, \\ and \xHH escapes as bytes; false on a bad escape.
bool unescape(std::string_view text, std::string* bytes);

// The commands and what they do, for --help.
extern const char kControlHelp[];

}  // namespace velto::devsim
