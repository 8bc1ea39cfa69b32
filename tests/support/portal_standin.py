#!/usr/bin/python3
"""A stand-in for a desktop's portal back end, for the tests of the agent's portal path.

The real xdg-desktop-portal front end talks to a back end (xdg-desktop-portal-gnome, -kde,
...) through the org.freedesktop.impl.portal.* interfaces. This program is such a back end,
found by the front end through its own .portal file (XDG_DESKTOP_PORTAL_DIR, UseIn matched
against XDG_CURRENT_DESKTOP). Where GNOME's back end shows a dialog and then records the
monitors through Mutter, this one waits until the test answers in place of the person
(org.velmo.StandIn.Answer), then records the headless Mutter's monitor through Mutter's own
screen cast, as GNOME's back end does: the PipeWire stream is a real one. Input calls are
recorded and passed on to Mutter's remote-desktop session, so they reach real windows.

A session restored from a token (the front end hands the back end its restore data) is
answered at once, without waiting, as a desktop does for a permission given before.

    portal_standin.py [--position X,Y] [--size WxH] [--types 3]
"""
import argparse
import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BUS_NAME = "org.velmo.StandInPortal"
PATH = "/org/freedesktop/portal/desktop"
SC = "org.freedesktop.impl.portal.ScreenCast"
RD = "org.freedesktop.impl.portal.RemoteDesktop"
PROPS = "org.freedesktop.DBus.Properties"
CONTROL = "org.velmo.StandIn"
MUTTER_RD = "org.gnome.Mutter.RemoteDesktop"
MUTTER_SC = "org.gnome.Mutter.ScreenCast"


def plain(v):
    """D-Bus values as JSON-friendly Python values."""
    if isinstance(v, (dbus.Dictionary, dict)):
        return {str(k): plain(x) for k, x in v.items()}
    if isinstance(v, (dbus.Array, dbus.Struct, list, tuple)):
        return [plain(x) for x in v]
    if isinstance(v, (dbus.Boolean, bool)):
        return bool(v)
    if isinstance(v, (dbus.Double, float)):
        return float(v)
    if isinstance(v, (dbus.String, dbus.ObjectPath, str)):
        return str(v)
    return int(v)


class RequestHandle(dbus.service.Object):
    """A Request of the back end, as the front end expects one."""

    def __init__(self, portal, path):
        super().__init__(portal.bus, path)
        self.portal = portal
        self.path = str(path)

    @dbus.service.method("org.freedesktop.impl.portal.Request", in_signature="", out_signature="")
    def Close(self):
        self.portal.record("Request.Close", [self.path])


class SessionHandle(dbus.service.Object):
    """A Session of the back end, with the Mutter sessions that serve it."""

    def __init__(self, portal, path, remote_desktop):
        super().__init__(portal.bus, path)
        self.portal = portal
        self.path = str(path)
        self.remote_desktop = remote_desktop
        self.mutter_rd = None
        self.mutter_sc = None
        self.stream_path = None
        self.node = 0
        self.options = {}

    @dbus.service.method("org.freedesktop.impl.portal.Session", in_signature="", out_signature="")
    def Close(self):
        self.portal.record("Session.Close", [self.path])
        self.stop()

    @dbus.service.signal("org.freedesktop.impl.portal.Session", signature="")
    def Closed(self):
        pass

    def stop(self):
        quiet = {"reply_handler": lambda: None, "error_handler": lambda e: None}
        if self.mutter_rd:
            self.portal.bus.get_object(MUTTER_RD, self.mutter_rd).Stop(dbus_interface=MUTTER_RD + ".Session",
                                                                       **quiet)
        elif self.mutter_sc:
            self.portal.bus.get_object(MUTTER_SC, self.mutter_sc).Stop(dbus_interface=MUTTER_SC + ".Session",
                                                                       **quiet)
        self.mutter_rd = self.mutter_sc = None
        self.portal.sessions.pop(self.path, None)
        try:
            self.remove_from_connection()
        except LookupError:
            pass


class ScreenCastPart(dbus.service.Object):
    """org.freedesktop.impl.portal.ScreenCast. Its CreateSession and Start share their names
    with RemoteDesktop's: dbus-python finds a method by name and interface along the class
    hierarchy, so each interface's methods live in a class of their own."""

    @dbus.service.method(SC, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session_handle, app_id, options):
        return self.create("ScreenCast", handle, session_handle, app_id, options)

    @dbus.service.method(SC, in_signature="oosa{sv}", out_signature="ua{sv}")
    def SelectSources(self, handle, session_handle, app_id, options):
        self.record("ScreenCast.SelectSources", [session_handle, app_id, options])
        s = self.sessions.get(str(session_handle))
        if s:
            s.options.update(options)
        return dbus.UInt32(0), dbus.Dictionary({}, signature="sv")

    @dbus.service.method(SC, in_signature="oossa{sv}", out_signature="ua{sv}", async_callbacks=("reply", "error"))
    def Start(self, handle, session_handle, app_id, parent_window, options, reply, error):
        self.start("ScreenCast", handle, session_handle, app_id, options, reply, error)


