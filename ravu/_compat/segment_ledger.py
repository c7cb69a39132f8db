"""A creator-side shared-memory segment, for when the standard one is missing.

Stands in for ``multiprocessing.shared_memory`` where it cannot be imported.

``SharedMemory(create=True, size=n)`` makes a new object under a fresh
random name and maps it; ``SharedMemory(name)`` maps an existing one.
Nothing is registered anywhere: whoever created a segment removes it with
``unlink()``.
"""
import mmap
import os
import secrets
from typing import Any, Optional, Tuple

from ravu._compat import _posixshmem

__all__ = ["SharedMemory"]

_PREFIX = "rvsm_"
_TRIES = 64


class SharedMemory:
    """One named shared-memory object and a read-write mapping of it."""

    def __init__(self, name: Optional[str] = None, create: bool = False, size: int = 0) -> None:
        self._fd = -1
        self._mmap: Optional[mmap.mmap] = None
        self._buf: Optional[memoryview] = None
        if create:
            size = int(size)
            if size <= 0:
                raise ValueError("'size' must be a positive number different from zero")
            self._name = self._create()
            try:
                os.ftruncate(self._fd, size)
                self._attach()
            except BaseException:
                self._drop()
                raise
        else:
            if name is None:
                raise ValueError("'name' can only be None if create=True")
            self._name = "/" + name
            self._fd = _posixshmem.shm_open(self._name, os.O_RDWR, mode=0o600)
            try:
                self._attach()
            except BaseException:
                self.close()
                raise

    def _create(self) -> str:
        flags = os.O_CREAT | os.O_EXCL | os.O_RDWR
        for _ in range(_TRIES):
            path = "/" + _PREFIX + secrets.token_hex(8)
            try:
                self._fd = _posixshmem.shm_open(path, flags, mode=0o600)
            except FileExistsError:
                continue
            return path
        raise FileExistsError("no free shared-memory name after %d tries" % _TRIES)

    def _attach(self) -> None:
        self._size = os.fstat(self._fd).st_size
        self._mmap = mmap.mmap(self._fd, self._size)
        self._buf = memoryview(self._mmap)

    def _drop(self) -> None:
        # A half-made segment: nobody else knows its name, so it goes.
        self.close()
        try:
            _posixshmem.shm_unlink(self._name)
        except OSError:
            pass

    @property
    def buf(self) -> Optional[memoryview]:
        return self._buf

    @property
    def name(self) -> str:
        return self._name[1:] if self._name.startswith("/") else self._name

    @property
    def size(self) -> int:
        return self._size

    def close(self) -> None:
        """Drops this process' view and mapping; the segment stays."""
        if self._buf is not None:
            self._buf.release()
            self._buf = None
        if self._mmap is not None:
            self._mmap.close()
            self._mmap = None
        if self._fd >= 0:
            fd, self._fd = self._fd, -1
            os.close(fd)

    def unlink(self) -> None:
        """Removes the segment's name; mappings that exist stay valid."""
        _posixshmem.shm_unlink(self._name)

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __reduce__(self) -> Tuple[Any, Tuple[str, bool, int]]:
        return (self.__class__, (self.name, False, self.size))

    def __repr__(self) -> str:
        return "%s(%r, size=%r)" % (type(self).__name__, self.name, getattr(self, "_size", 0))
