// The link's UDP endpoint and its threads: the start-up thread retries until
// local port 519 opens, then starts the sender and one receiver per distinct
// device server address; unload ends them all before anything they use goes.
#include <optional>

#include "portdriver/link/link.h"

namespace velto::portdriver {

namespace {

// At system start the transport may not be there yet; without a pause the
// retries would spin a processor until it is.
constexpr int64_t kOpenRetryPause100ns = -1'000'000;  // 100 ms

// Distinct non-zero server addresses, in port order. There are at most
// PortCount of them, so the list has room for every one.
int32_t collect_servers(DriverState& ds, ReceiverSlot* slots) {
  int32_t count = 0;
  for (int32_t p = 0; p < ds.PortCount; ++p) {
    const uint32_t address = ds.ServerIp[p];
    if (address == 0) continue;
    bool seen = false;
    for (int32_t i = 0; i < count && !seen; ++i) seen = slots[i].ServerAddress == address;
    if (!seen) slots[count++].ServerAddress = address;
  }
  return count;
}

void start_receivers(DriverState& ds) {
  Kernel& kernel = *ds.kernel;
  const size_t bytes =
      sizeof(ReceiverSlot) * static_cast<size_t>(ds.PortCount > 0 ? ds.PortCount : 1);
  auto* slots = static_cast<ReceiverSlot*>(
      kernel.allocate_pool_with_tag(POOL_TYPE::NonPagedPool, bytes, kPoolTag));
  if (!slots) {
    kernel.debug_print("Veltop: no memory for the receiver list; the link receives nothing");
    return;
  }
  for (int32_t i = 0; i < ds.PortCount; ++i) new (&slots[i]) ReceiverSlot{.Driver = &ds};
  ds.Receivers = slots;
  ds.ServerCount = collect_servers(ds, slots);
  for (int32_t i = 0; i < ds.ServerCount; ++i) {
    if (!NT_SUCCESS(
            kernel.create_system_thread(ReceiverThread, &slots[i], "receiver", &slots[i].Thread))) {
      slots[i].Thread = nullptr;
    }
  }
}

}  // namespace

// Context: system thread, passive.
void LinkStartThread(void* context) {
  auto& ds = *static_cast<DriverState*>(context);
  for (int attempt = 0; ds.LinkNotReady == 1 && ds.StopLink == 0; ++attempt) {
    if (StartLink(ds) == 0) {
      if (attempt > 0) ds.kernel->debug_print("Veltop: the device link is up");
      return;
    }
    if (attempt == 0) ds.kernel->debug_print("Veltop: UDP port 519 cannot be opened yet; retrying");
    (void)ds.kernel->delay_execution_thread(kOpenRetryPause100ns);
  }
}

int StartLink(DriverState& ds) {
  Kernel& kernel = *ds.kernel;
  if (NT_SUCCESS(kernel.open_transport_address(kLinkUdpPort, &ds.TransportFile))) {
    ds.LinkNotReady = 0;
  }
  if (ds.LinkNotReady == 1) return 1;
  if (!NT_SUCCESS(
          kernel.create_system_thread(SenderThread, &ds, "sender", &ds.SenderThreadHandle))) {
    ds.SenderThreadHandle = nullptr;
    kernel.debug_print("Veltop: the sender thread did not start; nothing will be sent");
  }
  start_receivers(ds);
  return 0;
}

NTSTATUS SendDatagram(DriverState& ds, uint32_t address, uint16_t port,
                      std::span<const uint8_t> data) {
  if (!ds.TransportFile) return STATUS_INVALID_PARAMETER;
  return ds.kernel->send_datagram(ds.TransportFile, address, port, data);
}

NTSTATUS ReceiveDatagram(DriverState& ds, uint32_t address, uint16_t port,
                         std::span<uint8_t> buffer, ReceivedDatagram* received) {
  if (!ds.TransportFile) return STATUS_INVALID_PARAMETER;
  return ds.kernel->receive_datagram(ds.TransportFile, address, port, buffer, received);
}

namespace {

void join(Kernel& kernel, KTHREAD*& thread) {
  if (!thread) return;
  (void)kernel.wait_for_thread(thread, std::nullopt);
  kernel.close_thread(thread);
  thread = nullptr;
}

void free_list(DriverState& ds, LinkMessage* message) {
  while (message) {
    LinkMessage* next = message->Next;
    message->~LinkMessage();
    ds.kernel->free_pool(message);
    message = next;
  }
}

// Every link thread has ended: the lists are ours alone.
void free_queued_messages(DriverState& ds) {
  for (int32_t p = 0; p < kPortTableSize; ++p) {
    free_list(ds, ds.OutQueue[p]);
    ds.OutQueue[p] = nullptr;
    ds.OutQueueDepth[p] = 0;
  }
  free_list(ds, ds.FreeMessages);
  ds.FreeMessages = nullptr;
  ds.FreeMessageCount = 0;
}

}  // namespace

void StopLinkThreads(DriverState& ds) {
  Kernel& kernel = *ds.kernel;
  // The start-up thread first: once it has ended, no further link thread
  // can appear.
  join(kernel, ds.LinkStartThreadHandle);
  if (ds.SenderThreadHandle) kernel.set_event(ds.SenderWake, 16);
  if (ds.TransportFile) kernel.close_transport_address(ds.TransportFile);
  join(kernel, ds.SenderThreadHandle);
  for (int32_t i = 0; ds.Receivers && i < ds.ServerCount; ++i) join(kernel, ds.Receivers[i].Thread);
  if (ds.Receivers) kernel.free_pool(ds.Receivers);
  ds.Receivers = nullptr;
  ds.ServerCount = 0;
  free_queued_messages(ds);
  if (ds.TransportFile) kernel.release_transport_address(ds.TransportFile);
  ds.TransportFile = nullptr;
}

}  // namespace velto::portdriver
