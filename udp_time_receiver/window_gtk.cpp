// The receiver window on Linux: a GTK 3 window laid out as the Windows dialog
// is, and what the receive worker may do to it. GTK may be touched only from
// the window's thread, so each worker call is handed to that thread and the
// worker waits until it is done, as it waits for a sent window message.
#include <gtk/gtk.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "label_text.h"
#include "receive_worker.h"
#include "receiver_layout.h"
#include "receiver_window.h"

namespace udp_time_receiver {

namespace {

constexpr char window_title[] = "Quorvant - UDP Time Receiver";

// The dialog's font is an 8-point sans serif with 13-pixel rows. A 10-pixel
// (7.5-point) DejaVu Sans has the same rows, so the label holds eleven, and is
// about as wide, so a line of the broadcaster's frame fits on one row as it
// does on Windows. Buttons shed the theme's padding to fit the dialog's 23
// pixels.
constexpr char window_css[] =
    "* { font-family: Sans; font-size: 10px; }\n"
    "button { min-height: 0; padding: 0 6px; }\n";

// Owned by the window's thread; the worker reaches it only through
// `call_on_window_thread`.
struct WindowState {
    GtkWidget* window = nullptr;
    GtkWidget* label = nullptr;
};

WindowState& state_of(ReceiverWindow window) { return *reinterpret_cast<WindowState*>(window.handle); }

struct WindowCall {
    std::function<void()> work;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
};

gboolean run_window_call(gpointer data)
{
    auto* call = static_cast<WindowCall*>(data);
    call->work();
    {
        const std::lock_guard<std::mutex> lock(call->mutex);
        call->done = true;
    }
    call->finished.notify_one();
    return G_SOURCE_REMOVE;
}

// Runs `work` on the window's thread and waits for it. An idle source is
// always used (never a direct call), since this thread must not touch GTK
// even while the main loop has not started yet. Once the window is gone the
// process ends, so a call that never runs leaves nothing behind.
void call_on_window_thread(std::function<void()> work)
{
    WindowCall call;
    call.work = std::move(work);
    g_idle_add(run_window_call, &call);
    std::unique_lock<std::mutex> lock(call.mutex);
    call.finished.wait(lock, [&call] { return call.done; });
}

void forget_window(GtkWidget*, gpointer data)
{
    auto* state = static_cast<WindowState*>(data);
    state->window = nullptr;
    state->label = nullptr;
    gtk_main_quit();
}

void close_window(WindowState& state)
{
    if (state.window != nullptr) {
        gtk_widget_destroy(state.window);
    }
}

void on_close_clicked(GtkButton*, gpointer data) { close_window(*static_cast<WindowState*>(data)); }

gboolean on_key_press(GtkWidget*, GdkEventKey* event, gpointer data)
{
    if (event->keyval == GDK_KEY_Escape) {
        close_window(*static_cast<WindowState*>(data));
        return TRUE;
    }
    return FALSE;
}

void apply_window_css()
{
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, window_css, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
}

void place(GtkWidget* fixed, GtkWidget* child, const DialogRect& units)
{
    gtk_widget_set_size_request(child, horizontal_pixels(units.width), vertical_pixels(units.height));
    gtk_fixed_put(GTK_FIXED(fixed), child, horizontal_pixels(units.x), vertical_pixels(units.y));
}

// The log label: left-aligned wrapping text in a sunken frame. The scrolled
// window never scrolls and never shows a bar; it only keeps a tall text from
// growing the window, so rows that do not fit are cut off at the bottom.
GtkWidget* build_log_label(GtkWidget* fixed, WindowState& state)
{
    GtkWidget* frame = gtk_frame_new(nullptr);
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_IN);
    GtkWidget* clip = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(clip), GTK_POLICY_NEVER, GTK_POLICY_EXTERNAL);
    state.label = gtk_label_new("");
    gtk_label_set_xalign(GTK_LABEL(state.label), 0.0f);
    gtk_label_set_yalign(GTK_LABEL(state.label), 0.0f);
    gtk_label_set_line_wrap(GTK_LABEL(state.label), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(state.label), PANGO_WRAP_WORD_CHAR);
    gtk_widget_set_valign(state.label, GTK_ALIGN_START);
    gtk_container_add(GTK_CONTAINER(clip), state.label);
    gtk_viewport_set_shadow_type(GTK_VIEWPORT(gtk_bin_get_child(GTK_BIN(clip))), GTK_SHADOW_NONE);
    gtk_container_add(GTK_CONTAINER(frame), clip);
    place(fixed, frame, log_label_du);
    return frame;
}

void build_window(WindowState& state)
{
    apply_window_css();
    state.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* window = GTK_WINDOW(state.window);
    gtk_window_set_title(window, window_title);
    gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);  // no minimise or maximise
    gtk_window_set_resizable(window, FALSE);
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);

    GtkWidget* fixed = gtk_fixed_new();
    gtk_widget_set_size_request(fixed, horizontal_pixels(dialog_width_du), vertical_pixels(dialog_height_du));
    build_log_label(fixed, state);
    GtkWidget* close_button = gtk_button_new_with_label("Close");
    place(fixed, close_button, close_button_du);
    gtk_container_add(GTK_CONTAINER(state.window), fixed);
    gtk_widget_grab_focus(close_button);

    g_signal_connect(close_button, "clicked", G_CALLBACK(on_close_clicked), &state);
    g_signal_connect(state.window, "key-press-event", G_CALLBACK(on_key_press), &state);
    g_signal_connect(state.window, "destroy", G_CALLBACK(forget_window), &state);
}

}  // namespace

void show_log(ReceiverWindow window, const std::string& log_text)
{
    // GTK breaks lines only at line feeds and takes UTF-8; the log keeps its
    // carriage returns and ANSI bytes, only the label's copy is converted.
    std::string shown = label_display_text(log_text);
    WindowState& state = state_of(window);
    call_on_window_thread([&state, &shown] {
        if (state.label != nullptr) {
            gtk_label_set_text(GTK_LABEL(state.label), shown.c_str());
        }
    });
}

int read_window_alive(ReceiverWindow window)
{
    WindowState& state = state_of(window);
    int height_px = 0;
    call_on_window_thread([&state, &height_px] {
        if (state.window != nullptr) {
            gtk_window_get_size(GTK_WINDOW(state.window), nullptr, &height_px);
        }
    });
    // Pixels back to dialog units, rounded, with the font's 13 pixels per 8.
    return (height_px * 16 + font_height_px) / (2 * font_height_px);
}

void sound_failure_beep(ReceiverWindow)
{
    call_on_window_thread([] { gdk_display_beep(gdk_display_get_default()); });
}

void request_window_close(ReceiverWindow window)
{
    WindowState& state = state_of(window);
    call_on_window_thread([&state] {
        if (state.window != nullptr) {
            gtk_window_close(GTK_WINDOW(state.window));  // as the close box does
        }
    });
}

}  // namespace udp_time_receiver

int main(int argc, char** argv)
{
    using namespace udp_time_receiver;
    // Without a display there is no window to show, and nothing to report.
    if (!gtk_init_check(&argc, &argv)) {
        return 0;
    }
    static WindowState state;
    build_window(state);
    std::thread(receive_worker, ReceiverWindow{reinterpret_cast<std::intptr_t>(&state)}).detach();
    gtk_widget_show_all(state.window);
    gtk_main();
    // The window is gone: end at once, whatever the worker is doing.
    std::_Exit(0);
}
