// The fake platform's state, shared by its source files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fake_platform.h"

namespace fake {

struct State {
    std::int64_t now_us = 0;
    std::int64_t clock_offset_us = 0;
    std::int64_t stop_at_us = std::numeric_limits<std::int64_t>::max();
    std::int64_t reading_cost_us = 10;
    std::int64_t slept_us = 0;
    std::int64_t clock_readings = 0;
    std::multimap<std::int64_t, std::function<void()>> actions;
    bool clock_writable = true;
    std::vector<ClockWrite> clock_writes;
    std::int64_t clock_write_cost_us = 0;
    std::int64_t sleep_overshoot_us = 0;
    std::uint32_t wake_margin_us = 300;
    int beeps = 0;
    std::vector<ShownMessageBox> message_boxes;
    std::int64_t message_box_open_us = 0;

    std::set<int> absent_ports;
    int opened_port = 0;
    bool port_closed = false;
    std::vector<std::string> serial_calls;
    std::set<std::string> refused_settings;
    std::vector<SerialWrite> serial_writes;
    std::string receive_queue;
    unsigned pending_line_errors = 0;
    bool fail_next_read = false;
    bool fail_next_query = false;
    std::size_t next_read_limit = std::numeric_limits<std::size_t>::max();
    std::int64_t queue_queries = 0;

    std::optional<platform::Ipv4Bytes> own_address;
    bool udp_open_fails = false;
    bool udp_sends_fail = false;
    bool broadcast_allowed = false;
    std::vector<std::string> udp_calls;
    std::vector<UdpSend> udp_sends;
};

State& state();
std::int64_t clock_us_of(const platform::LocalTime& t);

}  // namespace fake
