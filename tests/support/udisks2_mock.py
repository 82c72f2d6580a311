"""UDisks2 for the tests, as a python-dbusmock template:

    /usr/bin/python3 -m dbusmock --template udisks2_mock.py

USB sticks (a drive and its whole-disk block) and their partitions under
/org/freedesktop/UDisks2 with the properties the program reads, announced
through the ObjectManager's InterfacesAdded/InterfacesRemoved and the objects'
PropertiesChanged, as udisksd does. Filesystem.Unmount and Block.OpenDevice
behave like udisksd's for what the program asks of them.

Control (org.freedesktop.DBus.Mock on /org/freedesktop/UDisks2):
  AddStick(s id, ay device, s vendor, s model, t size, s connection_bus)
  AddPartition(s stick_id, i number, ay device, ay mount_point)
  RemoveStick(s id)
  SetDriveProperty(s id, s name, av value)  no value: sent as invalidated
  FailNextLoads(i count)                    GetManagedObjects fails that often
  SetUnmountError(ay device, s name, s message)   empty name: no error
  UnmountCalls() -> as                      "DEVICE force=true|false" per call
  StopService(), StartService()             give up and take back the name
"""

import os
import re

import dbus
from dbusmock import MOCK_IFACE, OBJECT_MANAGER_IFACE, mockobject

BUS_NAME = 'org.freedesktop.UDisks2'
MAIN_OBJ = '/org/freedesktop/UDisks2'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

BLOCK = 'org.freedesktop.UDisks2.Block'
DRIVE = 'org.freedesktop.UDisks2.Drive'
PARTITION = 'org.freedesktop.UDisks2.Partition'
FILESYSTEM = 'org.freedesktop.UDisks2.Filesystem'
MODES = {'r': os.O_RDONLY, 'w': os.O_WRONLY, 'rw': os.O_RDWR}


def load(mock, _parameters):
    mock.fail_loads = 0
    mock.unmount_calls = []
    mock.unmount_errors = {}
    mock.AddMethod(OBJECT_MANAGER_IFACE, 'GetManagedObjects', '', 'a{oa{sa{sv}}}',
                   get_managed_objects)


def get_managed_objects(mock):
    if mock.fail_loads > 0:
        mock.fail_loads -= 1
        raise dbus.exceptions.DBusException('told to fail', name='org.freedesktop.UDisks2.Error.Failed')
    return {dbus.ObjectPath(p): o.props for p, o in mockobject.objects.items() if p.startswith(MAIN_OBJ + '/')}


def text(data):  # a byte string with or without its closing NUL
    return bytes(data).rstrip(b'\0').decode()


def nul_terminated(data):
    return dbus.ByteArray(text(data).encode() + b'\0')


def add(mock, path, interfaces, methods):
    first = next(iter(interfaces))
    mock.AddObject(path, first, interfaces[first], [])
    obj = mockobject.objects[path]
    obj.props.update(interfaces)
    for interface, name, in_sig, out_sig, code in methods:
        obj.AddMethod(interface, name, in_sig, out_sig, code)
    mock.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}', [path, obj.props])


def remove(mock, path):
    mock.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas',
                    [path, list(mockobject.objects[path].props)])
    mock.RemoveObject(path)


def block_props(device, size, drive):
    return {'Device': nul_terminated(device), 'PreferredDevice': nul_terminated(device),
            'Size': dbus.UInt64(size), 'Drive': dbus.ObjectPath(drive), 'ReadOnly': False,
            'HintSystem': False}


def block_path(device):  # named after the node, as udisksd does
    return MAIN_OBJ + '/block_devices/' + re.sub('[^A-Za-z0-9_]', '_', os.path.basename(text(device)))


def open_device(obj, mode, options):
    flags = int(options.get('flags', 0))
    if mode not in MODES:
        raise dbus.exceptions.DBusException(f"Unknown mode '{mode}'", name='org.freedesktop.UDisks2.Error.Failed')
    if flags & os.O_ACCMODE:  # udisksd refuses them
        raise dbus.exceptions.DBusException(
            "Using 'O_RDWR', 'O_RDONLY' and 'O_WRONLY' flags is not permitted. Use 'mode' argument instead.",
            name='org.freedesktop.UDisks2.Error.Failed')
    device = text(obj.props[BLOCK]['Device'])
    try:
        fd = os.open(device, MODES[mode] | flags)
    except OSError as e:
        raise dbus.exceptions.DBusException(f'Error opening {device}: {e.strerror}',
                                            name='org.freedesktop.UDisks2.Error.Failed') from e
    try:
        return dbus.types.UnixFd(fd)
    finally:
        os.close(fd)


