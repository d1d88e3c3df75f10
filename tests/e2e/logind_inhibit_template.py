"""dbusmock's logind, whose BlockInhibited follows its block inhibitors and is
announced with PropertiesChanged, as systemd-logind's is: what
`systemd-inhibit --what=idle` changes. Used as `--template PATH`."""
import os

import dbus
from gi.repository import GLib

from dbusmock.templates.logind import *  # noqa: F401,F403  the rest of logind
from dbusmock.templates.logind import MAIN_IFACE, load as logind_load

INHIBITORS = []


def load(mock, parameters):
    logind_load(mock, parameters)
    mock.AddProperty(MAIN_IFACE, "BlockInhibited", dbus.String(""))


def announce(mock):
    what = sorted({w for (whats, _, _, mode, _, _) in INHIBITORS if mode == "block"
                   for w in whats.split(":")})
    mock.UpdateProperties(MAIN_IFACE, {"BlockInhibited": dbus.String(":".join(what))})


@dbus.service.method(MAIN_IFACE, in_signature="ssss", out_signature="h")
def Inhibit(self, what, who, why, mode):
    fd_r, fd_w = os.pipe()
    inhibitor = (what, who, why, mode, 1000, 123456)
    INHIBITORS.append(inhibitor)
    announce(self)

    def dropped(fd, _condition):
        os.close(fd)
        INHIBITORS.remove(inhibitor)
        announce(self)
        return False

    GLib.unix_fd_add_full(GLib.PRIORITY_HIGH, fd_r, GLib.IO_HUP, dropped)
    GLib.idle_add(os.close, fd_w)
    return fd_w


@dbus.service.method(MAIN_IFACE, in_signature="", out_signature="a(ssssuu)")
def ListInhibitors(_):
    return INHIBITORS
