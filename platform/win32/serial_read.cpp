// Reading from a serial port on Windows (the clock setter's side): the
// receive queue with its line errors, and the bytes.
#include "platform/serial_port.h"

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>

#include "serial_handle.h"

namespace platform {

std::optional<ReceiveQueue> query_receive_queue(SerialPort port)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_of(port), &errors, &status)) {
        return std::nullopt;
    }
    unsigned line = 0;
    if (errors & CE_RXOVER) line |= line_rx_overflow;
    if (errors & CE_OVERRUN) line |= line_overrun;
    if (errors & CE_FRAME) line |= line_framing;
    if (errors & CE_RXPARITY) line |= line_parity;
    if (errors & CE_BREAK) line |= line_break;
    if (errors & CE_TXFULL) line |= line_tx_full;
    if (errors & CE_IOE) line |= line_io;
    return ReceiveQueue{status.cbInQue, line};
}

std::string read_serial(SerialPort port, std::size_t count)
{
    std::string bytes(count, '\0');
    DWORD got = 0;
    if (!ReadFile(handle_of(port), bytes.data(), static_cast<DWORD>(count), &got, nullptr)) {
        return std::string();
    }
    bytes.resize(got);
    return bytes;
}

}  // namespace platform
