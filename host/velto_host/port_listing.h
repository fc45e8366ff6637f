// The port table that velto-host prints: for each port device of the port
// driver, its device name, its DOS name and its SERIALCOMM value.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel/kernel_base.h"
#include "platform/store/store.h"

namespace velto::host {

// One line per port, in port order: "\Device\vcserial0  \DosDevices\COM3  COM3".
// A port without a DOS name or value shows "-" in its place. The store is
// read through its own connection, not the kernel's.
std::vector<std::string> list_ports(platform::KernelBase& kernel, platform::DRIVER_OBJECT& driver,
                                    const store::Store& registry);

}  // namespace velto::host
