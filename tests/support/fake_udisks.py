#!/usr/bin/python3
"""A fake UDisks2 service for tests (needs Debian's python3-dbus and python3-gi).

    /usr/bin/python3 fake_udisks.py --address ADDRESS

Owns org.freedesktop.UDisks2 on the bus at ADDRESS (e.g. a private
`dbus-daemon --session --print-address --nofork`), prints "ready" on stdout
once it does, and exits when its stdin closes, when the bus goes away, on
SIGTERM or when told to Quit. The ObjectManager at /org/freedesktop/UDisks2
serves drives (/org/freedesktop/UDisks2/drives/ID) and block devices
(/org/freedesktop/UDisks2/block_devices/ID) with the interfaces and properties
UDisks2 has (Block, Drive, Partition, Filesystem), a Properties interface,
Filesystem.Unmount and Block.OpenDevice.

Control: object /org/imagewriter/FakeUDisks2, interface
org.imagewriter.FakeUDisks2, on the same bus name. Every change emits the
signals UDisks2 would (InterfacesAdded/Removed, PropertiesChanged):
  AddDrive(s id, s connection_bus, s vendor, s model, t size)
  AddBlock(s id, ay device, t size, s drive_id, s table_block_id,
           b filesystem, aay mount_points)
      drive_id "" -> Drive "/"; table_block_id "" -> no Partition interface;
      filesystem false -> no Filesystem interface. Device and mount points
      are byte strings (a NUL is appended).
  AddObject(o path, a{sa{sv}} interfaces)      any object, verbatim (hostile
                                               values, missing properties)
  SetProperty(o path, s interface, s name, v value)
  InvalidateProperty(o path, s interface, s name)  removes it, sends it as
                                               invalidated
  RemoveInterface(o path, s interface)
  RemoveObject(o path)
  SetUnmountError(o path, s error_name, s message)   "" clears; then every
                                               Unmount of that block fails
  SetOpenError(o path, s error_name, s message)      same for OpenDevice
  UnmountLog() -> a(sb)                        (block path, force) per call
  Quit()                                       leaves the bus after replying

A block whose Device names a real block device node is backed by it:
Unmount really unmounts its mount points (umount; with force, a lazy umount
when the plain one fails) and OpenDevice really opens the node.
"""

import argparse
import os
import signal
import stat
import subprocess
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.UDisks2"
ROOT = "/org/freedesktop/UDisks2"
OM = "org.freedesktop.DBus.ObjectManager"
PROPS = "org.freedesktop.DBus.Properties"
BLOCK = "org.freedesktop.UDisks2.Block"
DRIVE = "org.freedesktop.UDisks2.Drive"
PARTITION = "org.freedesktop.UDisks2.Partition"
FILESYSTEM = "org.freedesktop.UDisks2.Filesystem"
CONTROL = "org.imagewriter.FakeUDisks2"
CONTROL_PATH = "/org/imagewriter/FakeUDisks2"


def plain(value):
    """A received value as a new object without variant nesting."""
    if isinstance(value, dbus.ByteArray):
        return dbus.ByteArray(bytes(value))
    if isinstance(value, dbus.Array):
        return dbus.Array([plain(v) for v in value], signature=value.signature)
    if isinstance(value, dbus.Dictionary):
        return dbus.Dictionary({k: plain(v) for k, v in value.items()}, signature=value.signature)
    if isinstance(value, dbus.Struct):
        return dbus.Struct([plain(v) for v in value])
    if isinstance(value, dbus.Boolean):
        return dbus.Boolean(bool(value))
    return type(value)(value)


def nul_bytes(data):
    return dbus.ByteArray(bytes(data) + b"\0")


class Error(dbus.DBusException):
    def __init__(self, name, message):
        super().__init__(message, name=name)


