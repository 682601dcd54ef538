"""Prints, as JSON, the texts of the labels of a running GTK program's
windows, read through the accessibility bus as a screen reader reads them.

    python3 atspi_label.py PID

Exit code 0 with {"window title": ["label text", ...]}; 2 when no
application with that process id is on the bus (yet)."""
import json
import sys

import pyatspi


def labels_of(accessible, found):
    if accessible is None:
        return
    if accessible.getRole() == pyatspi.ROLE_LABEL:
        text = accessible.queryText()
        found.append(text.getText(0, text.characterCount))
    for child in accessible:
        labels_of(child, found)


def main():
    pid = int(sys.argv[1])
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is None or app.get_process_id() != pid:
            continue
        windows = {}
        for window in app:
            found = []
            labels_of(window, found)
            windows[window.name] = found
        print(json.dumps(windows))
        return 0
    return 2


if __name__ == "__main__":
    sys.exit(main())
