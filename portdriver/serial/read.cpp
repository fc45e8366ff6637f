// The read engine: moves bytes from a port's RxRing into the current read
// request under the serial timeout rules. The link queues ReadDpc whenever
// data arrives; until reads are served, the bytes wait in the ring.
#include "portdriver/serial/driver.h"

namespace velto::portdriver {

// Context: DPC. Locks: none. Blocks: never.
void ReadArrival(KDPC*, void*, void*, void*) {}

}  // namespace velto::portdriver
