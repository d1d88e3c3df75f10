"""Key names for the desktop harnesses: GNOME's RemoteDesktop takes X keysyms,
KWin's fake input takes evdev codes. Names are the keysyms' own (as wtype -k
takes them); the evdev codes are those of a US keyboard, where each of these
keysyms sits on one key without a modifier."""

_KEYS = {
    # name: (keysym, evdev code)
    "Escape": (0xFF1B, 1),
    "BackSpace": (0xFF08, 14),
    "Tab": (0xFF09, 15),
    "Return": (0xFF0D, 28),
    "Control_L": (0xFFE3, 29),
    "Shift_L": (0xFFE1, 42),
    "Alt_L": (0xFFE9, 56),
    "space": (0x20, 57),
    "Super_L": (0xFFEB, 125),
    "Up": (0xFF52, 103),
    "Left": (0xFF51, 105),
    "Right": (0xFF53, 106),
    "Down": (0xFF54, 108),
}
# Letters by keyboard row (KEY_Q is 16, KEY_A 30, KEY_Z 44), digits 1-9 then 0
# (KEY_1 is 2), F1-F10 (KEY_F1 is 59), F11 and F12 (87, 88).
for _row, _first in (("qwertyuiop", 16), ("asdfghjkl", 30), ("zxcvbnm", 44)):
    for _i, _c in enumerate(_row):
        _KEYS[_c] = (ord(_c), _first + _i)
for _i, _c in enumerate("1234567890"):
    _KEYS[_c] = (ord(_c), 2 + _i)
for _n in range(1, 13):
    _KEYS[f"F{_n}"] = (0xFFBE + _n - 1, 58 + _n if _n <= 10 else 76 + _n)

NAMES = frozenset(_KEYS)


def keysym(name):
    """The X keysym of a key name (KeyError for a name not in the table)."""
    return _KEYS[name][0]


def evdev(name):
    """The evdev code of the key that types this name on a US keyboard."""
    return _KEYS[name][1]
