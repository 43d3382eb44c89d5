"""Stand-in for pywin32's pythoncom (see _comsim). Importing it puts the importing thread in
an apartment, as the real module does."""
import _comsim
from pywintypes import com_error  # noqa: F401

IID_IDispatch = _comsim.IID_IDispatch


def CoInitialize():
    _comsim.record("CoInitialize")
    if _comsim.behaviour.co_initialize_error is not None:
        raise _comsim.behaviour.co_initialize_error
    _comsim.current().inits += 1


def CoUninitialize():
    _comsim.record("CoUninitialize")
    _comsim.current().inits -= 1


def CoMarshalInterThreadInterfaceInStream(iid, obj):
    return _comsim.marshal(iid, obj)


def CoGetInterfaceAndReleaseStream(stream, iid):
    return _comsim.unmarshal(stream, iid)


def PumpWaitingMessages(firstMessage=0, lastMessage=-1):
    _comsim.pump_waiting()
    return 0


_comsim.current().inits += 1
