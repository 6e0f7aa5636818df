"""Server commands, grouped by area; importing the package fills the
dispatch table (registry.COMMANDS)."""
from . import registry  # noqa: F401
from . import handshake, crud, admin, repl, auth  # noqa: F401
