"""Base directories of a service.

The project directory is the working directory of the process when this
module is first imported (a service is started from its project); the logs
root is its subdirectory ``logs`` and the configuration directory its
subdirectory ``conf``.  They are fixed at import so that every path made
during the process's life agrees with the others, even after a ``chdir``.
Nothing is created here: the callers make the directories they need.
"""
import os
from typing import Union

# A part is what os.path.join takes; the result is always a str.
_Part = Union[str, "os.PathLike[str]"]

__all__ = ["relative_logs_path", "relative_conf_path", "relative_project_path"]

_PROJECT_DIR = os.path.abspath(os.getcwd())
_LOGS_DIR = os.path.join(_PROJECT_DIR, "logs")
_CONF_DIR = os.path.join(_PROJECT_DIR, "conf")


def relative_project_path(*parts: _Part) -> str:
    """The project directory joined with `parts` (an absolute part restarts)."""
    return os.path.join(_PROJECT_DIR, *parts)


def relative_logs_path(*parts: _Part) -> str:
    """The logs root joined with `parts`."""
    return os.path.join(_LOGS_DIR, *parts)


def relative_conf_path(*parts: _Part) -> str:
    """The configuration directory joined with `parts`."""
    return os.path.join(_CONF_DIR, *parts)
