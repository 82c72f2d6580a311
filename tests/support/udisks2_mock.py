"""UDisks2 for the tests, a python-dbusmock template driven by MockUDisks.cpp: USB sticks
and partitions under /org/freedesktop/UDisks2, announced with the signals udisksd sends."""

import os
import re
import time

import dbus
from dbusmock import MOCK_IFACE, OBJECT_MANAGER_IFACE, mockobject

BUS_NAME, MAIN_OBJ, SYSTEM_BUS, IS_OBJECT_MANAGER = 'org.freedesktop.UDisks2', '/org/freedesktop/UDisks2', True, True
U = 'org.freedesktop.UDisks2.'
BLOCK, DRIVE, PARTITION, FILESYSTEM = U + 'Block', U + 'Drive', U + 'Partition', U + 'Filesystem'
TABLE = U + 'PartitionTable'
MODES = {'r': os.O_RDONLY, 'w': os.O_WRONLY, 'rw': os.O_RDWR}


def load(mock, _parameters):
    mock.fail_loads, mock.unmount_calls, mock.unmount_errors, mock.sticks = 0, [], {}, {}
    mock.delay, mock.power_offs, mock.power_off_error = 0, [], ''
    mock.disk_calls, mock.call_errors = [], {}

    mock.AddMethod(OBJECT_MANAGER_IFACE, 'GetManagedObjects', '', 'a{oa{sa{sv}}}', get_managed_objects)


def fail(message, name=U + 'Error.Failed'):
    raise dbus.exceptions.DBusException(message, name=name)


def get_managed_objects(mock):
    if mock.fail_loads > 0:
        mock.fail_loads -= 1
        fail('told to fail')
    return {dbus.ObjectPath(p): o.props for p, o in mockobject.objects.items() if p.startswith(MAIN_OBJ + '/')}


def text(data):  # a byte string, with or without its closing NUL
    return bytes(data).rstrip(b'\0').decode()


def add(mock, path, interfaces, *methods):
    mock.AddObject(path, next(iter(interfaces)), {}, [])
    mockobject.objects[path].props.update(interfaces)
    for method in methods:
        mockobject.objects[path].AddMethod(*method)
    mock.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}', [path, interfaces])


def add_block(mock, device, size, drive, **more):  # named after its node, as udisksd does
    path = MAIN_OBJ + '/block_devices/' + re.sub('[^A-Za-z0-9_]', '_', os.path.basename(text(device)))
    add(mock, path, {BLOCK: {'Device': dbus.ByteArray(text(device).encode() + b'\0'), 'Size': dbus.UInt64(size),
                             'Drive': dbus.ObjectPath(drive), 'ReadOnly': False}, **more},
        (BLOCK, 'OpenDevice', 'sa{sv}', 'h', open_device), (FILESYSTEM, 'Unmount', 'a{sv}', '', unmount),
        (BLOCK, 'Rescan', 'a{sv}', '', lambda obj, o: record(obj, 'Rescan', o)),
        (BLOCK, 'Format', 'sa{sv}', '', lambda obj, t, o: record(obj, 'Format', t, o)),
        (TABLE, 'CreatePartitionAndFormat', 'ttssa{sv}sa{sv}', 'o', lambda obj, *args: record(obj, 'Create', *args)))
    return path


def open_device(obj, mode, options):  # like udisksd, which takes the access mode only as `mode`
    time.sleep(mockobject.objects[MAIN_OBJ].delay)
    if int(options.get('flags', 0)) & os.O_ACCMODE:
        fail("Using 'O_RDWR', 'O_RDONLY' and 'O_WRONLY' flags is not permitted. Use 'mode' argument instead.")
    try:
        fd = os.open(text(obj.props[BLOCK]['Device']), MODES[mode] | int(options.get('flags', 0)))
    except OSError as e:
        fail('Error opening device: ' + e.strerror)
    handed_out = dbus.types.UnixFd(fd)  # a duplicate
    os.close(fd)
    return handed_out


def unmount(obj, options):
    mock, device = mockobject.objects[MAIN_OBJ], text(obj.props[BLOCK]['Device'])
    mock.unmount_calls.append(f"{device} force={'true' if options.get('force') else 'false'}")
    time.sleep(mock.delay)  # a slow stick, or a password prompt the user answers late
    if device in mock.unmount_errors:
        fail(*reversed(mock.unmount_errors[device]))
    if not obj.props[FILESYSTEM]['MountPoints']:
        fail(device + ' is not mounted', U + 'Error.NotMounted')
    set_property(obj, FILESYSTEM, 'MountPoints', [dbus.Array([], signature='ay')])


def words(value):  # an option map as {key=value, ...}, booleans as true|false, '' as ''
    if isinstance(value, dict):
        return '{' + ', '.join(f'{k}={words(v)}' for k, v in sorted(value.items())) + '}'
    return str(bool(value)).lower() if isinstance(value, dbus.Boolean) else str(value) or "''"


