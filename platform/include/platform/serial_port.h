// A serial port, COM1 to COM4, set up one setting at a time.
//
// Every setting is one read-modify-write of the port's configuration that
// changes only the fields it names. Each returns false when the port refuses
// it; the programs go on regardless, as their line protocol expects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct SerialPort {
    std::intptr_t handle;
};

// Opens COM1..COM4 (port_number 1..4) for reading and writing, held
// exclusively. Nothing when the port is absent, busy or refused.
std::optional<SerialPort> open_serial_port(int port_number);

// Baud rate, for example 9600.
bool set_baud_rate(SerialPort port, unsigned baud);

// Data bits (7 or 8) and one stop bit; with parity_off also no parity and
// parity checking off, in the same write.
bool set_data_bits(SerialPort port, int data_bits, bool parity_off);

// No parity; parity checking stays as it was.
bool set_no_parity(SerialPort port);

// One and a half stop bits; refused where the platform has none.
bool set_one_and_a_half_stop_bits(SerialPort port);

// Transmit (or receive) queue size in bytes, a request to the driver; the
// other queue keeps its current size. Nothing to request on Linux.
bool set_transmit_queue(SerialPort port, unsigned bytes);
bool set_receive_queue(SerialPort port, unsigned bytes);

// No hardware or software flow control; DTR and RTS held off.
bool set_handshaking_off(SerialPort port);

// Writes all bytes, waiting as long as the port makes it. False on failure or
// a short write.
bool write_serial(SerialPort port, std::string_view bytes);

// Line conditions reported since the previous query (the query clears them).
enum LineError : unsigned {
    line_rx_overflow = 1u << 0,
    line_overrun = 1u << 1,
    line_framing = 1u << 2,
    line_parity = 1u << 3,
    line_break = 1u << 4,
    line_tx_full = 1u << 5,
    line_io = 1u << 6,
};

struct ReceiveQueue {
    unsigned waiting = 0;  // bytes in the receive queue
    unsigned errors = 0;   // LineError bits
};

// Bytes waiting to be read and the line errors since the last query, which it
// clears. Nothing when the port cannot be queried.
std::optional<ReceiveQueue> query_receive_queue(SerialPort port);

// Reads up to `count` bytes, waiting for them as the port's settings make it;
// fewer after a failure part-way, an empty text when the read fails at once.
std::string read_serial(SerialPort port, std::size_t count);

void close_serial_port(SerialPort port);

}  // namespace platform
