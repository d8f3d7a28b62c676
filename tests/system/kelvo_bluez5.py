'''python3-dbusmock's bluez5 template made as strict as bluetoothd 5.66 where the
Bluetooth port relies on it:

- ProfileManager1.RegisterProfile refuses a UUID that any live profile holds
  (org.bluez.Error.NotPermitted "UUID already registered"), and the same
  sender and path twice (AlreadyExists); a registration goes with
  UnregisterProfile or when its owner leaves the bus.
- Device1.ConnectProfile: InProgress while the device has a connect pending,
  NotReady when its adapter is off, NotAvailable without a profile for the UUID;
  otherwise the link is made (here: a Unix stream to the simulated printer),
  handed as a non-blocking socket to the profile's NewConnection, and
  ConnectProfile is answered only once NewConnection has been: success, or
  Failed "br-connection-refused" when the profile refused it. The daemon keeps
  its copy of the socket until the profile goes.
- After a device's first connect its services are browsed again for a while, and a
  ConnectProfile meanwhile is InProgress.
- GetManagedObjects lists newer objects first.

Faults a test can ask of a device (org.kelvo.Test.SetConnectMode): refuse,
page time-out, never answer within the connect's time, NotReady, InProgress
for the next N calls, NotAvailable, and a success that hands over nothing.
'''

import os
import socket

import dbus
import dbus.bus
import dbus.lowlevel
from gi.repository import GLib

from dbusmock import mockobject
from dbusmock.templates.bluez5 import *  # noqa: F401,F403 (the template's methods)
from dbusmock.templates import bluez5

TEST_IFACE = 'org.kelvo.Test'
ERR = 'org.bluez.Error.'

# How long the "hang" mode keeps a connect pending before its page time-out: past the
# port's 5000 ms, as a device that is away can take bluetoothd that long.
HANG_MS = 8000
# The service browse after a device's first connect.
BROWSE_MS = 300


class Profile:
    def __init__(self, sender, path, uuid):
        self.sender = sender
        self.path = path
        self.uuid = uuid
        self.conns = []  # the daemon's copies of handed-over sockets


