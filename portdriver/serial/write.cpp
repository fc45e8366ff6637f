// The write engine: moves a write request's bytes into the TxRing in
// acknowledged chunks of up to 128 bytes. The link queues WriteDpc when a
// chunk is acknowledged or must be resent; until writes are served, no chunk
// is ever in flight.
#include "portdriver/serial/driver.h"

namespace velto::portdriver {

// Context: DPC. Locks: none. Blocks: never.
void WriteStep(KDPC*, void*, void*, void*) {}

}  // namespace velto::portdriver
