#!/usr/bin/python3
"""The user's browser for the tests, installed as xdg-open: asks the
authorization server's authorize URL, which approves at once, and follows
its redirect to the program's loopback listener. The page it gets there is
appended to $QUIL_BROWSER_LOG."""
import os
import ssl
import sys
import urllib.error
import urllib.request


class Stay(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


context = ssl.create_default_context(cafile=os.environ["QUIL_BROWSER_CA"])
opener = urllib.request.build_opener(Stay, urllib.request.HTTPSHandler(context=context))
try:
    opener.open(sys.argv[1])
    sys.exit(1)
except urllib.error.HTTPError as e:
    location = e.headers["Location"]
with urllib.request.urlopen(location) as r:
    page = r.read()
with open(os.environ["QUIL_BROWSER_LOG"], "ab") as f:
    f.write(page + b"\n")
