"""Stand-ins for pywin32 (pythoncom, pywintypes, win32event, win32com.client with constants
and gencache) over a small COM simulation (`_comsim`).

`SITE` is a folder to put on sys.path (or PYTHONPATH for a child process) in place of
pywin32. `installed()` puts the stand-ins into sys.modules for the duration of a `with`
block and takes them out again, so a module imported inside keeps its references to them
without the stand-ins leaking into other tests.
"""
import contextlib
import os
import sys
import types

SITE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "site")
NAMES = ("_comsim", "pywintypes", "pythoncom", "win32event", "win32com", "win32com.client",
         "win32com.client.gencache")


@contextlib.contextmanager
def installed():
    saved = {name: sys.modules.pop(name) for name in NAMES if name in sys.modules}
    sys.path.insert(0, SITE)
    try:
        import _comsim
        import pythoncom
        import win32com.client
        import win32event
        yield types.SimpleNamespace(comsim=_comsim, pythoncom=pythoncom,
                                    win32event=win32event, client=win32com.client)
    finally:
        sys.path.remove(SITE)
        for name in NAMES:
            sys.modules.pop(name, None)
        sys.modules.update(saved)