def unmount(obj, options):
    mock = mockobject.objects[MAIN_OBJ]
    device = text(obj.props[BLOCK]['Device'])
    mock.unmount_calls.append(f"{device} force={'true' if options.get('force') else 'false'}")
    if device in mock.unmount_errors:
        raise dbus.exceptions.DBusException(mock.unmount_errors[device][1], name=mock.unmount_errors[device][0])
    if not obj.props[FILESYSTEM]['MountPoints']:
        raise dbus.exceptions.DBusException(f'Object path {obj.path} is not mounted',
                                            name='org.freedesktop.UDisks2.Error.NotMounted')
    obj.props[FILESYSTEM]['MountPoints'] = dbus.Array([], signature='ay')
    obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',
                   [FILESYSTEM, {'MountPoints': dbus.Array([], signature='ay')}, []])


@dbus.service.method(MOCK_IFACE, in_signature='sayssts', out_signature='')
def AddStick(self, stick_id, device, vendor, model, size, connection_bus):
    drive = MAIN_OBJ + '/drives/' + stick_id
    add(self, drive, {DRIVE: {'Vendor': vendor, 'Model': model, 'Size': dbus.UInt64(size),
                              'ConnectionBus': connection_bus, 'Removable': True, 'Id': stick_id}}, [])
    add(self, block_path(device), {BLOCK: block_props(device, size, drive)},
        [(BLOCK, 'OpenDevice', 'sa{sv}', 'h', open_device)])


@dbus.service.method(MOCK_IFACE, in_signature='siayay', out_signature='')
def AddPartition(self, stick_id, number, device, mount_point):
    drive = MAIN_OBJ + '/drives/' + stick_id
    table = [p for p, o in mockobject.objects.items()
             if o.props.get(BLOCK, {}).get('Drive') == drive and PARTITION not in o.props][0]
    points = [nul_terminated(mount_point)] if text(mount_point) else []
    add(self, block_path(device), {
        BLOCK: block_props(device, 1 << 20, drive),
        PARTITION: {'Number': dbus.UInt32(number), 'Table': dbus.ObjectPath(table), 'Size': dbus.UInt64(1 << 20)},
        FILESYSTEM: {'MountPoints': dbus.Array(points, signature='ay')}},
        [(BLOCK, 'OpenDevice', 'sa{sv}', 'h', open_device), (FILESYSTEM, 'Unmount', 'a{sv}', '', unmount)])


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def RemoveStick(self, stick_id):
    drive = MAIN_OBJ + '/drives/' + stick_id
    blocks = [p for p, o in mockobject.objects.items() if o.props.get(BLOCK, {}).get('Drive') == drive]
    for path in sorted(blocks, key=lambda p: PARTITION not in mockobject.objects[p].props) + [drive]:
        remove(self, path)


@dbus.service.method(MOCK_IFACE, in_signature='ssav', out_signature='')
def SetDriveProperty(self, stick_id, name, value):
    obj = mockobject.objects[MAIN_OBJ + '/drives/' + stick_id]
    value = [type(v)(v) for v in value]  # unwrapped from the variant they came in
    if value:
        obj.props[DRIVE][name] = value[0]
    else:
        obj.props[DRIVE].pop(name, None)
    obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',
                   [DRIVE, {name: value[0]} if value else {}, [] if value else [name]])


@dbus.service.method(MOCK_IFACE, in_signature='i', out_signature='')
def FailNextLoads(self, count):
    self.fail_loads = count


@dbus.service.method(MOCK_IFACE, in_signature='ayss', out_signature='')
def SetUnmountError(self, device, name, message):
    device = text(device)
    if name:
        self.unmount_errors[device] = (name, message)
    else:
        self.unmount_errors.pop(device, None)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def UnmountCalls(self):
    return self.unmount_calls


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def StopService(self):
    self.bus_name.get_bus().release_name(BUS_NAME)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def StartService(self):
    self.bus_name.get_bus().request_name(BUS_NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
