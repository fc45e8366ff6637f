// Pseudo-terminals for the emulator's pty ports: opened non-blocking, the
// slave in raw mode so that the line discipline neither echoes nor edits
// what passes through.
#include "host/velto_devsim/pty_backing.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace velto::devsim {

std::unique_ptr<PtyBacking> PtyBacking::open(std::string* error) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    if (master >= 0) ::close(master);
    return nullptr;
  }
  char path[128];
  if (::ptsname_r(master, path, sizeof path) != 0) {
    *error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
    ::close(master);
    return nullptr;
  }
  const int slave = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios modes{};
  if (slave < 0 || ::tcgetattr(slave, &modes) != 0) {
    *error = std::string("cannot open ") + path + ": " + std::strerror(errno);
    if (slave >= 0) ::close(slave);
    ::close(master);
    return nullptr;
  }
  ::cfmakeraw(&modes);
  (void)::tcsetattr(slave, TCSANOW, &modes);
  return std::unique_ptr<PtyBacking>(new PtyBacking(master, slave, path));
}

PtyBacking::~PtyBacking() {
  ::close(slave_);
  ::close(master_);
}

void PtyBacking::write_serial(std::span<const uint8_t> bytes, deviceserver::SerialReturn&) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + written, bytes.size() - written);
    if (n > 0) {
      written += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  dropped_bytes_ += bytes.size() - written;
}

}  // namespace velto::devsim
