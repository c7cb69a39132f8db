"""Stand-ins for the interpreter's POSIX shared-memory modules.

Used only where ``_posixshmem`` or ``multiprocessing.shared_memory`` cannot
be imported."""
from ravu._compat import _posixshmem

__all__ = ["_posixshmem"]
