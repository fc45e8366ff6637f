// The simulated UDP network: endpoints known by IPv4 address and port, and
// links between addresses with latency, loss, duplication, reordering and
// partitions, all drawn from the seed's network stream. It is plain state:
// the simulation kernel calls it with its runtime lock held, turns each
// planned delivery into a deadline, and wakes receivers when one lands.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/sim/random.h"

namespace velto::platform::sim {

struct LinkFaults {
  double loss = 0;                        // probability that a datagram is lost
  double duplicate = 0;                   // probability that it arrives twice
  double reorder = 0;                     // probability that it is held back behind later ones
  double send_failure = 0;                // probability that the sender's transport refuses it
  int64_t latency_min_100ns = 1'000;      // 100 us
  int64_t latency_max_100ns = 20'000;     // 2 ms
  double tail_probability = 0.01;         // now and then a much slower one
  int64_t tail_latency_100ns = 500'000;   // 50 ms
  int64_t reorder_delay_100ns = 100'000;  // how far a held-back datagram falls behind
};

struct NetworkCounters {
  uint64_t sent = 0;
  uint64_t send_failures = 0;
  uint64_t delivered = 0;
  uint64_t lost = 0;
  uint64_t duplicated = 0;
  uint64_t reordered = 0;
  uint64_t partitioned = 0;
  uint64_t dropped_queue_full = 0;
  uint64_t dropped_no_endpoint = 0;
};

struct Datagram {
  uint32_t source_ip = 0;
  uint16_t source_port = 0;
  std::vector<uint8_t> bytes;
};

struct Endpoint {
  uint64_t id = 0;
  uint32_t ip = 0;  // 0: every address of the host
  uint16_t port = 0;
  bool closed = false;
  std::deque<Datagram> queue;  // bounded by SimNetwork::kQueueLimit
};

class SimNetwork {
 public:
  static constexpr size_t kQueueLimit = 256;

  explicit SimNetwork(uint32_t host_ip) : host_ip_(host_ip) {}

  // Configuration, from the test.
  void set_default_faults(const LinkFaults& faults) { default_faults_ = faults; }
  // Faults of the direction from -> to; an address of 0 stands for the host.
  void set_link_faults(uint32_t from_ip, uint32_t to_ip, const LinkFaults& faults);
  // Drops everything between a and b, both ways, until the virtual time.
  void partition(uint32_t a_ip, uint32_t b_ip, int64_t until_100ns);
  void heal();
  // While false, opening a host transport address fails (the transport has
  // not started yet).
  void set_transport_available(bool available) { transport_available_ = available; }
  bool transport_available() const { return transport_available_; }
  const NetworkCounters& counters() const { return counters_; }
  uint32_t host_ip() const { return host_ip_; }

  // For the kernel, under its runtime lock.
  Endpoint* bind(uint32_t ip, uint16_t port);
  void unbind(Endpoint* endpoint);
  void release(Endpoint* endpoint);
  // The source address a datagram from this endpoint carries.
  uint32_t source_ip(const Endpoint& endpoint) const {
    return endpoint.ip ? endpoint.ip : host_ip_;
  }
  struct Delivery {
    int64_t delay_100ns;
    uint64_t id;
  };
  // Decides the fate of one datagram: none, one or two deliveries. Returns
  // std::nullopt when the sender's transport refuses the send.
  std::optional<std::vector<Delivery>> plan_send(const Endpoint& from, uint32_t to_ip,
                                                 uint16_t to_port, std::vector<uint8_t> bytes,
                                                 int64_t now_100ns, Random& random);
  // Lands a planned delivery; the endpoint that queued it, or nullptr.
  Endpoint* deliver(uint64_t delivery_id);

 private:
  struct InFlight {
    uint32_t to_ip;
    uint16_t to_port;
    Datagram datagram;
  };
  const LinkFaults& faults_for(uint32_t from_ip, uint32_t to_ip) const;
  bool partitioned(uint32_t a_ip, uint32_t b_ip, int64_t now_100ns) const;
  int64_t draw_latency(const LinkFaults& faults, Random& random) const;
  Endpoint* find_endpoint(uint32_t ip, uint16_t port);

  const uint32_t host_ip_;
  bool transport_available_ = true;
  LinkFaults default_faults_;
  std::map<std::pair<uint32_t, uint32_t>, LinkFaults> link_faults_;
  std::map<std::pair<uint32_t, uint32_t>, int64_t> partitions_;  // (low, high) -> until
  std::map<uint64_t, std::unique_ptr<Endpoint>> endpoints_;      // by id
  std::map<uint64_t, InFlight> in_flight_;                       // by delivery id
  uint64_t next_endpoint_id_ = 1;
  uint64_t next_delivery_id_ = 1;
  NetworkCounters counters_;
};

}  // namespace velto::platform::sim
