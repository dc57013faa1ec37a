"""Administration of security event logging; the work is done by the extension module admin_events."""
