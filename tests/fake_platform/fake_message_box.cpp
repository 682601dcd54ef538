// The fake message box: records each box and keeps it open for a set while
// of virtual time, during which scheduled bytes keep arriving.
#include "fake_platform.h"
#include "fake_state.h"
#include "platform/message_box.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fake {

const std::vector<ShownMessageBox>& message_boxes() { return state().message_boxes; }
void set_message_box_open_us(std::int64_t us) { state().message_box_open_us = us; }

}  // namespace fake

namespace platform {

void show_message_box(std::string_view caption, std::string_view text)
{
    fake::State& s = fake::state();
    s.message_boxes.push_back({s.now_us, std::string(caption), std::string(text)});
    fake::advance_us(s.message_box_open_us);
}

}  // namespace platform
