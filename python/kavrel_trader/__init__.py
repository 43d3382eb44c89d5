"""Stand-in core of the kavrel_trader framework: only what the native modules rely on."""
