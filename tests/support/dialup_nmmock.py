'''NetworkManager for the dial-up tests.

The stock template jumps straight to "activated", attaches no device and
never says why an activation ended. Here an activation goes through the
modem's states the way NetworkManager does, can fail with a reason, and is
taken down by DeactivateConnection. The Mock interface gains the knobs the
tests turn.
'''
import time

import dbus
import dbusmock
from dbusmock import MOCK_IFACE
from dbusmock.templates import networkmanager as stock
from dbusmock.templates.networkmanager import *  # noqa: F401,F403 pylint: disable=wildcard-import,unused-wildcard-import

MODEM = '/org/freedesktop/NetworkManager/Devices/ttyUSB0'
AC_REASON_USER_DISCONNECTED = 2
AC_REASON_DEVICE_DISCONNECTED = 3
DEVICE_REASON_USER_REQUESTED = 39


def load(mock, parameters):
    stock.load(mock, parameters)
    nm = dbusmock.get_object(MANAGER_OBJ)
    nm.activate_connection = activate
    nm.deactivate_connection = deactivate
    nm.refusal = ''
    nm.stall = 0.0
    nm.deactivations = []
    mock.AddEthernetDevice('ttyUSB0', 'ttyUSB0', DeviceState.DISCONNECTED)


def device_state(new, reason):
    dev = dbusmock.get_object(MODEM)
    old = dev.Get(DEVICE_IFACE, 'State')
    dev.Set(DEVICE_IFACE, 'State', dbus.UInt32(new))
    dev.Set(DEVICE_IFACE, 'StateReason', (dbus.UInt32(new), dbus.UInt32(reason)))
    dev.EmitSignal(DEVICE_IFACE, 'StateChanged', 'uuu',
                   [dbus.UInt32(new), dbus.UInt32(old), dbus.UInt32(reason)])


def active_state(path, state, reason):
    ac = dbusmock.get_object(path)
    ac.Set(ACTIVE_CONNECTION_IFACE, 'State', dbus.UInt32(state))
    ac.EmitSignal(ACTIVE_CONNECTION_IFACE, 'StateChanged', 'uu',
                  [dbus.UInt32(state), dbus.UInt32(reason)])


def remove_active(path):
    nm = dbusmock.get_object(MANAGER_OBJ)
    active = nm.Get(MANAGER_IFACE, 'ActiveConnections')
    if path in active:
        active.remove(dbus.ObjectPath(path))
        nm.SetProperty(MANAGER_OBJ, MANAGER_IFACE, 'ActiveConnections', active)
    main = dbusmock.get_object(MAIN_OBJ)
    main.object_manager_emit_removed(path)
    main.RemoveObject(path)


def activate(self, conn, _dev, _specific):
    if self.refusal:
        raise dbus.exceptions.DBusException('refused', name=self.refusal)
    if self.stall:
        time.sleep(self.stall)
    settings = dbusmock.get_object(SETTINGS_OBJ)
    if conn not in settings.Get(SETTINGS_IFACE, 'Connections'):
        raise dbus.exceptions.DBusException('no such connection',
                                            name=MANAGER_IFACE + '.UnknownConnection')
    active = self.Get(MANAGER_IFACE, 'ActiveConnections')
    count = 0
    while dbus.ObjectPath(f'/org/freedesktop/NetworkManager/ActiveConnection/{count}') in active:
        count += 1
    path = self.AddActiveConnection([], conn, '/', str(count),
                                    NMActiveConnectionState.NM_ACTIVE_CONNECTION_STATE_ACTIVATING)
    dbusmock.get_object(path).Set(ACTIVE_CONNECTION_IFACE, 'Devices',
                                  dbus.Array([dbus.ObjectPath(MODEM)], signature='o'))
    dbusmock.get_object(MODEM).Set(DEVICE_IFACE, 'ActiveConnection', dbus.ObjectPath(path))
    device_state(DeviceState.PREPARE, 0)
    return dbus.ObjectPath(path)


def deactivate(self, path):
    if path not in self.Get(MANAGER_IFACE, 'ActiveConnections'):
        raise dbus.exceptions.DBusException('not active',
                                            name=MANAGER_IFACE + '.ConnectionNotActive')
    self.deactivations.append(str(path))
    active_state(path, NMActiveConnectionState.NM_ACTIVE_CONNECTION_STATE_DEACTIVATING,
                 AC_REASON_USER_DISCONNECTED)
    device_state(DeviceState.DEACTIVATING, DEVICE_REASON_USER_REQUESTED)
    device_state(DeviceState.DISCONNECTED, DEVICE_REASON_USER_REQUESTED)
    active_state(path, NMActiveConnectionState.NM_ACTIVE_CONNECTION_STATE_DEACTIVATED,
                 AC_REASON_USER_DISCONNECTED)
    remove_active(path)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='s')
def AddProfile(_self, name):
    settings = dbusmock.get_object(SETTINGS_OBJ)
    return settings.SettingsAddConnection(
        dbus.Dictionary({'connection': dbus.Dictionary({'id': name, 'type': 'gsm'},
                                                       signature='sv')}, signature='sa{sv}'))


@dbus.service.method(MOCK_IFACE, in_signature='u', out_signature='')
def DeviceStep(_self, state):
    device_state(state, 0)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def Connect(_self, path):
    device_state(DeviceState.ACTIVATED, 0)
    active_state(path, NMActiveConnectionState.NM_ACTIVE_CONNECTION_STATE_ACTIVATED, 0)


@dbus.service.method(MOCK_IFACE, in_signature='su', out_signature='')
def Fail(_self, path, reason):
    # NetworkManager moves a failed device on to "disconnected" with reason
    # "none" and removes the active connection right after.
    device_state(DeviceState.FAILED, reason)
    device_state(DeviceState.DISCONNECTED, 0)
    active_state(path, NMActiveConnectionState.NM_ACTIVE_CONNECTION_STATE_DEACTIVATED,
                 AC_REASON_DEVICE_DISCONNECTED)
    remove_active(path)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def Drop(_self, path):
    '''The active connection vanishes without a word, as across a restart.'''
    remove_active(path)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def Refuse(_self, error_name):
    dbusmock.get_object(MANAGER_OBJ).refusal = error_name


@dbus.service.method(MOCK_IFACE, in_signature='d', out_signature='')
def Stall(_self, seconds):
    dbusmock.get_object(MANAGER_OBJ).stall = seconds


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def Deactivations(_self):
    return dbusmock.get_object(MANAGER_OBJ).deactivations