def forwarded(name, signature, to_mutter):
    """A Notify* method of RemoteDesktop: recorded, then passed on to Mutter's session."""
    def handle(self, session_handle, args):
        self.record(name, list(args))
        s = self.sessions.get(str(session_handle))
        call = to_mutter(s, *args) if s and s.mutter_rd else None
        if call:
            target = self.bus.get_object(MUTTER_RD, s.mutter_rd)
            getattr(target, call[0])(*call[1:], dbus_interface=MUTTER_RD + ".Session",
                                     reply_handler=lambda *a: None,
                                     error_handler=lambda e: print("stand-in portal:", name, e, file=sys.stderr))

    # dbus-python counts a method's parameters against its signature: no *args.
    if len(signature) == 2:
        def fn(self, session_handle, options, a, b):
            handle(self, session_handle, [a, b])
    else:
        def fn(self, session_handle, options, a, b, c):
            handle(self, session_handle, [a, b, c])
    fn.__name__ = name
    return dbus.service.method(RD, in_signature="oa{sv}" + signature, out_signature="")(fn)


class Portal(ScreenCastPart):
    def __init__(self, bus, args):
        super().__init__(bus, PATH)
        self.bus = bus
        self.args = args
        self.position = tuple(int(x) for x in args.position.split(","))
        self.size = tuple(int(x) for x in args.size.split("x"))
        self.sessions = {}
        self.requests = []
        self.calls = []
        self.pending = None  # (session, reply) of a Start that waits for the answer

    def record(self, method, args):
        self.calls.append({"m": method, "a": plain(args)})

    # --- properties ---
    def props(self, interface):
        if interface == SC:
            return {"version": dbus.UInt32(4), "AvailableSourceTypes": dbus.UInt32(1),
                    "AvailableCursorModes": dbus.UInt32(1 | 2)}
        if interface == RD:
            return {"version": dbus.UInt32(1), "AvailableDeviceTypes": dbus.UInt32(1 | 2)}
        return {}

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.props(interface)[name]

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return dbus.Dictionary(self.props(interface), signature="sv")

    # --- sessions ---
    def create(self, kind, handle, session_handle, app_id, options):
        self.record(kind + ".CreateSession", [session_handle, app_id, options])
        self.requests.append(RequestHandle(self, handle))
        self.sessions[str(session_handle)] = SessionHandle(self, session_handle, kind == "RemoteDesktop")
        return dbus.UInt32(0), dbus.Dictionary({}, signature="sv")

    def start(self, kind, handle, session_handle, app_id, options, reply, error):
        self.record(kind + ".Start", [session_handle, app_id, options])
        s = self.sessions.get(str(session_handle))
        if not s:
            reply(dbus.UInt32(2), dbus.Dictionary({}, signature="sv"))
        elif "restore_data" in s.options:
            self.begin(s, 0, reply)  # allowed before: no dialog
        else:
            self.pending = (s, reply)  # the dialog is up until the test answers

    def begin(self, s, code, reply):
        empty = dbus.Dictionary({}, signature="sv")
        if code != 0:
            reply(dbus.UInt32(code), empty)
            return
        try:
            props = {}
            if s.remote_desktop:
                s.mutter_rd = self.bus.get_object(MUTTER_RD, "/org/gnome/Mutter/RemoteDesktop").CreateSession(
                    dbus_interface=MUTTER_RD)
                props["remote-desktop-session-id"] = self.bus.get_object(MUTTER_RD, s.mutter_rd).Get(
                    MUTTER_RD + ".Session", "SessionId", dbus_interface=PROPS)
            s.mutter_sc = self.bus.get_object(MUTTER_SC, "/org/gnome/Mutter/ScreenCast").CreateSession(
                dbus.Dictionary(props, signature="sv"), dbus_interface=MUTTER_SC)
            s.stream_path = self.bus.get_object(MUTTER_SC, s.mutter_sc).RecordMonitor(
                "", dbus.Dictionary({"cursor-mode": dbus.UInt32(1)}, signature="sv"),
                dbus_interface=MUTTER_SC + ".Session")
        except dbus.DBusException as e:
            print("stand-in portal: Mutter refused:", e, file=sys.stderr)
            reply(dbus.UInt32(2), empty)
            return

        def added(node):
            s.node = int(node)
            stream = dbus.Struct((dbus.UInt32(node), dbus.Dictionary({
                "position": dbus.Struct((dbus.Int32(self.position[0]), dbus.Int32(self.position[1]))),
                "size": dbus.Struct((dbus.Int32(self.size[0]), dbus.Int32(self.size[1]))),
                "source_type": dbus.UInt32(1)}, signature="sv")))
            results = {"streams": dbus.Array([stream], signature="(ua{sv})")}
            if s.remote_desktop:
                results["devices"] = dbus.UInt32(self.args.types)
            persist = int(s.options.get("persist_mode", 0))
            if persist:
                results["persist_mode"] = dbus.UInt32(persist)
                results["restore_data"] = dbus.Struct(
                    ("velmo-standin", dbus.UInt32(1), dbus.String("Meta-0", variant_level=1)), signature="suv")
            self.record("Started", [s.path, s.node])
            reply(dbus.UInt32(0), dbus.Dictionary(results, signature="sv"))

        self.bus.add_signal_receiver(added, "PipeWireStreamAdded", MUTTER_SC + ".Stream", MUTTER_SC, s.stream_path)
        if s.remote_desktop:
            rd = self.bus.get_object(MUTTER_RD, s.mutter_rd)
            rd.Start(dbus_interface=MUTTER_RD + ".Session")
            # Mutter makes its virtual devices on their first use and drops what comes before
            # they are in place: made now, by a motion of nothing and a Shift tap.
            rd.NotifyPointerMotionRelative(0.0, 0.0, dbus_interface=MUTTER_RD + ".Session")
            rd.NotifyKeyboardKeycode(dbus.UInt32(42), True, dbus_interface=MUTTER_RD + ".Session")
            rd.NotifyKeyboardKeycode(dbus.UInt32(42), False, dbus_interface=MUTTER_RD + ".Session")
        else:
            self.bus.get_object(MUTTER_SC, s.mutter_sc).Start(dbus_interface=MUTTER_SC + ".Session")

    # --- org.freedesktop.impl.portal.RemoteDesktop ---
    @dbus.service.method(RD, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session_handle, app_id, options):
        return self.create("RemoteDesktop", handle, session_handle, app_id, options)

    @dbus.service.method(RD, in_signature="oosa{sv}", out_signature="ua{sv}")
    def SelectDevices(self, handle, session_handle, app_id, options):
        self.record("RemoteDesktop.SelectDevices", [session_handle, app_id, options])
        s = self.sessions.get(str(session_handle))
        if s:
            s.options.update({k: v for k, v in options.items() if k != "types"})
        return dbus.UInt32(0), dbus.Dictionary({}, signature="sv")

    @dbus.service.method(RD, in_signature="oossa{sv}", out_signature="ua{sv}", async_callbacks=("reply", "error"))
    def Start(self, handle, session_handle, app_id, parent_window, options, reply, error):
        self.start("RemoteDesktop", handle, session_handle, app_id, options, reply, error)

    NotifyPointerMotion = forwarded("NotifyPointerMotion", "dd",
                                    lambda s, dx, dy: ("NotifyPointerMotionRelative", dx, dy))
    NotifyPointerMotionAbsolute = forwarded(
        "NotifyPointerMotionAbsolute", "udd",
        lambda s, stream, x, y: ("NotifyPointerMotionAbsolute", s.stream_path, x, y) if int(stream) == s.node else None)
    NotifyPointerButton = forwarded("NotifyPointerButton", "iu",
                                    lambda s, b, st: ("NotifyPointerButton", b, bool(st)))
    NotifyPointerAxis = forwarded("NotifyPointerAxis", "ddu",
                                  lambda s, dx, dy, flags: ("NotifyPointerAxis", dx, dy, dbus.UInt32(flags)))
    NotifyPointerAxisDiscrete = forwarded("NotifyPointerAxisDiscrete", "ui",
                                          lambda s, axis, steps: ("NotifyPointerAxisDiscrete", axis, steps))
    NotifyKeyboardKeycode = forwarded("NotifyKeyboardKeycode", "iu",
                                      lambda s, k, st: ("NotifyKeyboardKeycode", dbus.UInt32(k), bool(st)))
    NotifyKeyboardKeysym = forwarded("NotifyKeyboardKeysym", "iu",
                                     lambda s, k, st: ("NotifyKeyboardKeysym", dbus.UInt32(k), bool(st)))

    # --- control, for the test ---
    @dbus.service.method(CONTROL, in_signature="", out_signature="b")
    def Pending(self):
        return self.pending is not None

    @dbus.service.method(CONTROL, in_signature="u", out_signature="b")
    def Answer(self, code):
        """The person at the desktop answers the dialog: 0 share, 1 cancel, 2 other."""
        if not self.pending:
            return False
        s, reply = self.pending
        self.pending = None
        self.begin(s, int(code), reply)
        return True

    @dbus.service.method(CONTROL, in_signature="", out_signature="s")
    def Calls(self):
        return json.dumps(self.calls)

    @dbus.service.method(CONTROL, in_signature="", out_signature="u")
    def CloseSessions(self):
        """The desktop ends every session (its user stopped sharing)."""
        sessions = list(self.sessions.values())
        for s in sessions:
            s.Closed()
            s.stop()
        return dbus.UInt32(len(sessions))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--position", default="0,0")
    parser.add_argument("--size", default="1280x720")
    parser.add_argument("--types", type=int, default=3)
    args = parser.parse_args()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    portal = Portal(bus, args)
    name = dbus.service.BusName(BUS_NAME, bus)
    print("stand-in portal ready", flush=True)
    GLib.MainLoop().run()
    del portal, name


if __name__ == "__main__":
    main()
