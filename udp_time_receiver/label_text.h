// The log as a toolkit label shows it where labels take UTF-8 and break
// lines only at line feeds (the GTK window). The log itself is not changed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "receiver_layout.h"

namespace udp_time_receiver {

// What a Windows static control shows of `log_text`, as UTF-8: the text up to
// the first zero byte, each carriage return (or carriage return and line
// feed) as one line feed, and every other byte read as ANSI (Windows-1252).
// Cut short after `label_characters` characters that take room, all that
// the label's rows can hold, and after line `label_lines`.
std::string label_display_text(std::string_view log_text);

// Rows of the log label that show, the last in part, and characters a row can
// hold at most (no glyph that takes room is narrower than 2 pixels): 12 x 195.
constexpr std::size_t label_rows =
    static_cast<std::size_t>((vertical_pixels(log_label_du.height) + font_height_px - 1) / font_height_px);
constexpr std::size_t row_characters = static_cast<std::size_t>(horizontal_pixels(log_label_du.width) / 2);
constexpr std::size_t label_characters = label_rows * row_characters;
// Lines below the last row cannot show either, but a screen reader reads the
// label's whole text, as it reads a static control's; up to this many lines
// stay, more than the trim leaves unless datagrams hold carriage returns.
constexpr std::size_t label_lines = 64;

}  // namespace udp_time_receiver
