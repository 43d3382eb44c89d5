"""Stand-ins for outside platforms that cannot run here (broker servers, COM, the trading
terminal), mirroring the real packages' public names and value conventions."""
