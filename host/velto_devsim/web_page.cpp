// Draws the status page as plain HTML (it refreshes itself every few
// seconds) and serves it with cpp-httplib on a thread of its own.
#include "host/velto_devsim/web_page.h"

#include <httplib.h>

#include <cstdio>
#include <string>

namespace velto::devsim {

namespace {

using deviceserver::PortStatus;

std::string escape_html(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string ipv4_text(uint32_t ip) {
  return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xFF) + "." +
         std::to_string((ip >> 8) & 0xFF) + "." + std::to_string(ip & 0xFF);
}

std::string settings_text(const PortStatus& port) {
  if (!port.has_settings) return "-";
  std::string hex;
  char byte[4];
  for (uint8_t b : port.settings) {
    std::snprintf(byte, sizeof byte, "%02x ", b);
    hex += byte;
  }
  hex.pop_back();
  return "<code>" + hex + "</code>";
}

std::string modem_text(uint8_t status) {
  using namespace deviceserver;
  const std::pair<uint8_t, const char*> lines[] = {{kModemCts, "CTS"}, {kModemDsr, "DSR"},
                                                   {kModemRi, "RI"},   {kModemDcd, "DCD"},
                                                   {kModemDtr, "DTR"}, {kModemRts, "RTS"}};
  std::string text;
  for (const auto& [bit, name] : lines) {
    if (status & bit) text += std::string(text.empty() ? "" : " ") + name;
  }
  return text.empty() ? "none" : text;
}

std::string port_row(int index, const PortStatus& port, uint64_t pty_dropped) {
  const std::string backing =
      port.backing_kind +
      (port.backing_location.empty() ? "" : " " + escape_html(port.backing_location));
  const std::string host =
      port.has_host ? ipv4_text(port.host.ip) + ":" + std::to_string(port.host.port) : "-";
  const auto& c = port.counters;
  return "<tr><td>" + std::to_string(index + 1) + "</td><td>" + backing + "</td><td>" +
         (port.open ? "open" : "closed") + "</td><td>" + host + "</td><td>" + settings_text(port) +
         "</td><td>" + modem_text(port.modem_status) + (port.break_on ? " BREAK" : "") +
         "</td><td>" + std::to_string(c.host_messages) + " / " + std::to_string(c.bytes_to_serial) +
         "</td><td>" + std::to_string(c.device_messages) + " / " +
         std::to_string(c.bytes_from_serial) + "</td><td>" + std::to_string(port.pending_bytes) +
         (port.in_flight ? " (in flight)" : "") + "</td><td>" + std::to_string(pty_dropped) +
         "</td></tr>\n";
}

std::string counters_table(const deviceserver::ServerCounters& c) {
  const std::pair<const char*, uint64_t> rows[] = {
      {"received", c.received},
      {"sent", c.sent},
      {"resent", c.resent},
      {"host data repeats", c.duplicates},
      {"dropped by script", c.dropped_by_script},
      {"duplicated by script", c.duplicated_by_script},
      {"delayed by script", c.delayed_by_script},
      {"ignored while silent", c.ignored_silent},
      {"withheld while silent", c.withheld_silent},
      {"malformed", c.malformed},
      {"unknown port", c.unknown_port},
      {"port not open", c.not_open},
      {"unknown type", c.unknown_type},
      {"stale acks", c.stale_acks},
      {"serial input discarded", c.input_discarded},
      {"outbox overflow", c.outbox_overflow},
  };
  std::string html = "<table>\n";
  for (const auto& [name, value] : rows) {
    html += "<tr><td>" + std::string(name) + "</td><td>" + std::to_string(value) + "</td></tr>\n";
  }
  return html + "</table>\n";
}

}  // namespace

std::string render_page(const PageView& view) {
  const std::string name = escape_html(view.name);
  std::string html =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
      "<meta http-equiv=\"refresh\" content=\"5\"><title>" +
      name + "</title></head><body>\n<h1>" + name + "</h1>\n<p>Device link on " +
      escape_html(view.address) + (view.silent ? " &mdash; <b>silent</b>" : "") + "</p>\n";
  html +=
      "<h2>Serial ports</h2>\n<table border=\"1\">\n<tr><th>port</th><th>backing</th>"
      "<th>state</th><th>host</th><th>settings</th><th>modem lines</th>"
      "<th>host data (messages / bytes)</th><th>device data (messages / bytes)</th>"
      "<th>waiting bytes</th><th>pty bytes dropped</th></tr>\n";
  for (size_t i = 0; i < view.ports.size(); ++i) {
    const uint64_t dropped = i < view.pty_dropped_bytes.size() ? view.pty_dropped_bytes[i] : 0;
    html += port_row(static_cast<int>(i), view.ports[i], dropped);
  }
  html += "</table>\n<h2>Counters</h2>\n" + counters_table(view.counters);
  return html + "</body></html>\n";
}

WebPage::WebPage() = default;

WebPage::~WebPage() {
  stop();
}

bool WebPage::start(const std::string& address, uint16_t port, Snapshot snapshot,
                    std::string* error) {
  server_ = std::make_unique<httplib::Server>();
  server_->Get("/", [snapshot](const httplib::Request&, httplib::Response& response) {
    response.set_content(render_page(snapshot()), "text/html; charset=utf-8");
  });
  if (!server_->bind_to_port(address.c_str(), port)) {
    *error = "cannot serve the web page on " + address + ":" + std::to_string(port);
    server_.reset();
    return false;
  }
  thread_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
  return true;
}

void WebPage::stop() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace velto::devsim
