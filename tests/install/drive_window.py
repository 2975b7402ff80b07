#!/usr/bin/python3
"""Types keys into the X display as a user would (XTEST), for the check of an
installed copy: drive_window.py STEP... where a step is a keysym name,
optionally prefixed with "shift+", "sleep:SECONDS", or "focus", which gives
the keyboard to the topmost mapped top-level window, the one shown last
(there is no window manager to do it)."""
import ctypes
import sys
import time

x11 = ctypes.CDLL("libX11.so.6")
xtst = ctypes.CDLL("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XStringToKeysym.restype = ctypes.c_ulong
x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
x11.XKeysymToKeycode.restype = ctypes.c_ubyte
x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x11.XFlush.argtypes = [ctypes.c_void_p]
xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]

display = x11.XOpenDisplay(None)
if not display:
    sys.exit("drive_window: cannot open the display")


x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                           ctypes.POINTER(ctypes.c_ulong),
                           ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                           ctypes.POINTER(ctypes.c_uint)]
x11.XSetInputFocus.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_ulong]


class WindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int),
                ("height", ctypes.c_int), ("border_width", ctypes.c_int), ("depth", ctypes.c_int),
                ("visual", ctypes.c_void_p), ("root", ctypes.c_ulong), ("c_class", ctypes.c_int),
                ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int),
                ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int),
                ("colormap", ctypes.c_ulong), ("map_installed", ctypes.c_int),
                ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


x11.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                     ctypes.POINTER(WindowAttributes)]
IS_VIEWABLE = 2
REVERT_TO_PARENT = 2


def focus():
    root = x11.XDefaultRootWindow(display)
    root_out, parent = ctypes.c_ulong(), ctypes.c_ulong()
    children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
    x11.XQueryTree(display, root, ctypes.byref(root_out), ctypes.byref(parent),
                   ctypes.byref(children), ctypes.byref(count))
    # Children come bottom to top; menus (override-redirect) are not windows
    # a user gives the keyboard to.
    for i in reversed(range(count.value)):
        attributes = WindowAttributes()
        x11.XGetWindowAttributes(display, children[i], ctypes.byref(attributes))
        if attributes.map_state == IS_VIEWABLE and not attributes.override_redirect:
            x11.XSetInputFocus(display, children[i], REVERT_TO_PARENT, 0)
            x11.XFlush(display)
            time.sleep(0.3)
            return
    sys.exit("drive_window: no window to focus")


def key(code, down):
    xtst.XTestFakeKeyEvent(display, code, 1 if down else 0, 0)
    x11.XFlush(display)
    time.sleep(0.05)


for word in sys.argv[1:]:
    if word.startswith("sleep:"):
        time.sleep(float(word[6:]))
        continue
    if word == "focus":
        focus()
        continue
    shift = word.startswith("shift+")
    name = word[6:] if shift else word
    code = x11.XKeysymToKeycode(display, x11.XStringToKeysym(name.encode()))
    if code == 0:
        sys.exit("drive_window: no key " + name)
    shift_code = x11.XKeysymToKeycode(display, x11.XStringToKeysym(b"Shift_L"))
    if shift:
        key(shift_code, True)
    key(code, True)
    key(code, False)
    if shift:
        key(shift_code, False)
    time.sleep(0.3)
