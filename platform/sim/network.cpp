// The simulated network's state: endpoints, link faults and datagrams in
// flight. Every random draw comes from the caller's network stream, in a
// fixed order per send, so a seed replays the same losses and delays.
#include "platform/sim/network.h"

#include <algorithm>

namespace velto::platform::sim {

namespace {
std::pair<uint32_t, uint32_t> ordered(uint32_t a, uint32_t b) {
  return {std::min(a, b), std::max(a, b)};
}
}  // namespace

void SimNetwork::set_link_faults(uint32_t from_ip, uint32_t to_ip, const LinkFaults& faults) {
  link_faults_[{from_ip ? from_ip : host_ip_, to_ip ? to_ip : host_ip_}] = faults;
}

void SimNetwork::partition(uint32_t a_ip, uint32_t b_ip, int64_t until_100ns) {
  partitions_[ordered(a_ip ? a_ip : host_ip_, b_ip ? b_ip : host_ip_)] = until_100ns;
}

void SimNetwork::heal() {
  partitions_.clear();
  link_faults_.clear();
  default_faults_ = LinkFaults{};
}

const LinkFaults& SimNetwork::faults_for(uint32_t from_ip, uint32_t to_ip) const {
  auto it = link_faults_.find({from_ip, to_ip});
  return it == link_faults_.end() ? default_faults_ : it->second;
}

bool SimNetwork::partitioned(uint32_t a_ip, uint32_t b_ip, int64_t now_100ns) const {
  auto it = partitions_.find(ordered(a_ip, b_ip));
  return it != partitions_.end() && now_100ns < it->second;
}

int64_t SimNetwork::draw_latency(const LinkFaults& faults, Random& random) const {
  const int64_t base = random.between(faults.latency_min_100ns,
                                      std::max(faults.latency_min_100ns, faults.latency_max_100ns));
  return random.chance(faults.tail_probability) ? base + faults.tail_latency_100ns : base;
}

Endpoint* SimNetwork::bind(uint32_t ip, uint16_t port) {
  for (const auto& [id, e] : endpoints_) {
    if (!e->closed && e->ip == ip && e->port == port) return nullptr;
  }
  auto endpoint = std::make_unique<Endpoint>();
  endpoint->id = next_endpoint_id_++;
  endpoint->ip = ip;
  endpoint->port = port;
  Endpoint* raw = endpoint.get();
  endpoints_.emplace(raw->id, std::move(endpoint));
  return raw;
}

void SimNetwork::unbind(Endpoint* endpoint) {
  endpoint->closed = true;
  endpoint->queue.clear();
}

void SimNetwork::release(Endpoint* endpoint) {
  endpoints_.erase(endpoint->id);
}

Endpoint* SimNetwork::find_endpoint(uint32_t ip, uint16_t port) {
  Endpoint* wildcard = nullptr;
  for (const auto& [id, e] : endpoints_) {
    if (e->closed || e->port != port) continue;
    if (e->ip == ip) return e.get();
    if (e->ip == 0 && ip == host_ip_) wildcard = e.get();
  }
  return wildcard;
}

std::optional<std::vector<SimNetwork::Delivery>> SimNetwork::plan_send(
    const Endpoint& from, uint32_t to_ip, uint16_t to_port, std::vector<uint8_t> bytes,
    int64_t now_100ns, Random& random) {
  const uint32_t source = source_ip(from);
  const LinkFaults& faults = faults_for(source, to_ip);
  if (random.chance(faults.send_failure)) {
    ++counters_.send_failures;
    return std::nullopt;
  }
  ++counters_.sent;
  std::vector<Delivery> deliveries;
  if (partitioned(source, to_ip, now_100ns)) {
    ++counters_.partitioned;
    return deliveries;
  }
  if (random.chance(faults.loss)) {
    ++counters_.lost;
    return deliveries;
  }
  const int copies = random.chance(faults.duplicate) ? 2 : 1;
  if (copies == 2) ++counters_.duplicated;
  for (int copy = 0; copy < copies; ++copy) {
    int64_t delay = draw_latency(faults, random);
    if (random.chance(faults.reorder)) {
      ++counters_.reordered;
      delay += faults.reorder_delay_100ns;
    }
    const uint64_t id = next_delivery_id_++;
    in_flight_.emplace(id, InFlight{to_ip, to_port, Datagram{source, from.port, bytes}});
    deliveries.push_back({delay, id});
  }
  return deliveries;
}

Endpoint* SimNetwork::deliver(uint64_t delivery_id) {
  auto it = in_flight_.find(delivery_id);
  if (it == in_flight_.end()) return nullptr;
  InFlight flight = std::move(it->second);
  in_flight_.erase(it);
  Endpoint* endpoint = find_endpoint(flight.to_ip, flight.to_port);
  if (!endpoint) {
    ++counters_.dropped_no_endpoint;
    return nullptr;
  }
  if (endpoint->queue.size() >= kQueueLimit) {
    ++counters_.dropped_queue_full;
    return nullptr;
  }
  ++counters_.delivered;
  endpoint->queue.push_back(std::move(flight.datagram));
  return endpoint;
}

}  // namespace velto::platform::sim
