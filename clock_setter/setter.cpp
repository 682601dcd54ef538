// The clock setter's cycle: five frame waits and reads, the clock writes, the
// message box and, in repeat mode, the wait for the next minute.
#include "setter.h"

#include <string>
#include <string_view>

#include "clock_wait/clock_wait.h"
#include "frame_rules.h"
#include "frame_wait.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/serial_port.h"
#include "setter_settings.h"

namespace clock_setter {

namespace {

void set_up_line(platform::SerialPort port, int data_bits)
{
    // Refused settings are ignored: the line keeps what it had before. Only
    // the eight-bit build turns parity checking off with the data bits.
    platform::set_baud_rate(port, baud_rate);
    platform::set_data_bits(port, data_bits, data_bits == 8);
    platform::set_no_parity(port);
    platform::set_one_and_a_half_stop_bits(port);
    platform::set_transmit_queue(port, queue_bytes);
    platform::set_receive_queue(port, queue_bytes);
    platform::set_handshaking_off(port);
}

void apply_block(std::string_view block)
{
    if (const auto setting = clock_setting_from_block(block)) {
        set_clock_from(*setting);
    }
}

}  // namespace

void set_clock_from(const ClockSetting& setting)
{
    platform::LocalTime date = platform::read_local_time();
    date.year = setting.year;
    date.month = setting.month;
    date.day = setting.day;
    const bool date_written = platform::write_local_time(date);

    platform::LocalTime time = platform::read_local_time();
    if (date_written) {
        time.year = setting.year;
        time.month = setting.month;
        time.day = setting.day;
    }
    time.hour = setting.hour;
    time.minute = setting.minute;
    time.second = setting.second;
    time.millisecond = 0;
    platform::write_local_time(time);
}

int run_clock_setter(const SetterSettings& settings, int data_bits)
{
    const auto port = platform::open_serial_port(settings.port_number);
    if (!port) {
        return 0;
    }
    set_up_line(*port, data_bits);

    for (;;) {
        std::string block;
        for (int attempt = 1; attempt <= attempts_per_cycle; ++attempt) {
            if (!wait_for_frame(*port)) {
                platform::close_serial_port(*port);
                return 0;
            }
            block = platform::read_serial(*port, frame_bytes);
            apply_block(block);
        }
        if (settings.display) {
            if (const auto text = display_text_from_block(block)) {
                platform::show_message_box(box_caption, *text);
            }
        }
        const int minute_mark = platform::read_local_time().minute;
        if (!settings.repeat) {
            break;
        }
        clock_wait::wait_for_change(clock_wait::Turn::minute, [minute_mark](const platform::LocalTime& now) {
            return now.minute != minute_mark;
        });
    }
    platform::close_serial_port(*port);
    return 0;
}

}  // namespace clock_setter
