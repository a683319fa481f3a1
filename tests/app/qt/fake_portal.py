#!/usr/bin/python3
"""A stand-in for the desktop portal's GlobalShortcuts on the session bus, for tests.

Usage: fake_portal.py accept|refuse [CAMERA]. Owns org.freedesktop.portal.Desktop and then
prints "ready"; CreateSession answers with a session (accept) or response 2 (refuse);
BindShortcuts records what it was asked and answers with a trigger description. The interface
dev.corvid.test.FakePortal lets the test read the bound shortcuts (Bound) and send Activated or
Deactivated for the bound shortcut (Emit). With CAMERA, the camera portal's AccessCamera answers
with that response code and prints "AccessCamera"; without it, the camera portal is not served.
"""
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"
PATH = "/org/freedesktop/portal/desktop"


class Request(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, code, results):
        pass


class Portal(dbus.service.Object):
    def __init__(self, bus, accept, camera):
        super().__init__(bus, PATH)
        self.bus = bus
        self.accept = accept
        self.camera = camera
        self.session = None
        self.bound = []

    def answer(self, sender, options, code, results):
        token = str(options["handle_token"])
        path = "%s/request/%s/%s" % (PATH, sender[1:].replace(".", "_"), token)
        request = Request(self.bus, path)
        GLib.idle_add(lambda: request.Response(dbus.UInt32(code), dbus.Dictionary(results, signature="sv")) and False)
        return dbus.ObjectPath(path)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface != SHORTCUTS:
            raise dbus.exceptions.DBusException("no such interface",
                                                name="org.freedesktop.DBus.Error.InvalidArgs")
        return dbus.UInt32(1)

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender):
        if not self.accept:
            return self.answer(sender, options, 2, {})
        self.session = "%s/session/%s/%s" % (PATH, sender[1:].replace(".", "_"),
                                             options["session_handle_token"])
        return self.answer(sender, options, 0, {"session_handle": self.session})

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o",
                         sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent, options, sender):
        self.bound = [(str(i), str(p.get("preferred_trigger", ""))) for i, p in shortcuts]
        reported = [(i, {"description": "d", "trigger_description": "Press Super+Shift+A"})
                    for i, _ in self.bound]
        return self.answer(sender, options, 0,
                           {"shortcuts": dbus.Array(reported, signature="(sa{sv})")})

    @dbus.service.method("org.freedesktop.portal.Camera", in_signature="a{sv}", out_signature="o",
                         sender_keyword="sender")
    def AccessCamera(self, options, sender):
        if self.camera is None:
            raise dbus.exceptions.DBusException("no camera portal",
                                                name="org.freedesktop.DBus.Error.UnknownMethod")
        print("AccessCamera", flush=True)
        return self.answer(sender, options, self.camera, {})

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session, shortcut, timestamp, options):
        pass

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Deactivated(self, session, shortcut, timestamp, options):
        pass

    @dbus.service.method("dev.corvid.test.FakePortal", out_signature="as")
    def Bound(self):
        return ["%s %s" % pair for pair in self.bound]

    @dbus.service.method("dev.corvid.test.FakePortal", in_signature="s")
    def Emit(self, kind):
        signal = self.Activated if kind == "Activated" else self.Deactivated
        signal(dbus.ObjectPath(self.session), self.bound[0][0], dbus.UInt64(0),
               dbus.Dictionary({}, signature="sv"))


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    camera = int(sys.argv[2]) if len(sys.argv) > 2 else None
    portal = Portal(bus, sys.argv[1] == "accept", camera)
    name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
    print("ready", flush=True)
    GLib.MainLoop().run()
    del portal, name


if __name__ == "__main__":
    main()
