// A serial port of the emulator backed by a pseudo-terminal: what the host
// writes comes out of the slave (e.g. /dev/pts/7) for a program on the
// device side to read, and what that program writes to the slave goes to
// the host as serial input. The runner reads the master; this class writes
// it and owns both ends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "deviceserver/device_server.h"

namespace velto::devsim {

class PtyBacking final : public deviceserver::PortBacking {
 public:
  // A new pseudo-terminal in raw mode, or nullptr with *error set.
  static std::unique_ptr<PtyBacking> open(std::string* error);
  ~PtyBacking() override;
  PtyBacking(const PtyBacking&) = delete;
  PtyBacking& operator=(const PtyBacking&) = delete;

  std::string_view kind() const override { return "pty"; }
  std::string location() const override { return slave_path_; }
  // A serial line has no room to wait: what the pty cannot take now (no one
  // reads the slave and its buffer is full) is dropped and counted.
  void write_serial(std::span<const uint8_t> bytes, deviceserver::SerialReturn& line) override;

  int master_fd() const { return master_; }
  uint64_t dropped_bytes() const { return dropped_bytes_; }

 private:
  PtyBacking(int master, int slave, std::string slave_path)
      : master_(master), slave_(slave), slave_path_(std::move(slave_path)) {}

  const int master_;
  // Held open so that the master never reads as hung up while no program
  // has the slave open.
  const int slave_;
  const std::string slave_path_;
  uint64_t dropped_bytes_ = 0;
};

}  // namespace velto::devsim
