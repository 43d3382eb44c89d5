"""Stand-in for pywin32's pywintypes: the COM error type."""


class com_error(Exception):
    """COM failure: (hresult, strerror, excepinfo, argerror), as pywin32 raises it."""

    @property
    def hresult(self):
        return self.args[0]
