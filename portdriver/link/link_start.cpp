// The device link's start-up and shutdown. Start-up will open the UDP
// endpoint on port 519 and start the sender and the receivers; until the
// link exists, the start-up thread ends at once, and shutdown only waits
// for it.
#include "portdriver/serial/driver.h"

namespace velto::portdriver {

// Context: system thread, passive.
void LinkStartThread(void*) {}

// Context: passive (unload). Waits for every link thread to end.
void StopLinkThreads(DriverState& ds) {
  if (!ds.LinkStartThreadHandle) return;
  (void)ds.kernel->wait_for_thread(ds.LinkStartThreadHandle, std::nullopt);
  ds.kernel->close_thread(ds.LinkStartThreadHandle);
  ds.LinkStartThreadHandle = nullptr;
}

}  // namespace velto::portdriver
