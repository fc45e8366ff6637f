// The periodic status pass: 20 ms after start-up, then every 30 ms. It will
// turn modem-line changes into serial events for pending waits; for now it
// only keeps its own schedule, which unload must be able to stop.
#include "portdriver/serial/driver.h"

namespace velto::portdriver {

namespace {
constexpr int64_t kPollPeriod100ns = -300'000;  // 30 ms
}  // namespace

// Context: DPC. Locks: none. Blocks: never.
void PollPass(KDPC*, void* context, void*, void*) {
  auto& ds = *static_cast<DriverState*>(context);
  if (ds.PollStopping) return;
  (void)ds.kernel->set_timer(ds.PollTimer, kPollPeriod100ns, &ds.PollDpc);
}

}  // namespace velto::portdriver
