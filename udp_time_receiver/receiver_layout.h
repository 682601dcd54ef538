// The receiver window's geometry in dialog units, shared by the Win32 dialog
// and the GTK window, and the pixels a dialog unit of the dialog font takes.
#pragma once

namespace udp_time_receiver {

struct DialogRect {
    int x;
    int y;
    int width;
    int height;
};

constexpr int dialog_width_du = 260;
constexpr int dialog_height_du = 120;

// Control identifiers; 2 is the system's cancel identifier (IDCANCEL).
constexpr int IDC_LOG = 101;
constexpr int close_button_id = 2;

constexpr DialogRect log_label_du{0, 0, 260, 95};
constexpr DialogRect close_button_du{110, 100, 50, 14};

// A dialog unit is a quarter of the font's average character width across and
// an eighth of its height down. The dialog's 8-point sans serif font at 96
// dots per inch is 6 pixels wide on average and 13 pixels high, so one unit
// is 1.5 pixels across and 1.625 pixels down; rounding to the nearest pixel
// as MapDialogRect does.
constexpr int font_average_width_px = 6;
constexpr int font_height_px = 13;

constexpr int horizontal_pixels(int dialog_units) { return (dialog_units * font_average_width_px * 2 + 4) / 8; }
constexpr int vertical_pixels(int dialog_units) { return (dialog_units * font_height_px * 2 + 8) / 16; }

}  // namespace udp_time_receiver
