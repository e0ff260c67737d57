#!/usr/bin/python3
"""A StatusNotifierWatcher with a host, as a desktop's panel would run it, on
the session bus of DBUS_SESSION_BUS_ADDRESS. Each item that registers is read
the way a host reads it (its properties, its menu over com.canonical.dbusmenu)
and reported on stdout, one JSON object a line. With --click LABEL the menu
entry of that label is then chosen as a host does it ("opened", "clicked").
"""
import argparse
import json
import sys
import threading
import time

from gi.repository import Gio, GLib

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
"""

args = argparse.ArgumentParser()
args.add_argument("--click", help="menu entry to choose once the item is read")
opts = args.parse_args()
items = []
loop = GLib.MainLoop()


def say(**fields):
    print(json.dumps(fields, ensure_ascii=False), flush=True)


def call(bus, name, path, iface, method, params, reply_type):
    return bus.call_sync(name, path, iface, method, params, GLib.VariantType(reply_type),
                         Gio.DBusCallFlags.NONE, 5000, None).unpack()


def labels(layout):
    """(id, label, enabled, visible) of each entry below the root, in order."""
    out = []
    for child in layout[2]:
        cid, props, _ = child
        if props.get("type") == "separator":
            out.append([cid, "-", True, props.get("visible", True)])
        else:
            out.append([cid, props.get("label", ""), props.get("enabled", True),
                        props.get("visible", True)])
    return out


def read_item(bus, sender, service):
    # A service argument may be a bus name or an object path of the sender.
    name, path = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
    try:
        # The menu may come a moment later (a host hears of it by NewMenu).
        for _ in range(25):
            (props,) = call(bus, name, path, "org.freedesktop.DBus.Properties", "GetAll",
                            GLib.Variant("(s)", (ITEM,)), "(a{sv})")
            if props.get("Menu", "/NO_DBUSMENU") != "/NO_DBUSMENU":
                break
            time.sleep(0.2)
        tip = props.get("ToolTip")
        say(item=service, title=props.get("Title"), id=props.get("Id"),
            status=props.get("Status"), icon_name=props.get("IconName"),
            icon_pixmaps=[[w, h, len(data)] for w, h, data in props.get("IconPixmap", [])],
            tooltip=tip[2] if tip else None, menu=props.get("Menu"),
            item_is_menu=props.get("ItemIsMenu"))
        menu = props.get("Menu")
        if not menu or menu == "/NO_DBUSMENU":
            return
        call(bus, name, menu, MENU, "AboutToShow", GLib.Variant("(i)", (0,)), "(b)")
        _, layout = call(bus, name, menu, MENU, "GetLayout",
                         GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")
        entries = labels(layout)
        say(menu_entries=entries)
        if opts.click:
            for cid, label, _, _ in entries:
                if label == opts.click:
                    bus.call_sync(name, menu, MENU, "Event",
                                  GLib.Variant("(isvu)", (0, "opened", GLib.Variant("i", 0), 0)),
                                  None, Gio.DBusCallFlags.NONE, 5000, None)
                    bus.call_sync(name, menu, MENU, "Event",
                                  GLib.Variant("(isvu)", (cid, "clicked", GLib.Variant("i", 0), 0)),
                                  None, Gio.DBusCallFlags.NONE, 5000, None)
                    say(clicked=label)
    except GLib.Error as e:
        say(error=e.message)


def on_call(bus, sender, path, iface, method, params, invocation):
    if method == "RegisterStatusNotifierItem":
        (service,) = params.unpack()
        items.append(service)
        invocation.return_value(None)
        bus.emit_signal(None, "/StatusNotifierWatcher", WATCHER, "StatusNotifierItemRegistered",
                        GLib.Variant("(s)", (service,)))
        say(registered=service, sender=sender)
        # Read from a thread: the item's program may meanwhile call the
        # watcher, which must go on answering.
        threading.Thread(target=read_item, args=(bus, sender, service), daemon=True).start()
    else:
        invocation.return_value(None)


def on_get(bus, sender, path, iface, prop):
    return {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
            "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
            "ProtocolVersion": GLib.Variant("i", 0)}.get(prop)


def on_bus(bus, name):
    node = Gio.DBusNodeInfo.new_for_xml(XML)
    bus.register_object("/StatusNotifierWatcher", node.interfaces[0], on_call, on_get, None)


Gio.bus_own_name(Gio.BusType.SESSION, WATCHER, Gio.BusNameOwnerFlags.NONE, on_bus,
                 lambda bus, name: say(ready=True), lambda bus, name: (say(lost=name), loop.quit()))
try:
    loop.run()
except KeyboardInterrupt:
    sys.exit(0)
