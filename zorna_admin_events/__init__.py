"""Administration of security event logging; the work is done by the extension module admin_events."""

import os as _os

# Run from a source checkout (python -m zorna_admin_events in its root), this
# folder, which lacks the compiled module, comes first on sys.path; the
# package then spans the installed copy too, where the module is.
if not any(name.startswith("admin_events.") for name in _os.listdir(__path__[0])):
    from pkgutil import extend_path

    __path__ = extend_path(__path__, __name__)
