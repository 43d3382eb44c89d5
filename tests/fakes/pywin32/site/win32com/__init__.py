"""Stand-in for pywin32's win32com package."""
