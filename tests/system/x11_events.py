"""Small X11 helpers for the system tests, through ctypes and libX11: the
display's bell as XKB reports it, and the close-box request a window
manager sends (WM_DELETE_WINDOW)."""
import ctypes
import ctypes.util
import select
import threading
import time

_x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
_x11.XOpenDisplay.restype = ctypes.c_void_p
_x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
_x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
_x11.XConnectionNumber.argtypes = [ctypes.c_void_p]
_x11.XPending.argtypes = [ctypes.c_void_p]
_x11.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
_x11.XFlush.argtypes = [ctypes.c_void_p]
_x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
_x11.XkbQueryExtension.argtypes = [ctypes.c_void_p] + [ctypes.POINTER(ctypes.c_int)] * 5
_x11.XkbSelectEvents.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_ulong, ctypes.c_ulong]
_x11.XInternAtom.restype = ctypes.c_ulong
_x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
_x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]

_XKB_USE_CORE_KBD = 0x0100
_XKB_BELL_NOTIFY = 8
_XKB_BELL_NOTIFY_MASK = 1 << 8
_CLIENT_MESSAGE = 33


class _XkbAnyEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("time", ctypes.c_ulong), ("xkb_type", ctypes.c_int)]


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("xkb", _XkbAnyEvent), ("xclient", _ClientMessage),
                ("pad", ctypes.c_long * 24)]


def _open(display):
    handle = _x11.XOpenDisplay(display.encode())
    if not handle:
        raise RuntimeError("cannot open display " + display)
    return handle


class BellListener:
    """Counts the display's bells (XKB bell notifications) while it runs."""

    def __init__(self, display):
        self._display = _open(display)
        opcode, event_base, error_base = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        major, minor = ctypes.c_int(1), ctypes.c_int(0)
        if not _x11.XkbQueryExtension(self._display, ctypes.byref(opcode), ctypes.byref(event_base),
                                      ctypes.byref(error_base), ctypes.byref(major), ctypes.byref(minor)):
            raise RuntimeError("the X server has no XKB extension")
        self._event_base = event_base.value
        _x11.XkbSelectEvents(self._display, _XKB_USE_CORE_KBD, _XKB_BELL_NOTIFY_MASK, _XKB_BELL_NOTIFY_MASK)
        _x11.XSync(self._display, 0)
        self._bells = 0
        self._lock = threading.Condition()
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        fd = _x11.XConnectionNumber(self._display)
        event = _XEvent()
        while not self._stop:
            select.select([fd], [], [], 0.1)
            while _x11.XPending(self._display):
                _x11.XNextEvent(self._display, ctypes.byref(event))
                if event.type == self._event_base and event.xkb.xkb_type == _XKB_BELL_NOTIFY:
                    with self._lock:
                        self._bells += 1
                        self._lock.notify_all()

    def bells(self):
        with self._lock:
            return self._bells

    def wait_for_bells(self, count, timeout):
        """True once `count` bells have rung, False when `timeout` passed first."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while self._bells < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._lock.wait(left)
            return True

    def close(self):
        self._stop = True
        self._thread.join()
        _x11.XCloseDisplay(self._display)


def request_close(display, window_id):
    """Sends the window what a window manager sends when its close box is
    clicked: a WM_PROTOCOLS client message with WM_DELETE_WINDOW."""
    handle = _open(display)
    try:
        event = _XEvent()
        event.xclient.type = _CLIENT_MESSAGE
        event.xclient.window = window_id
        event.xclient.message_type = _x11.XInternAtom(handle, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = _x11.XInternAtom(handle, b"WM_DELETE_WINDOW", 0)
        event.xclient.data[1] = 0  # CurrentTime
        _x11.XSendEvent(handle, window_id, 0, 0, ctypes.byref(event))
        _x11.XSync(handle, 0)
    finally:
        _x11.XCloseDisplay(handle)
