// The published serial records that applications exchange with a serial
// port driver: timeouts, special characters and handshake settings.
#pragma once

#include <cstdint>

namespace velto::portdriver {

// All five in milliseconds; MAXULONG has its special meanings for reads.
struct SERIAL_TIMEOUTS {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

struct SERIAL_CHARS {
  uint8_t EofChar = 0;
  uint8_t ErrorChar = 0;
  uint8_t BreakChar = 0;
  uint8_t EventChar = 0;
  uint8_t XonChar = 0;
  uint8_t XoffChar = 0;
};

struct SERIAL_HANDFLOW {
  uint32_t ControlHandShake = 0;
  uint32_t FlowReplace = 0;
  int32_t XonLimit = 0;
  int32_t XoffLimit = 0;
};

inline constexpr uint32_t MAXULONG = 0xFFFFFFFF;

}  // namespace velto::portdriver
