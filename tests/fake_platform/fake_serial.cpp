// The fake serial port: a scripted receive queue and a record of every call.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fake_platform.h"
#include "fake_state.h"
#include "platform/serial_port.h"

namespace fake {

void set_port_present(int port_number, bool present)
{
    if (present) {
        state().absent_ports.erase(port_number);
    } else {
        state().absent_ports.insert(port_number);
    }
}

int opened_port() { return state().opened_port; }
bool port_closed() { return state().port_closed; }
const std::vector<std::string>& serial_calls() { return state().serial_calls; }
const std::vector<SerialWrite>& serial_writes() { return state().serial_writes; }
void refuse_serial_setting(const std::string& name) { state().refused_settings.insert(name); }
void queue_bytes(const std::string& bytes) { state().receive_queue += bytes; }
void queue_line_errors(unsigned errors) { state().pending_line_errors |= errors; }
void fail_next_read() { state().fail_next_read = true; }
void fail_next_query() { state().fail_next_query = true; }
void shorten_next_read(std::size_t count) { state().next_read_limit = count; }
const std::string& receive_queue() { return state().receive_queue; }
std::int64_t queue_queries() { return state().queue_queries; }

namespace {

bool record_setting(const std::string& call)
{
    state().serial_calls.push_back(call);
    return state().refused_settings.count(call) == 0;
}

}  // namespace

}  // namespace fake

namespace platform {

std::optional<SerialPort> open_serial_port(int port_number)
{
    fake::State& s = fake::state();
    s.serial_calls.push_back("open COM" + std::to_string(port_number));
    if (port_number < 1 || port_number > 4 || s.absent_ports.count(port_number) != 0) {
        return std::nullopt;
    }
    s.opened_port = port_number;
    return SerialPort{port_number};
}

bool set_baud_rate(SerialPort, unsigned baud) { return fake::record_setting("baud " + std::to_string(baud)); }

bool set_data_bits(SerialPort, int data_bits, bool parity_off)
{
    return fake::record_setting("data_bits " + std::to_string(data_bits) + (parity_off ? " parity_off" : ""));
}

bool set_no_parity(SerialPort) { return fake::record_setting("no_parity"); }
bool set_one_and_a_half_stop_bits(SerialPort) { return fake::record_setting("stop_bits_1.5"); }
bool set_transmit_queue(SerialPort, unsigned bytes) { return fake::record_setting("tx_queue " + std::to_string(bytes)); }
bool set_receive_queue(SerialPort, unsigned bytes) { return fake::record_setting("rx_queue " + std::to_string(bytes)); }
bool set_handshaking_off(SerialPort) { return fake::record_setting("handshaking_off"); }

bool write_serial(SerialPort, std::string_view bytes)
{
    fake::State& s = fake::state();
    s.serial_writes.push_back({s.now_us, std::string(bytes)});
    return true;
}

std::optional<ReceiveQueue> query_receive_queue(SerialPort)
{
    fake::State& s = fake::state();
    ++s.queue_queries;
    if (s.fail_next_query) {
        s.fail_next_query = false;
        fake::advance_us(s.reading_cost_us);
        return std::nullopt;
    }
    const ReceiveQueue queue{static_cast<unsigned>(s.receive_queue.size()), s.pending_line_errors};
    s.pending_line_errors = 0;
    fake::advance_us(s.reading_cost_us);
    return queue;
}

std::string read_serial(SerialPort, std::size_t count)
{
    fake::State& s = fake::state();
    s.serial_calls.push_back("read " + std::to_string(count));
    if (s.fail_next_read) {
        s.fail_next_read = false;
        return std::string();
    }
    const std::size_t n = std::min({count, s.next_read_limit, s.receive_queue.size()});
    s.next_read_limit = std::numeric_limits<std::size_t>::max();
    std::string bytes = s.receive_queue.substr(0, n);
    s.receive_queue.erase(0, n);
    return bytes;
}

void close_serial_port(SerialPort)
{
    fake::state().serial_calls.push_back("close");
    fake::state().port_closed = true;
}

}  // namespace platform
