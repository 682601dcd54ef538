// The serial time sender's run: open and set up the port, then send a frame
// once, or in repeat mode again at every change of the clock's minute.
#pragma once

#include <string>

#include "sender_settings.h"
#include "time_frame/time_frame.h"

namespace serial_time_sender {

constexpr unsigned baud_rate = 9600;
constexpr unsigned queue_bytes = 48;

// The frame's fields: from one reading of the clock, or from the fixed time
// (hhmmssMMDDYYYY) exactly as given, short or not.
time_frame::FrameFields frame_fields(const SenderSettings& settings);

// Runs the sender and returns its exit code, 0 on every path. In repeat mode
// it returns only if the process is ended from outside, that is never.
int run_serial_time_sender(const SenderSettings& settings, int data_bits);

}  // namespace serial_time_sender
