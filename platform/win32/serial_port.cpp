// Serial ports on Windows: "COM1".."COM4" opened, set up through the device
// control block, and closed. Writing and reading have files of their own, so
// that a program links only the calls it makes.
#include "platform/serial_port.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "serial_handle.h"

namespace platform {

namespace {

// One read-modify-write of the device control block. Nothing is written when
// the block cannot be read, so a port never receives an uninitialised block.
template <class Change>
bool change_dcb(SerialPort port, Change change)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_of(port), &dcb)) {
        return false;
    }
    change(dcb);
    return SetCommState(handle_of(port), &dcb) != 0;
}

std::optional<COMMPROP> current_queues(SerialPort port)
{
    COMMPROP properties{};
    properties.wPacketLength = sizeof properties;
    if (!GetCommProperties(handle_of(port), &properties)) {
        return std::nullopt;
    }
    return properties;
}

}  // namespace

std::optional<SerialPort> open_serial_port(int port_number)
{
    if (port_number < 1 || port_number > 4) {
        return std::nullopt;
    }
    const std::string name = "COM" + std::to_string(port_number);
    const HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    return SerialPort{reinterpret_cast<std::intptr_t>(handle)};
}

bool set_baud_rate(SerialPort port, unsigned baud)
{
    return change_dcb(port, [baud](DCB& dcb) { dcb.BaudRate = baud; });
}

bool set_data_bits(SerialPort port, int data_bits, bool parity_off)
{
    if (data_bits != 7 && data_bits != 8) {
        return false;
    }
    return change_dcb(port, [data_bits, parity_off](DCB& dcb) {
        dcb.ByteSize = static_cast<BYTE>(data_bits);
        dcb.StopBits = ONESTOPBIT;
        if (parity_off) {
            dcb.fParity = FALSE;
            dcb.Parity = NOPARITY;
        }
    });
}

bool set_no_parity(SerialPort port)
{
    return change_dcb(port, [](DCB& dcb) { dcb.Parity = NOPARITY; });
}

bool set_one_and_a_half_stop_bits(SerialPort port)
{
    return change_dcb(port, [](DCB& dcb) { dcb.StopBits = ONE5STOPBITS; });
}

bool set_transmit_queue(SerialPort port, unsigned bytes)
{
    const auto queues = current_queues(port);
    return queues && SetupComm(handle_of(port), queues->dwCurrentRxQueue, bytes);
}

bool set_receive_queue(SerialPort port, unsigned bytes)
{
    const auto queues = current_queues(port);
    return queues && SetupComm(handle_of(port), bytes, queues->dwCurrentTxQueue);
}

bool set_handshaking_off(SerialPort port)
{
    return change_dcb(port, [](DCB& dcb) {
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fTXContinueOnXoff = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
    });
}

void close_serial_port(SerialPort port) { CloseHandle(handle_of(port)); }

}  // namespace platform
