"""Stand-in for the outside configuration manager (import and export).

See :mod:`zorna_event_config_manager.config_manager`.
"""
