// The receiver window on Windows: a dialog built from a template in memory,
// its log label and Close button, the dialog's message loop, and what the
// receive worker may do to the window.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/beep.h"
#include "receive_worker.h"
#include "receiver_layout.h"
#include "receiver_window.h"

namespace udp_time_receiver {

namespace {

constexpr char caption[] = "Quorvant - UDP Time Receiver";
constexpr char font_name[] = "MS Sans Serif";
constexpr WORD font_points = 8;

HWND dialog_of(ReceiverWindow window) { return reinterpret_cast<HWND>(window.handle); }

void append_wide(std::vector<WORD>& words, const char* text)
{
    for (const char* c = text; *c != '\0'; ++c) {
        words.push_back(static_cast<unsigned char>(*c));
    }
    words.push_back(0);
}

// The dialog template: header, no menu, the standard dialog class, the
// caption and the font; no controls. A vector of WORDs is DWORD-aligned, as
// the template must be.
std::vector<WORD> build_dialog_template()
{
    const DWORD style = WS_CAPTION | WS_SYSMENU | DS_SETFONT | DS_NOFAILCREATE | DS_3DLOOK | DS_CENTER;
    const DWORD extended_style = 0;
    std::vector<WORD> words;
    words.push_back(LOWORD(style));
    words.push_back(HIWORD(style));
    words.push_back(LOWORD(extended_style));
    words.push_back(HIWORD(extended_style));
    words.push_back(0);                                    // controls in the template
    words.push_back(static_cast<WORD>(-1));                // x: centred
    words.push_back(static_cast<WORD>(-1));                // y: centred
    words.push_back(static_cast<WORD>(dialog_width_du));   // width
    words.push_back(static_cast<WORD>(dialog_height_du));  // height
    words.push_back(0);                                    // no menu
    words.push_back(0);                                    // the standard dialog class
    append_wide(words, caption);
    words.push_back(font_points);
    append_wide(words, font_name);
    return words;
}

// Handles nothing: the dialog is created with it so that WM_INITDIALOG can
// reach the real callback only after both controls exist.
INT_PTR CALLBACK ignore_dialog_messages(HWND, UINT, WPARAM, LPARAM) { return 0; }

HWND create_control(HWND dialog, const char* class_name, const char* text, const DialogRect& units, DWORD style,
                    int id)
{
    RECT r{units.x, units.y, units.x + units.width, units.y + units.height};
    MapDialogRect(dialog, &r);
    const HWND control =
        CreateWindowExA(0, class_name, text, style, r.left, r.top, r.right - r.left, r.bottom - r.top, dialog,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr), nullptr);
    const auto font = static_cast<WPARAM>(SendMessageA(dialog, WM_GETFONT, 0, 0));
    SendMessageA(control, WM_SETFONT, font, TRUE);
    return control;
}

DWORD WINAPI start_receive_worker(LPVOID dialog)
{
    return static_cast<DWORD>(receive_worker(ReceiverWindow{reinterpret_cast<std::intptr_t>(dialog)}));
}

}  // namespace

INT_PTR CALLBACK receiver_dialog_callback(HWND window, UINT message, WPARAM w_param, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: {
        // The worker runs detached: the process ends under it.
        const HANDLE worker = CreateThread(nullptr, 0, start_receive_worker, window, 0, nullptr);
        if (worker != nullptr) {
            CloseHandle(worker);
        }
        return 0;
    }
    case WM_COMMAND:
        if (HIWORD(w_param) == BN_CLICKED && LOWORD(w_param) == close_button_id) {
            // Ending a modeless dialog is destroying it; the loop then ends.
            DestroyWindow(window);
        }
        return 0;
    case WM_DESTROY:
        return 1;
    default:
        return 0;
    }
}

void show_log(ReceiverWindow window, const std::string& log_text)
{
    SetWindowTextA(GetDlgItem(dialog_of(window), IDC_LOG), log_text.c_str());
}

int read_window_alive(ReceiverWindow window)
{
    const HWND dialog = dialog_of(window);
    RECT outer{};
    if (!GetWindowRect(dialog, &outer)) {
        return 0;
    }
    // Four units across and eight down in pixels: the dialog font's scale.
    RECT scale{0, 0, 4, 8};
    if (!MapDialogRect(dialog, &scale) || scale.bottom <= 0) {
        return 0;
    }
    return MulDiv(outer.bottom - outer.top, 8, scale.bottom);
}

void sound_failure_beep(ReceiverWindow) { platform::beep(); }

void request_window_close(ReceiverWindow window) { SendMessageA(dialog_of(window), WM_SYSCOMMAND, SC_CLOSE, 0); }

}  // namespace udp_time_receiver

int main()
{
    using namespace udp_time_receiver;
    const std::vector<WORD> dialog_template = build_dialog_template();
    const HWND dialog =
        CreateDialogIndirectParamA(GetModuleHandleA(nullptr), reinterpret_cast<LPCDLGTEMPLATEA>(dialog_template.data()),
                                   nullptr, ignore_dialog_messages, 0);
    if (dialog == nullptr) {
        ExitProcess(0);
    }
    create_control(dialog, "STATIC", "", log_label_du, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_SUNKEN, IDC_LOG);
    const HWND close_button = create_control(dialog, "BUTTON", "Close", close_button_du,
                                             WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, close_button_id);

    // Now that both controls exist, the real callback takes over and gets its
    // one WM_INITDIALOG, which starts the worker.
    SetWindowLongPtrA(dialog, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(receiver_dialog_callback));
    SendMessageA(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(close_button), 0);

    ShowWindow(dialog, SW_SHOW);
    MSG message;
    while (IsWindow(dialog) && GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(dialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    // The dialog is gone: end at once, whatever the worker is doing.
    ExitProcess(0);
}
