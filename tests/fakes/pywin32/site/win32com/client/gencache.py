"""Stand-in for win32com.client.gencache: type-library wrappers."""
import types

import _comsim


def EnsureModule(typelibCLSID, lcid, major, minor, progressInstance=None, bValidateFile=1,
                 bForDemand=None, bBuildHidden=1):
    _comsim.record("EnsureModule", typelibCLSID, lcid, major, minor)
    if not _comsim.behaviour.typelib_registered or \
            (typelibCLSID.upper(), lcid, major, minor) != _comsim.CEL_TYPELIB:
        raise _comsim.error(_comsim.TYPE_E_LIBNOTREGISTERED, "Library not registered.")
    _comsim.constants.update(_comsim.CEL_CONSTANTS)
    return types.ModuleType("win32com.gen_py.%s" % typelibCLSID.strip("{}"))
