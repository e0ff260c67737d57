"""GNOME Online Accounts as the tests need it, for python-dbusmock: one mail
account (EmailAddress "taro") whose OAuth2Based.GetAccessToken hands out
GOA-TOKEN, a token the tests' authorization server always takes."""
import dbus

BUS_NAME = "org.gnome.OnlineAccounts"
MAIN_OBJ = "/org/gnome/OnlineAccounts"
MAIN_IFACE = "org.freedesktop.DBus.ObjectManager"
SYSTEM_BUS = False
ACCOUNT = "/org/gnome/OnlineAccounts/Accounts/account_1"


def load(mock, parameters):
    mock.AddMethod(MAIN_IFACE, "GetManagedObjects", "", "a{oa{sa{sv}}}", f"""
ret = dbus.Dictionary({{dbus.ObjectPath("{ACCOUNT}"): dbus.Dictionary({{
    "org.gnome.OnlineAccounts.Account": dbus.Dictionary({{"ProviderType": "google"}}, signature="sv"),
    "org.gnome.OnlineAccounts.Mail": dbus.Dictionary({{"EmailAddress": "taro"}}, signature="sv"),
    "org.gnome.OnlineAccounts.OAuth2Based": dbus.Dictionary({{}}, signature="sv"),
}}, signature="sa{{sv}}")}}, signature="oa{{sa{{sv}}}}")
""")
    mock.AddObject(ACCOUNT, "org.gnome.OnlineAccounts.OAuth2Based", {},
                   [("GetAccessToken", "", "si", 'ret = ("GOA-TOKEN", 3600)')])
