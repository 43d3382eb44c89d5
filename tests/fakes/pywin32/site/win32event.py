"""Stand-in for pywin32's win32event (see _comsim)."""
import _comsim

INFINITE = 0xFFFFFFFF
WAIT_OBJECT_0 = 0
WAIT_ABANDONED_0 = 0x80
WAIT_TIMEOUT = 258
WAIT_FAILED = 0xFFFFFFFF
QS_ALLEVENTS = 0x04BF
QS_ALLINPUT = 0x04FF


def CreateEvent(sa, bManualReset, bInitialState, name):
    _comsim.record("CreateEvent", sa, bManualReset, bInitialState, name)
    return _comsim.PyHANDLE(bManualReset, bInitialState, name)


def SetEvent(handle):
    _comsim.record("SetEvent")
    _comsim.set_event(handle)


def MsgWaitForMultipleObjects(handleList, bWaitAll, milliseconds, wakeMask):
    return _comsim.wait_for_messages(tuple(handleList), milliseconds, WAIT_OBJECT_0, WAIT_TIMEOUT)
