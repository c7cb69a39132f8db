"""``shm_open`` and ``shm_unlink`` over the tmpfs that Linux mounts at /dev/shm.

The interface is the interpreter's ``_posixshmem``: the path is "/" + name,
and failures raise ``OSError`` carrying the errno and the path that was
asked for."""
import errno
import os

__all__ = ["shm_open", "shm_unlink"]

_ROOT = "/dev/shm"


def _file(path: object) -> str:
    # Like the C library: leading slashes go, and what is left must be one
    # non-empty path component.
    if not isinstance(path, str):
        raise TypeError("shm path must be str, not %s" % type(path).__name__)
    if "\0" in path:
        raise ValueError("embedded null character")
    name = path.lstrip("/")
    if not name or "/" in name or name in (".", ".."):
        raise OSError(errno.EINVAL, os.strerror(errno.EINVAL), path)
    return os.path.join(_ROOT, name)


def shm_open(path: str, flags: int, mode: int = 0o777) -> int:
    """Opens the shared-memory object `path`; returns its descriptor."""
    file = _file(path)
    try:
        # os.open makes the descriptor non-inheritable; never follow a link
        # someone placed in the shared directory.
        return os.open(file, flags | os.O_NOFOLLOW, mode)
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None


def shm_unlink(path: str) -> None:
    """Removes the name `path` of a shared-memory object."""
    file = _file(path)
    try:
        os.unlink(file)
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None
