// The frame wait: the exactly-35 rule, the drain above 38 and the 5 s limit,
// with pauses that never cost a frame.
//
// The waiting count is the whole number of bytes in the receive queue. A
// backlog of any size (frames that queued while repeat mode waited for the
// minute, or while the message box was open) is drained 35 bytes at a time,
// oldest first, down to its newest whole frame, which is then taken. A count
// kept to 8 bits would stop draining wherever the size modulo 256 fell
// below 39 and then take a frame minutes old.
//
// Why pausing is safe. Bytes enter the queue no faster than the line carries
// them, one per 937.5 us at the fastest (9 bits at 9600 baud), and only
// moments with exactly 35 waiting (a take) or more than 38 (a drain) make the
// wait act. After a poll that found c bytes:
// - c < 35: the count cannot pass 35 before 36 - c more bytes have come, which
//   takes at least 35 - c byte times after the poll. A pause of 34 - c byte
//   times, less the guard, wakes while the count is still at most 35, and a
//   count of 35 found late is the same 35 bytes found at once.
// - c = 36..38: nothing is taken until more than 38 wait. A drain at any count
//   from 39 up to 69 drops the same 35 bytes from the head as a drain at 39
//   would, and leaves the rest in the same place; only at 70 would a wait
//   polling without a pause have taken the 35 that follow. So a pause of
//   68 - c byte times, less the guard, is safe too.
// - c = 35 is taken at once.
// No pause runs past the 5 s limit less the guard, so the last moments before
// it are polled as closely as the rest, as the limit is tested after the count.
// A failed query tells nothing about the queue, so the wait polls on; a poll
// that counts 0 because of a line error pauses by the bytes really there.
//
// Where no pause is safe the wait still gives up the processor for a moment
// between polls (about 0.1 ms, far below a byte time). Polling a pty without
// any pause on a busy machine kept the kernel from moving written bytes into
// its queue for up to 40 ms, so that the count jumped past 35: in trials of
// 125 frames sent back to back, 29 were lost that way against 1 with the
// brief pauses.
#include "frame_wait.h"

#include <algorithm>
#include <cstdint>

#include "platform/clock.h"
#include "platform/serial_port.h"

namespace clock_setter {

unsigned frame_wait_pause_ms(unsigned queued, std::uint64_t elapsed_ms)
{
    int spare_bytes = 0;
    if (queued < frame_bytes) {
        spare_bytes = static_cast<int>(frame_bytes - 1 - queued);
    } else if (queued > frame_bytes && queued <= most_waiting_left_alone) {
        spare_bytes = static_cast<int>(2 * frame_bytes - 2 - queued);
    } else {
        return 0;
    }
    const std::int64_t by_line_us = std::int64_t{spare_bytes} * line_byte_us - pause_guard_us;
    const std::int64_t left_ms = static_cast<std::int64_t>(frame_wait_limit_ms) - static_cast<std::int64_t>(elapsed_ms);
    const std::int64_t by_limit_us = left_ms * 1000 - pause_guard_us;
    return static_cast<unsigned>(std::max<std::int64_t>(0, std::min(by_line_us, by_limit_us)) / 1000);
}

bool wait_for_frame(platform::SerialPort port)
{
    const std::uint64_t start = platform::monotonic_ms();
    for (;;) {
        const auto queue = platform::query_receive_queue(port);
        const unsigned queued = queue ? queue->waiting : 0;
        const unsigned waiting = queue && (queue->errors & errors_counted_as_empty) == 0 ? queued : 0;
        if (waiting > most_waiting_left_alone) {
            platform::read_serial(port, frame_bytes);
        }
        const std::uint64_t elapsed = platform::monotonic_ms() - start;
        if (elapsed > frame_wait_limit_ms) {
            return false;
        }
        if (waiting == frame_bytes) {
            return true;
        }
        const unsigned pause = queue ? frame_wait_pause_ms(queued, elapsed) : 0;
        if (pause > 0) {
            platform::sleep_ms(pause);
        } else {
            platform::pause_briefly();
        }
    }
}

}  // namespace clock_setter
