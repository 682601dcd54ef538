// Serial ports on POSIX: COMn is /dev/comN where that name exists (a device,
// or a link that an administrator or a udev rule made, for example to a USB
// adapter), otherwise /dev/ttyS(N-1); once opened, the same path for the
// rest of the run.
//
// A Windows COM port moves bytes unchanged and ignores the carrier line, so
// opening one here also puts the line in raw mode with CLOCAL set. Each
// setting is one tcgetattr/tcsetattr that changes only the flags it names.
#include "platform/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

namespace {

int fd_of(SerialPort port) { return static_cast<int>(port.handle); }

template <class Change>
bool change_termios(SerialPort port, Change change)
{
    termios settings{};
    if (tcgetattr(fd_of(port), &settings) != 0) {
        return false;
    }
    if (!change(settings)) {
        return false;
    }
    return tcsetattr(fd_of(port), TCSANOW, &settings) == 0;
}

// Line-error counters of the driver, where it keeps them (real UARTs do,
// pseudo-terminals do not); the difference between two queries is what
// happened in between, which is what ClearCommError reports on Windows.
serial_icounter_struct last_counters{};
bool have_counters = false;

unsigned line_errors_since_last_query(int fd)
{
    serial_icounter_struct now{};
    if (ioctl(fd, TIOCGICOUNT, &now) != 0) {
        return 0;
    }
    unsigned errors = 0;
    if (have_counters) {
        if (now.buf_overrun != last_counters.buf_overrun) errors |= line_rx_overflow;
        if (now.overrun != last_counters.overrun) errors |= line_overrun;
        if (now.frame != last_counters.frame) errors |= line_framing;
        if (now.parity != last_counters.parity) errors |= line_parity;
        if (now.brk != last_counters.brk) errors |= line_break;
    }
    last_counters = now;
    have_counters = true;
    return errors;
}

// Where each COM number was opened first in this run. A USB adapter pulled
// out takes its /dev/comN link with it; a sender then opens the port again
// there once the adapter is back, and never /dev/ttyS(N-1) in the meantime,
// which leads to other equipment if to any.
std::string first_opened_at[4];

// lstat, not stat: a /dev/comN that leads nowhere still names the port, whose
// open then fails; the administrator chose that device, so ttyS is not tried.
std::string device_path_of(int port_number)
{
    if (!first_opened_at[port_number - 1].empty()) {
        return first_opened_at[port_number - 1];
    }
    const std::string named = "/dev/com" + std::to_string(port_number);
    struct stat entry{};
    if (lstat(named.c_str(), &entry) == 0) {
        return named;
    }
    return "/dev/ttyS" + std::to_string(port_number - 1);
}

}  // namespace

std::optional<SerialPort> open_serial_port(int port_number)
{
    if (port_number < 1 || port_number > 4) {
        return std::nullopt;
    }
    // The open follows a link, so the lock and TIOCEXCL below hold the device
    // it leads to, whatever name another program opens it by.
    const std::string path = device_path_of(port_number);
    // O_NONBLOCK only for the open itself, which would otherwise wait for a
    // carrier on a modem line.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    termios settings{};
    const bool usable = flock(fd, LOCK_EX | LOCK_NB) == 0 && ioctl(fd, TIOCEXCL) == 0 &&
                        tcgetattr(fd, &settings) == 0;
    if (!usable) {
        close(fd);
        return std::nullopt;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    have_counters = false;
    line_errors_since_last_query(fd);
    first_opened_at[port_number - 1] = path;
    return SerialPort{fd};
}

bool set_baud_rate(SerialPort port, unsigned baud)
{
    return change_termios(port, [baud](termios& t) {
        speed_t speed;
        switch (baud) {
        case 9600: speed = B9600; break;
        case 19200: speed = B19200; break;
        case 38400: speed = B38400; break;
        default: return false;
        }
        return cfsetispeed(&t, speed) == 0 && cfsetospeed(&t, speed) == 0;
    });
}

bool set_data_bits(SerialPort port, int data_bits, bool parity_off)
{
    return change_termios(port, [data_bits, parity_off](termios& t) {
        tcflag_t size;
        switch (data_bits) {
        case 7: size = CS7; break;
        case 8: size = CS8; break;
        default: return false;
        }
        t.c_cflag = (t.c_cflag & ~(CSIZE | CSTOPB)) | size;
        if (parity_off) {
            t.c_cflag &= ~PARENB;
            t.c_iflag &= ~INPCK;
        }
        return true;
    });
}

bool set_no_parity(SerialPort port)
{
    return change_termios(port, [](termios& t) {
        t.c_cflag &= ~PARENB;
        return true;
    });
}

bool set_one_and_a_half_stop_bits(SerialPort)
{
    return false;  // termios has one or two stop bits only
}

bool set_transmit_queue(SerialPort, unsigned) { return true; }
bool set_receive_queue(SerialPort, unsigned) { return true; }

bool set_handshaking_off(SerialPort port)
{
    const bool flow_off = change_termios(port, [](termios& t) {
        t.c_cflag &= ~CRTSCTS;
        t.c_iflag &= ~(IXON | IXOFF | IXANY);
        return true;
    });
    int lines = TIOCM_DTR | TIOCM_RTS;
    const bool lines_off = ioctl(fd_of(port), TIOCMBIC, &lines) == 0;
    return flow_off && lines_off;
}

bool write_serial(SerialPort port, std::string_view bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd_of(port), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<ReceiveQueue> query_receive_queue(SerialPort port)
{
    int waiting = 0;
    if (ioctl(fd_of(port), FIONREAD, &waiting) != 0) {
        return std::nullopt;
    }
    return ReceiveQueue{static_cast<unsigned>(waiting), line_errors_since_last_query(fd_of(port))};
}

std::string read_serial(SerialPort port, std::size_t count)
{
    std::string bytes(count, '\0');
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = read(fd_of(port), bytes.data() + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

void close_serial_port(SerialPort port) { close(fd_of(port)); }

}  // namespace platform
