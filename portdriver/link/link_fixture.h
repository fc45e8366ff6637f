// A simulated host with the port driver loaded and device servers that the
// test plays by hand: it configures ports in the store, loads the driver,
// opens a port's link state as an open request would, and sends and
// collects datagrams at the servers' endpoints.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/store_layout.h"
#include "platform/sim/testing.h"
#include "portdriver/link/link.h"
#include "portdriver/serial/driver.h"

namespace velto::portdriver::testing {

using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kServerA = 0xC000020A;  // 192.0.2.10
inline constexpr uint32_t kServerB = 0xC000020B;  // 192.0.2.11

struct PortConfig {
  uint32_t server_ip;
  uint32_t start_num;  // 1-based server port; the link carries start_num - 1
};

class LinkFixture : public platform::sim::SimTest {
 protected:
  platform::sim::SimOptions options() override {
    return platform::sim::SimOptions{.preempt_probability = 0.0};
  }

  void TearDown() override {
    if (driver_) kernel().unload_driver(driver_);
    for (auto& [ip, address] : servers_) {
      kernel().close_transport_address(address);
      kernel().release_transport_address(address);
    }
    platform::sim::SimTest::TearDown();
  }

  // Stores the ports, loads the driver, lets the link come up, and opens an
  // endpoint for every server. Datagrams travel in 1 ms, in order.
  // A test whose servers are emulated passes play_servers = false.
  void start(const std::vector<PortConfig>& ports, bool play_servers = true) {
    const std::string key = "HKLM\\" + std::string(layout::kPortServiceKey);
    const auto dword = [&](const std::string& name, uint32_t v) {
      store().set_value(key, name, layout::ValueType::REG_DWORD, store::Store::dword_data(v));
    };
    dword("MaxPort", static_cast<uint32_t>(ports.size()));
    for (size_t k = 0; k < ports.size(); ++k) {
      dword("StartNum" + std::to_string(k + 1), ports[k].start_num);
      dword("dAddress" + std::to_string(k + 1), ports[k].server_ip);
      if (play_servers && ports[k].server_ip && !servers_.count(ports[k].server_ip)) {
        platform::TransportAddress* address = nullptr;
        ASSERT_EQ(kernel().open_endpoint(ports[k].server_ip, kLinkUdpPort, &address),
                  platform::STATUS_SUCCESS);
        servers_[ports[k].server_ip] = address;
      }
    }
    kernel().network().set_default_faults(
        {.latency_min_100ns = 10'000, .latency_max_100ns = 10'000, .tail_probability = 0});
    platform::NTSTATUS status = platform::STATUS_SUCCESS;
    driver_ = kernel().load_driver(u"Veltop", u"", DriverEntry, &status, kPoolTag);
    ASSERT_EQ(status, platform::STATUS_SUCCESS);
    settle();
  }

  // Lets every thread and DPC run, and datagrams land.
  void settle(int ms = 20) { (void)kernel().delay_execution_thread(platform::relative_ms(ms)); }

  DriverState& ds() { return driver_state(driver_); }
  PortExtension& port(uint32_t k) { return *ds().Ports[k]; }

  // What a successful open leaves behind: the ring bound, sequences at 1,
  // the link open.
  void open_link(uint32_t k) {
    ds().RxRing[k].Data = ds().RxStorage + size_t{k} * kRxRingBytes;
    ds().RxRing[k].ReadIndex = 0;
    ds().RxRing[k].WriteIndex = 0;
    ds().TxRing[k].Data = ds().TxStorage + size_t{k} * kTxRingBytes;
    ds().TxSeq[k] = 1;
    ds().RxSeq[k] = 1;
    port(k).PortState = PORT_OPEN | LINK_OPEN;
  }

  // The open request's handshake, as an application's open will run it:
  // bind the rings, queue OPEN, and poll for the server's reply, 11 attempts
  // of 50 ms plus 100 polls of 20 ms.
  bool handshake_open(uint32_t k) {
    open_link(k);
    port(k).PortState = PORT_OPEN;
    for (int attempt = 0; attempt < 11; ++attempt) {
      const uint8_t settings[kOpenPayloadBytes] = {};
      const platform::KIRQL irql = kernel().acquire_spin_lock(port(k).PortLock);
      QueueLinkMessage(ds(), k, LINK_MSG_OPEN, settings, kOpenPayloadBytes);
      kernel().release_spin_lock(port(k).PortLock, irql);
      settle(50);
      for (int poll = 0; poll < 100; ++poll) {
        if (port(k).PortState & LINK_OPEN) return true;
        settle(20);
      }
    }
    return false;
  }

  void send_to_host(uint32_t server, const Bytes& datagram) {
    ASSERT_EQ(kernel().send_datagram(servers_.at(server), kernel().network().host_ip(),
                                     kLinkUdpPort, datagram),
              platform::STATUS_SUCCESS);
    settle();
  }

  // Every datagram that reached the server so far.
  std::vector<Bytes> received_at(uint32_t server) {
    std::vector<Bytes> got;
    uint8_t buffer[600];
    for (int i = 0; i < 1000; ++i) {
      platform::ReceivedDatagram d;
      if (kernel().receive_datagram_until(servers_.at(server), buffer, &d, 0) !=
          platform::STATUS_SUCCESS) {
        break;
      }
      got.emplace_back(buffer, buffer + d.length);
    }
    return got;
  }

  Bytes ring_bytes(uint32_t k) {
    const RxRing& ring = ds().RxRing[k];
    Bytes bytes;
    for (int32_t i = ring.ReadIndex; i != ring.WriteIndex; i = (i + 1) % kRxRingBytes) {
      bytes.push_back(ring.Data[i]);
    }
    return bytes;
  }

  void drain_ring(uint32_t k) { ds().RxRing[k].ReadIndex = ds().RxRing[k].WriteIndex.load(); }

  DRIVER_OBJECT* driver_ = nullptr;
  std::map<uint32_t, platform::TransportAddress*> servers_;
};

// A datagram from header fields and a payload.
inline Bytes datagram(uint8_t type, uint8_t port, uint16_t length, uint8_t seq,
                      const Bytes& payload = {}) {
  Bytes d(kHeaderBytes);
  PacketHeader{type, port, PacketHeader::make_length_seq(length, seq)}.write(
      std::span<uint8_t, kHeaderBytes>(d.data(), kHeaderBytes));
  d.insert(d.end(), payload.begin(), payload.end());
  return d;
}

inline Bytes seq_data(uint8_t port, uint8_t seq, const Bytes& payload) {
  return datagram(LINK_MSG_SEQ_DATA, port, static_cast<uint16_t>(payload.size() + 4), seq, payload);
}

}  // namespace velto::portdriver::testing
