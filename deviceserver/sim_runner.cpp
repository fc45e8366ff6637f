// The device server on the simulated network: a receive thread that feeds
// datagrams to the core, and a send thread that drains the core's outbox
// and sleeps until the core's next deadline or until the core wakes it.
#include "deviceserver/sim_runner.h"

#include <algorithm>

#include "deviceserver/check.h"

namespace velto::deviceserver {

using platform::NTSTATUS;
using platform::STATUS_SUCCESS;

SimRunner::SimRunner(platform::sim::SimKernel& kernel, DeviceServerOptions options, uint32_t ip,
                     uint16_t udp_port)
    : kernel_(kernel), server_(std::move(options)), ip_(ip), udp_port_(udp_port) {
  kernel_.initialize_event(wake_, platform::EVENT_TYPE::SynchronizationEvent, false,
                           "device server output");
}

SimRunner::~SimRunner() {
  if (running_) stop();
}

NTSTATUS SimRunner::start() {
  DEVSIM_CHECK(!running_, "a server starts once");
  NTSTATUS status = kernel_.open_endpoint(ip_, udp_port_, &address_);
  if (!NT_SUCCESS(status)) return status;
  server_.set_wake_hook(&SimRunner::wake, this);
  stopping_ = false;
  status = kernel_.create_system_thread(&SimRunner::receive_thread, this, "device server rx",
                                        &receiver_);
  if (NT_SUCCESS(status)) {
    status =
        kernel_.create_system_thread(&SimRunner::send_thread, this, "device server tx", &sender_);
  }
  running_ = true;
  if (!NT_SUCCESS(status)) stop();
  return status;
}

// The receive thread ends when the closed endpoint fails its receive, the
// send thread when it wakes and finds stopping_ set.
void SimRunner::stop() {
  DEVSIM_CHECK(running_, "only a started server stops");
  stopping_ = true;
  server_.set_wake_hook(nullptr, nullptr);
  kernel_.close_transport_address(address_);
  (void)kernel_.set_event(wake_, platform::IO_NO_INCREMENT);
  for (platform::KTHREAD** thread : {&receiver_, &sender_}) {
    if (!*thread) continue;
    (void)kernel_.wait_for_thread(*thread, std::nullopt);
    kernel_.close_thread(*thread);
    *thread = nullptr;
  }
  kernel_.release_transport_address(address_);
  address_ = nullptr;
  running_ = false;
}

void SimRunner::receive_thread(void* context) {
  static_cast<SimRunner*>(context)->receive_loop();
}

void SimRunner::send_thread(void* context) {
  static_cast<SimRunner*>(context)->send_loop();
}

void SimRunner::wake(void* context) {
  auto* runner = static_cast<SimRunner*>(context);
  (void)runner->kernel_.set_event(runner->wake_, platform::IO_NO_INCREMENT);
}

// Runs until stop() closes the endpoint. A datagram longer than the largest
// the link uses is truncated, which the core then sees as malformed or
// takes by its header's length.
void SimRunner::receive_loop() {
  while (!stopping_) {
    platform::ReceivedDatagram received;
    const NTSTATUS status =
        kernel_.receive_datagram_until(address_, receive_buffer_, &received, std::nullopt);
    if (!NT_SUCCESS(status)) return;
    server_.receive({received.sender_ip, received.sender_port},
                    std::span(receive_buffer_, received.length), kernel_.query_system_time());
  }
}

// The event is auto-reset and the core sets it after any call that left
// output or moved the deadline, so a change made between computing the
// timeout and waiting is not lost: the wait returns at once.
void SimRunner::send_loop() {
  while (!stopping_) {
    drain_outbox();
    const auto due = server_.next_deadline_100ns();
    std::optional<int64_t> timeout;
    if (due) timeout = -std::max<int64_t>(0, *due - kernel_.query_system_time());
    (void)kernel_.wait_for_single_object(wake_, timeout);
    if (stopping_) return;
    server_.tick(kernel_.query_system_time());
  }
}

void SimRunner::drain_outbox() {
  while (!stopping_ && server_.pop_outbound(outbound_)) {
    const NTSTATUS status =
        kernel_.send_datagram(address_, outbound_.to.ip, outbound_.to.port, outbound_.datagram());
    if (!NT_SUCCESS(status)) ++send_failures_;
  }
}

}  // namespace velto::deviceserver
