// The port driver's entry points and the routines its parts share across
// files. The kernel loads the driver through DriverEntry and removes it
// through the unload routine that DriverEntry installs.
#pragma once

#include "portdriver/serial/driver_state.h"

namespace velto::portdriver {

// Reads the configuration, creates one COM port device per configured port,
// allocates the shared buffers, starts the device link and arms the status
// timer. STATUS_SERIAL_NO_DEVICE_INITED when no port device exists; then
// nothing of the driver is left behind.
NTSTATUS DriverEntry(DRIVER_OBJECT* driver, const UNICODE_STRING* registry_path);
void DriverUnload(DRIVER_OBJECT* driver);

// --- configuration (config.cpp)
// "MaxPort", clamped to the port table. Context: passive.
int32_t ReadPortCount(DriverState& ds);
// The COM number of port 0 from the first child's "PortName". Context: passive.
int32_t ReadFirstComNumber(DriverState& ds);
// "StartNum" and "dAddress" of every port into RemotePort and ServerIp; runs
// at start-up and at every open. Context: passive.
void ReadPortConfiguration(DriverState& ds);

// --- ports and names (ports.cpp)
NTSTATUS CreatePorts(DriverState& ds);
enum class NamingAction { kCreate, kDelete };
// The DOS link "\DosDevices\COMn" and the SERIALCOMM value of a port.
NTSTATUS SetupPortNaming(PortExtension& port, NamingAction action);
void DeletePort(PortExtension& port);
void LogStartupError(DriverState& ds);

// --- periodic status (poll.cpp)
void PollPass(KDPC* dpc, void* context, void* arg1, void* arg2);

// --- the engines behind ReadDpc and WriteDpc (read.cpp, write.cpp)
void ReadArrival(KDPC* dpc, void* context, void* arg1, void* arg2);
void WriteStep(KDPC* dpc, void* context, void* arg1, void* arg2);

}  // namespace velto::portdriver