class FakeObject(dbus.service.Object):
    def __init__(self, fake, path, interfaces):
        super().__init__(fake.bus, path)
        self.fake = fake
        self.path = path
        self.interfaces = interfaces  # name -> {property: value}

    def _interface(self, name):
        if name not in self.interfaces:
            raise Error("org.freedesktop.DBus.Error.UnknownInterface", "no interface " + name)
        return self.interfaces[name]

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        props = self._interface(interface)
        if name not in props:
            raise Error("org.freedesktop.DBus.Error.UnknownProperty", "no property " + name)
        return props[name]

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return dbus.Dictionary(self._interface(interface), signature="sv")

    @dbus.service.signal(PROPS, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.method(FILESYSTEM, in_signature="a{sv}", out_signature="")
    def Unmount(self, options):
        fs = self._interface(FILESYSTEM)
        force = bool(options.get("force", False))
        self.fake.unmount_log.append((self.path, force))
        error = self.fake.unmount_errors.get(self.path)
        if error:
            raise Error(*error)
        points = [bytes(p).rstrip(b"\0") for p in fs.get("MountPoints", [])]
        if not points:
            raise Error("org.freedesktop.UDisks2.Error.NotMounted", "not mounted")
        if self._real_device():
            for point in points:
                done = subprocess.run(["umount", point]).returncode == 0
                if not done and force:
                    done = subprocess.run(["umount", "-l", point]).returncode == 0
                if not done:
                    raise Error("org.freedesktop.UDisks2.Error.Failed",
                                "Error unmounting %s" % point.decode(errors="replace"))
        fs["MountPoints"] = dbus.Array([], signature="ay")
        self.PropertiesChanged(FILESYSTEM, {"MountPoints": fs["MountPoints"]}, [])

    @dbus.service.method(BLOCK, in_signature="sa{sv}", out_signature="h")
    def OpenDevice(self, mode, options):
        self._interface(BLOCK)
        error = self.fake.open_errors.get(self.path)
        if error:
            raise Error(*error)
        modes = {"r": os.O_RDONLY, "w": os.O_WRONLY, "rw": os.O_RDWR}
        if mode not in modes:
            raise Error("org.freedesktop.UDisks2.Error.Failed", "bad mode " + mode)
        device = self._real_device()
        if not device:
            raise Error("org.freedesktop.UDisks2.Error.Failed", "no device node")
        try:
            fd = os.open(device, modes[mode] | int(options.get("flags", 0)))
        except OSError as e:
            raise Error("org.freedesktop.UDisks2.Error.Failed",
                        "Error opening device %s: %s" % (device, e.strerror))
        try:
            return dbus.types.UnixFd(fd)
        finally:
            os.close(fd)

    def _real_device(self):
        device = bytes(self.interfaces.get(BLOCK, {}).get("Device", b"")).rstrip(b"\0")
        try:
            return device if device and stat.S_ISBLK(os.stat(device).st_mode) else None
        except OSError:
            return None


class Fake(dbus.service.Object):
    def __init__(self, bus, loop):
        self.bus = bus
        self.loop = loop
        self.objects = {}
        self.unmount_errors = {}
        self.open_errors = {}
        self.unmount_log = []
        self.manager = Manager(self)
        super().__init__(bus, CONTROL_PATH)

    def add(self, path, interfaces):
        path = str(path)
        obj = self.objects.get(path)
        if obj is None:
            obj = FakeObject(self, path, {})
            self.objects[path] = obj
        for name, props in interfaces.items():
            obj.interfaces[str(name)] = {str(k): v for k, v in props.items()}
        self.manager.InterfacesAdded(path, {n: dbus.Dictionary(p, signature="sv")
                                            for n, p in interfaces.items()})

    def _object(self, path):
        obj = self.objects.get(str(path))
        if obj is None:
            raise Error("org.freedesktop.DBus.Error.UnknownObject", "no object " + str(path))
        return obj

    @dbus.service.method(CONTROL, in_signature="sssst", out_signature="")
    def AddDrive(self, drive_id, connection_bus, vendor, model, size):
        self.add(ROOT + "/drives/" + drive_id, {DRIVE: {
            "ConnectionBus": dbus.String(connection_bus),
            "Vendor": dbus.String(vendor),
            "Model": dbus.String(model),
            "Size": dbus.UInt64(size),
            "Removable": dbus.Boolean(True),
        }})

    @dbus.service.method(CONTROL, in_signature="saytssbaay", out_signature="", byte_arrays=True)
    def AddBlock(self, block_id, device, size, drive_id, table_id, filesystem, mount_points):
        interfaces = {BLOCK: {
            "Device": nul_bytes(device),
            "Size": dbus.UInt64(size),
            "Drive": dbus.ObjectPath(ROOT + "/drives/" + drive_id if drive_id else "/"),
        }}
        if table_id:
            interfaces[PARTITION] = {
                "Table": dbus.ObjectPath(ROOT + "/block_devices/" + table_id),
                "Number": dbus.UInt32(0),
            }
        if filesystem:
            interfaces[FILESYSTEM] = {
                "MountPoints": dbus.Array([nul_bytes(p) for p in mount_points], signature="ay"),
            }
        self.add(ROOT + "/block_devices/" + block_id, interfaces)

    @dbus.service.method(CONTROL, in_signature="oa{sa{sv}}", out_signature="")
    def AddObject(self, path, interfaces):
        self.add(path, {str(n): {str(k): plain(v) for k, v in p.items()}
                        for n, p in interfaces.items()})

    @dbus.service.method(CONTROL, in_signature="ossv", out_signature="")
    def SetProperty(self, path, interface, name, value):
        obj = self._object(path)
        value = plain(value)
        obj._interface(interface)[str(name)] = value
        obj.PropertiesChanged(interface, dbus.Dictionary({name: value}, signature="sv"), [])

    @dbus.service.method(CONTROL, in_signature="oss", out_signature="")
    def InvalidateProperty(self, path, interface, name):
        obj = self._object(path)
        obj._interface(interface).pop(str(name), None)
        obj.PropertiesChanged(interface, dbus.Dictionary({}, signature="sv"), [name])

    @dbus.service.method(CONTROL, in_signature="os", out_signature="")
    def RemoveInterface(self, path, interface):
        obj = self._object(path)
        obj.interfaces.pop(str(interface), None)
        self.manager.InterfacesRemoved(path, [interface])
        if not obj.interfaces:
            self._drop(obj)

    @dbus.service.method(CONTROL, in_signature="o", out_signature="")
    def RemoveObject(self, path):
        obj = self._object(path)
        names = list(obj.interfaces)
        self._drop(obj)
        self.manager.InterfacesRemoved(path, dbus.Array(names, signature="s"))

    def _drop(self, obj):
        del self.objects[obj.path]
        obj.remove_from_connection()

    @dbus.service.method(CONTROL, in_signature="oss", out_signature="")
    def SetUnmountError(self, path, error_name, message):
        if error_name:
            self.unmount_errors[str(path)] = (str(error_name), str(message))
        else:
            self.unmount_errors.pop(str(path), None)

    @dbus.service.method(CONTROL, in_signature="oss", out_signature="")
    def SetOpenError(self, path, error_name, message):
        if error_name:
            self.open_errors[str(path)] = (str(error_name), str(message))
        else:
            self.open_errors.pop(str(path), None)

    @dbus.service.method(CONTROL, in_signature="", out_signature="a(sb)")
    def UnmountLog(self):
        return dbus.Array([dbus.Struct((p, f), signature="sb") for p, f in self.unmount_log],
                          signature="(sb)")

    @dbus.service.method(CONTROL, in_signature="", out_signature="")
    def Quit(self):
        GLib.idle_add(self.loop.quit)


class Manager(dbus.service.Object):
    def __init__(self, fake):
        super().__init__(fake.bus, ROOT)
        self.fake = fake

    @dbus.service.method(OM, in_signature="", out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        return dbus.Dictionary(
            {dbus.ObjectPath(path): dbus.Dictionary(
                {n: dbus.Dictionary(p, signature="sv") for n, p in obj.interfaces.items()},
                signature="sa{sv}")
             for path, obj in self.fake.objects.items()},
            signature="oa{sa{sv}}")

    @dbus.service.signal(OM, signature="oa{sa{sv}}")
    def InterfacesAdded(self, path, interfaces):
        pass

    @dbus.service.signal(OM, signature="oas")
    def InterfacesRemoved(self, path, interfaces):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", required=True, help="D-Bus address of the bus to serve on")
    args = parser.parse_args()

    DBusGMainLoop(set_as_default=True)
    loop = GLib.MainLoop()
    bus = dbus.bus.BusConnection(args.address)
    bus.call_on_disconnection(lambda _: loop.quit())
    fake = Fake(bus, loop)
    if bus.request_name(NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE) != dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
        print("could not own " + NAME, file=sys.stderr)
        return 1

    # The parent (a test) holds our stdin: when it dies, so do we.
    def on_stdin(_fd, _condition):
        if os.read(0, 4096):
            return True
        loop.quit()
        return False

    if not os.isatty(0):
        GLib.io_add_watch(0, GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, on_stdin)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print("ready", flush=True)
    loop.run()
    del fake
    return 0


if __name__ == "__main__":
    sys.exit(main())