def record(obj, method, *args):  # of Rescan, Format, Create (CreatePartitionAndFormat)
    mock = mockobject.objects[MAIN_OBJ]
    mock.disk_calls.append(' '.join([method, text(obj.props[BLOCK]['Device'])] + [words(a) for a in args]))
    name, message = mock.call_errors.get(method, ('', ''))
    if name == 'hang':  # answers after MESSAGE seconds, as a service that hangs
        time.sleep(int(message))
    elif name:
        fail(message, name)
    return dbus.ObjectPath(obj.__dbus_object_path__ + '1') if method == 'Create' else None


def power_off(obj, _options):
    mock = mockobject.objects[MAIN_OBJ]
    mock.power_offs.append(obj.__dbus_object_path__)
    if mock.power_off_error:
        fail(mock.power_off_error, U + 'Error.NotAuthorizedDismissed')


def set_property(obj, interface, name, value):  # without a value: invalidated
    obj.props[interface].pop(name, None)
    obj.props[interface].update({name: v for v in value})
    obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as',
                   [interface, {name: v for v in value}, [] if value else [name]])


@dbus.service.method(MOCK_IFACE, in_signature='sayssts')
def AddStick(self, stick, device, vendor, model, size, bus):
    drive = MAIN_OBJ + '/drives/' + stick
    add(self, drive, {DRIVE: {'Vendor': vendor, 'Model': model, 'Size': dbus.UInt64(size), 'ConnectionBus': bus,
                              'Serial': 'SN-' + stick, 'WWN': '', 'Removable': True, 'MediaRemovable': False}},
        (DRIVE, 'PowerOff', 'a{sv}', '', power_off))
    self.sticks[stick] = add_block(self, device, size, drive)


@dbus.service.method(MOCK_IFACE, in_signature='siayay')
def AddPartition(self, stick, number, device, mount_point):
    points = [dbus.ByteArray(text(mount_point).encode() + b'\0')] if text(mount_point) else []
    add_block(self, device, 1 << 20, MAIN_OBJ + '/drives/' + stick,
              **{PARTITION: {'Number': dbus.UInt32(number), 'Table': dbus.ObjectPath(self.sticks[stick])},
                 FILESYSTEM: {'MountPoints': dbus.Array(points, signature='ay')}})


@dbus.service.method(MOCK_IFACE, in_signature='s')
def RemoveStick(self, stick):  # its partitions, its disk, its drive
    drive = MAIN_OBJ + '/drives/' + stick
    blocks = [p for p, o in mockobject.objects.items() if o.props.get(BLOCK, {}).get('Drive') == drive]
    for path in sorted(blocks, key=lambda p: p == self.sticks[stick]) + [drive]:
        self.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas', [path, list(mockobject.objects[path].props)])
        self.RemoveObject(path)


@dbus.service.method(MOCK_IFACE, in_signature='sssav')
def SetProperty(self, stick, interface, name, value):  # of its Drive or its whole-disk Block
    path = MAIN_OBJ + '/drives/' + stick if interface == 'Drive' else self.sticks[stick]
    set_property(mockobject.objects[path], U + interface, name, [type(v)(v) for v in value])  # unwrapped


@dbus.service.method(MOCK_IFACE, in_signature='i')
def FailNextLoads(self, count):
    self.fail_loads = count


@dbus.service.method(MOCK_IFACE, in_signature='ayss')
def SetUnmountError(self, device, name, message):  # no name: no error
    self.unmount_errors.pop(text(device), None)
    self.unmount_errors.update({text(device): (name, message)} if name else {})


@dbus.service.method(MOCK_IFACE, in_signature='sss')
def SetCallError(self, method, name, message):  # Rescan, Format, Create(PartitionAndFormat); no name: none
    self.call_errors.pop(method, None)
    self.call_errors.update({method: (name, message)} if name else {})


@dbus.service.method(MOCK_IFACE, out_signature='as')
def DiskCalls(self):
    return self.disk_calls


@dbus.service.method(MOCK_IFACE, in_signature='i')
def SetDelay(self, seconds):  # of each answer to Unmount and OpenDevice
    self.delay = seconds


@dbus.service.method(MOCK_IFACE, out_signature='as')
def UnmountCalls(self):
    return self.unmount_calls


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='as')
def PowerOffs(self, error):  # the drives powered off so far; error: how the next ones fail ('' not)
    self.power_off_error = error
    return self.power_offs


@dbus.service.method(MOCK_IFACE)
def StopService(self):  # the objects stay; only the name goes, and comes back
    self.bus_name.get_bus().release_name(BUS_NAME)


@dbus.service.method(MOCK_IFACE)
def StartService(self):
    self.bus_name.get_bus().request_name(BUS_NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
