"""``python -m zorna_admin_events``: the same as the ``zorna-admin-events`` command."""

import sys

from zorna_admin_events.entry import main

sys.exit(main())
