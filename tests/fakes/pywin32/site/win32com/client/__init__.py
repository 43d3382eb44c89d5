"""Stand-in for pywin32's win32com.client (see _comsim)."""
import _comsim

from . import gencache  # noqa: F401


class _Constants:
    """The enumerations of the type libraries whose wrappers exist."""

    def __getattr__(self, name):
        try:
            return _comsim.constants[name]
        except KeyError:
            raise AttributeError(name) from None


constants = _Constants()


def Dispatch(dispatch, userName=None, resultCLSID=None, typeinfo=None, clsctx=None):
    return _comsim.dispatch(dispatch)


def WithEvents(disp, user_event_class):
    return _comsim.connect_events(disp, user_event_class)
