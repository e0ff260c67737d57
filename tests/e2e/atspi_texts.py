"""Prints the names and texts of the widgets in the window whose title is
argv[1], as a screen reader sees them over AT-SPI; exits 1 when no such
window is on the accessibility bus."""
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def texts(node, depth=0):
    if depth > 12:
        return
    name = node.get_name() or ""
    if name:
        yield name
    text = node.get_text_iface() if hasattr(node, "get_text_iface") else None
    if text is not None:
        value = Atspi.Text.get_text(text, 0, Atspi.Text.get_character_count(text))
        if value and value != name:
            yield value
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from texts(child, depth + 1)


def main():
    title = sys.argv[1]
    desktop = Atspi.get_desktop(0)
    for a in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(a)
        if app is None:
            continue
        for w in range(app.get_child_count()):
            window = app.get_child_at_index(w)
            if window is not None and window.get_name() == title:
                for t in texts(window):
                    print(t)
                return 0
    return 1


if __name__ == "__main__":
    sys.exit(main())
