// Looks at a running UDP time receiver's window from outside, for the system
// tests under Wine: the log label's text as the window itself reports it
// (WM_GETTEXT), and the dialog's styles and layout. Writes to a file, since a
// GUI-subsystem program has no output of its own.
//
//   receiver_window_probe.exe text FILE    the label's text, bytes unchanged
//   receiver_window_probe.exe layout FILE  key=value lines
//   receiver_window_probe.exe watch FILE   for each receiver window in
//       turn, appends the records "layout", "text" (each time the label's
//       text changes) and "gone", each as a line with its name, a line with
//       the byte count and the bytes. Starting a Wine process per reading is
//       slow, so the tests start one watcher that serves all their windows.
//
// Exit code 0 when written; 2 when no such window is open; 3 when the window
// has no log label; 1 for a wrong command line or an unwritable file.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr char caption[] = "Quorvant - UDP Time Receiver";
constexpr char dialog_class[] = "#32770";
constexpr int log_label_id = 101;
constexpr int close_button_id = 2;
constexpr UINT answer_limit_ms = 10000;

bool write_file(const char* path, const std::string& bytes)
{
    FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written;
}

// The window's text through WM_GETTEXT, as another program sees it; empty
// when the window does not answer (it may be going away).
std::string window_text(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, answer_limit_ms, &length)) {
        return std::string();
    }
    std::vector<char> buffer(length + 1, '\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, static_cast<WPARAM>(buffer.size()),
                             reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG, answer_limit_ms, &copied)) {
        return std::string();
    }
    return std::string(buffer.data(), copied < buffer.size() ? copied : length);
}

std::string class_of(HWND window)
{
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string hex(unsigned long value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", value);
    return text;
}

std::string rect_text(const RECT& r)
{
    return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) + " " +
           std::to_string(r.bottom);
}

// A child's rectangle in the dialog's client coordinates.
RECT child_rect(HWND dialog, HWND child)
{
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string describe_child(const char* name, HWND dialog, HWND child)
{
    const std::string key(name);
    const auto style = static_cast<unsigned long>(GetWindowLongA(child, GWL_STYLE));
    const auto extended_style = static_cast<unsigned long>(GetWindowLongA(child, GWL_EXSTYLE));
    std::string text;
    text += key + "_class=" + class_of(child) + "\n";
    text += key + "_style=" + hex(style) + "\n";
    text += key + "_exstyle=" + hex(extended_style) + "\n";
    text += key + "_rect=" + rect_text(child_rect(dialog, child)) + "\n";
    return text;
}

// The middle of the caption's close box in screen coordinates, found by
// asking the window what lies under each point of its caption row; "none"
// when the caption has no close box.
std::string find_close_box(HWND dialog, const RECT& outer)
{
    const int y = outer.top + GetSystemMetrics(SM_CYFIXEDFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
    int first = -1;
    int last = -1;
    for (int x = outer.right - 1; x >= outer.left; --x) {
        DWORD_PTR hit = 0;
        SendMessageTimeoutA(dialog, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG, answer_limit_ms, &hit);
        if (hit == HTCLOSE) {
            last = last < 0 ? x : last;
            first = x;
        } else if (last >= 0) {
            break;
        }
    }
    if (last < 0) {
        return "none";
    }
    return std::to_string((first + last) / 2) + " " + std::to_string(y);
}

std::string describe_layout(HWND dialog, HWND label)
{
    RECT outer{};
    RECT client{};
    GetWindowRect(dialog, &outer);
    GetClientRect(dialog, &client);
    std::string text;
    text += "class=" + class_of(dialog) + "\n";
    text += "style=" + hex(static_cast<unsigned long>(GetWindowLongA(dialog, GWL_STYLE))) + "\n";
    text += "exstyle=" + hex(static_cast<unsigned long>(GetWindowLongA(dialog, GWL_EXSTYLE))) + "\n";
    text += "window_rect=" + rect_text(outer) + "\n";
    text += "client_size=" + std::to_string(client.right) + " " + std::to_string(client.bottom) + "\n";
    text += "screen_size=" + std::to_string(GetSystemMetrics(SM_CXSCREEN)) + " " +
            std::to_string(GetSystemMetrics(SM_CYSCREEN)) + "\n";
    POINT origin{0, 0};
    ClientToScreen(dialog, &origin);
    text += "client_origin=" + std::to_string(origin.x) + " " + std::to_string(origin.y) + "\n";
    text += "close_box=" + find_close_box(dialog, outer) + "\n";
    text += "owner=" + std::string(GetWindow(dialog, GW_OWNER) == nullptr ? "none" : "some") + "\n";
    text += "menu=" + std::string(GetMenu(dialog) == nullptr ? "none" : "some") + "\n";
    text += describe_child("log", dialog, label);
    const HWND close_button = GetDlgItem(dialog, close_button_id);
    if (close_button != nullptr) {
        text += describe_child("close", dialog, close_button);
        text += "close_text=" + window_text(close_button) + "\n";
    }
    int children = 0;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        ++children;
    }
    text += "children=" + std::to_string(children) + "\n";
    return text;
}

constexpr DWORD watch_find_limit_ms = 30 * 60 * 1000;
constexpr DWORD watch_poll_ms = 20;

bool append_record(FILE* out, const char* name, const std::string& bytes)
{
    const std::string head = std::string(name) + "\n" + std::to_string(bytes.size()) + "\n";
    const bool written = std::fwrite(head.data(), 1, head.size(), out) == head.size() &&
                         std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fflush(out) == 0 && written;
}

// Records one window from its layout to its end. False when writing failed.
bool record_window(FILE* out, HWND dialog, HWND label)
{
    bool written = append_record(out, "layout", describe_layout(dialog, label));
    std::string last;
    bool first = true;
    while (written && IsWindow(dialog)) {
        const std::string text = window_text(label);
        if (first || text != last) {
            written = append_record(out, "text", text);
            last = text;
            first = false;
        }
        Sleep(watch_poll_ms);
    }
    return written && append_record(out, "gone", "");
}

// Records each receiver window in turn, until none has appeared for
// `watch_find_limit_ms` or writing fails; the tests end it before.
int watch_windows(const char* path)
{
    FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        return 1;
    }
    DWORD waiting_since = GetTickCount();
    for (;;) {
        const HWND dialog = FindWindowA(dialog_class, caption);
        const HWND label = dialog != nullptr ? GetDlgItem(dialog, log_label_id) : nullptr;
        if (label != nullptr) {
            if (!record_window(out, dialog, label)) {
                std::fclose(out);
                return 1;
            }
            waiting_since = GetTickCount();
        } else if (GetTickCount() - waiting_since > watch_find_limit_ms) {
            return std::fclose(out) == 0 ? 2 : 1;
        }
        Sleep(watch_poll_ms);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        return 1;
    }
    const std::string what = argv[1];
    if (what == "watch") {
        return watch_windows(argv[2]);
    }
    const HWND dialog = FindWindowA(dialog_class, caption);
    if (dialog == nullptr) {
        return 2;
    }
    const HWND label = GetDlgItem(dialog, log_label_id);
    if (label == nullptr) {
        return 3;
    }
    std::string result;
    if (what == "text") {
        result = window_text(label);
    } else if (what == "layout") {
        result = describe_layout(dialog, label);
    } else {
        return 1;
    }
    return write_file(argv[2], result) ? 0 : 1;
}