class Strict:
    def __init__(self, mock):
        self.mock = mock
        self.bus = mock.connection
        self.profiles = []
        self.modes = {}      # device path -> (mode, socket path)
        self.busy = {}       # device path -> InProgress answers still to give
        self.pending = set()  # device paths with a connect under way
        self.calls = {}      # device path -> ConnectProfile calls
        self.others = []  # bus connections of other programs
        self.refreshed = set()  # devices whose services were browsed again after a connect
        self.bus.add_message_filter(self.filter)
        self.bus.add_signal_receiver(self.owner_changed, 'NameOwnerChanged', 'org.freedesktop.DBus',
                                     'org.freedesktop.DBus', '/org/freedesktop/DBus')

    # ---- replies ----
    def reply(self, msg, *args):
        r = dbus.lowlevel.MethodReturnMessage(msg)
        if args:
            r.append(*args)
        self.bus.send_message(r)

    def error(self, msg, name, text):
        self.bus.send_message(dbus.lowlevel.ErrorMessage(msg, ERR + name, text))

    # ---- profiles ----
    def drop(self, profile):
        if profile in self.profiles:
            self.profiles.remove(profile)
        for s in profile.conns:
            s.close()
        profile.conns = []

    def owner_changed(self, name, old, new):
        if new == '' and old != '':
            for p in [p for p in self.profiles if p.sender == old]:
                self.drop(p)

    def register(self, msg):
        args = msg.get_args_list()
        sender = msg.get_sender()
        path, uuid = str(args[0]), str(args[1])
        if any(p.sender == sender and p.path == path for p in self.profiles):
            return self.error(msg, 'AlreadyExists', 'Already Exists')
        # bluetoothd compares the strings as given.
        if any(p.uuid == uuid for p in self.profiles):
            return self.error(msg, 'NotPermitted', 'UUID already registered')
        self.profiles.append(Profile(sender, path, uuid))
        self.reply(msg)

    def unregister(self, msg):
        sender = msg.get_sender()
        path = str(msg.get_args_list()[0])
        for p in self.profiles:
            if p.sender == sender and p.path == path:
                self.drop(p)
                return self.reply(msg)
        self.error(msg, 'DoesNotExist', 'Does Not Exist')

    # ---- connect ----
    def connect(self, msg):
        dev = msg.get_path()
        uuid = str(msg.get_args_list()[0])
        self.calls[dev] = self.calls.get(dev, 0) + 1
        obj = mockobject.objects.get(dev)
        if dev in self.pending:
            return self.error(msg, 'InProgress', 'In Progress')
        if self.busy.get(dev, 0) > 0:
            self.busy[dev] -= 1
            return self.error(msg, 'InProgress', 'In Progress')
        adapter = mockobject.objects.get(str(obj.props['org.bluez.Device1']['Adapter']))
        if adapter is None or not adapter.props['org.bluez.Adapter1'].get('Powered', False):
            return self.error(msg, 'NotReady', 'Resource Not Ready')
        mode, where = self.modes.get(dev, ('serve', ''))
        if mode == 'notready':
            return self.error(msg, 'NotReady', 'Resource Not Ready')
        if mode == 'notavailable':
            return self.error(msg, 'NotAvailable', 'Operation currently not available')
        profile = next((p for p in self.profiles if p.uuid.lower() == uuid.lower()), None)
        if profile is None:
            return self.error(msg, 'NotAvailable', 'Operation currently not available')
        if mode == 'nonewconn':
            return self.reply(msg)
        self.pending.add(dev)

        def done(name=None, text=None):
            self.pending.discard(dev)
            if name is None:
                self.reply(msg)
            else:
                self.error(msg, name, text)
            return False

        if mode == 'refuse':
            GLib.timeout_add(50, done, 'Failed', 'br-connection-refused')
            return None
        if mode == 'pagetimeout':
            GLib.timeout_add(200, done, 'Failed', 'br-connection-page-timeout')
            return None
        if mode == 'hang':
            GLib.timeout_add(HANG_MS, done, 'Failed', 'br-connection-page-timeout')
            return None
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(where)
        except OSError:
            s.close()
            GLib.timeout_add(50, done, 'Failed', 'br-connection-refused')
            return None
        # bluetoothd's sockets are non-blocking; the profile gets one so.
        s.setblocking(False)

        def accepted(*_):
            if profile in self.profiles:
                profile.conns.append(s)
            else:
                s.close()
            done()
            # After the first connect bluetoothd browses the device's services again; a
            # connect meanwhile is InProgress.
            if dev not in self.refreshed:
                self.refreshed.add(dev)
                self.pending.add(dev)
                GLib.timeout_add(BROWSE_MS, lambda: self.pending.discard(dev) and False)

        def refused(*_):
            s.close()
            done('Failed', 'br-connection-refused')

        # wrongdevice: a NewConnection naming another device; wrongsender: one sent by
        # another program than org.bluez. The profile must refuse both.
        named = dev + '_other' if mode == 'wrongdevice' else dev
        caller = self.bus
        if mode == 'wrongsender':
            caller = dbus.bus.BusConnection(os.environ['DBUS_SYSTEM_BUS_ADDRESS'])
            self.others.append(caller)
        caller.call_async(profile.sender, profile.path, 'org.bluez.Profile1', 'NewConnection', 'oha{sv}',
                            (dbus.ObjectPath(named), dbus.types.UnixFd(s), dbus.Dictionary({}, signature='sv')),
                            accepted, refused, timeout=25)
        return None

    def filter(self, bus, msg):
        if msg.get_type() != 1:
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        iface, member = msg.get_interface(), msg.get_member()
        if iface == bluez5.PROFILE_MANAGER_IFACE and member == 'RegisterProfile':
            self.register(msg)
        elif iface == bluez5.PROFILE_MANAGER_IFACE and member == 'UnregisterProfile':
            self.unregister(msg)
        elif iface == bluez5.DEVICE_IFACE and member == 'ConnectProfile' and msg.get_path() in mockobject.objects:
            self.connect(msg)
        else:
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        return dbus.lowlevel.HANDLER_RESULT_HANDLED


STRICT = None


def load(mock, parameters):
    global STRICT
    bluez5.load(mock, parameters)
    # Newer objects first, as bluetoothd's list of them runs.
    mock.AddMethod('org.freedesktop.DBus.ObjectManager', 'GetManagedObjects', '', 'a{oa{sa{sv}}}',
                   'ret = dbus.Dictionary([(dbus.ObjectPath(k), objects[k].props) '
                   'for k in reversed(list(objects.keys())) if k != "/"], signature="oa{sa{sv}}")')
    STRICT = Strict(mock)


@dbus.service.method(TEST_IFACE, in_signature='oss', out_signature='')
def SetConnectMode(_self, device, mode, where):
    '''serve (where: the printer's Unix socket), wrongdevice and wrongsender (as serve, but
    NewConnection names another device, or comes from another program), refuse, pagetimeout, hang, notready, notavailable, nonewconn, or
    inprogress:N before the current mode. An empty where keeps the one set before.'''
    if mode.startswith('inprogress:'):
        STRICT.busy[str(device)] = int(mode.split(':')[1])
        return
    if not where:
        where = STRICT.modes.get(str(device), ('', ''))[1]
    STRICT.modes[str(device)] = (str(mode), str(where))


@dbus.service.method(TEST_IFACE, in_signature='o', out_signature='i')
def ConnectProfileCalls(_self, device):
    return STRICT.calls.get(str(device), 0)


@dbus.service.method(TEST_IFACE, in_signature='', out_signature='i')
def HeldSockets(_self):
    '''How many handed-over sockets the daemon still keeps a copy of.'''
    return sum(len(p.conns) for p in STRICT.profiles)


@dbus.service.method(TEST_IFACE, in_signature='', out_signature='i')
def Profiles(_self):
    return len(STRICT.profiles)

