"""Numpy arrays in named POSIX shared memory, attached by other processes."""
import mmap as mmap
import os as os
import threading as threading
from queue import Queue as Queue
from types import ModuleType, TracebackType
from typing import Any, ClassVar, Mapping, Optional, Sequence, Type, Union

import numpy as np
import numpy.typing as npt

__all__ = ["new_mem_array", "load_mem_array", "make_mem_array"]

# The creator-side segment class and the POSIX shared-memory module bound at
# import: the standard ones, or those of ravu._compat.
SegmentLedger: Any
_posixshmem: ModuleType

TYPE_DICT_n2t: dict[int, type]
TYPE_DICT_t2n: dict[str, int]

_Shape = Sequence[Any]
_ElementType = Any  # a code (int), a type name (str), a numpy dtype or scalar type
_Descriptor = Mapping[str, Any]

class SharedMemory:
    _fd: int
    _name: Optional[str]
    _size: int
    _mmap: Any
    _buf: Optional[memoryview]
    def __init__(self, name: str) -> None: ...
    @property
    def buf(self) -> Optional[memoryview]: ...
    @property
    def name(self) -> Optional[str]: ...
    @property
    def size(self) -> int: ...
    def close(self) -> None: ...

class MAType:
    _code: Any
    _dtype: Any
    _size: Any
    def __init__(self, t: _ElementType) -> None: ...
    @property
    def code(self) -> int: ...
    @property
    def dtype(self) -> Union[type, str]: ...
    @property
    def size(self) -> int: ...

class MemArray:
    uuid: Optional[str]
    shape: Optional[_Shape]
    dtype: Optional[_ElementType]
    shm: Any
    data: Optional[npt.NDArray[Any]]
    def __init__(self) -> None: ...
    def info(self) -> dict[str, Any]: ...
    @property
    def ndarray(self) -> Optional[npt.NDArray[Any]]: ...
    @staticmethod
    def Name(shape: _Shape, dtype: _ElementType) -> str: ...
    @property
    def name(self) -> str: ...
    def release(self) -> None: ...
    def _release(self) -> None: ...
    def __enter__(self) -> MemArray: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> None: ...

class MemArrayOnce(MemArray):
    def __init__(self, shape: _Shape, dtype: _ElementType) -> None: ...
    def _release(self) -> None: ...

class MemArrayOncePool:
    _pool_dict: ClassVar[dict[str, MemArrayOncePool]]
    _pool_mutex: ClassVar[Any]
    max_pool_size: Any
    shape: _Shape
    dtype: _ElementType
    pool: Queue[MemArrayOnce]
    size: int
    mutex: Any
    def __init__(self, shape: _Shape, dtype: _ElementType, max_pool_size: Any) -> None: ...
    def name(self) -> str: ...
    def is_empty(self) -> bool: ...
    def _add(self) -> bool: ...
    def get(self) -> Optional[MemArrayOnce]: ...
    def push_back(self, ma: Any) -> None: ...
    @classmethod
    def get_pool(cls, shape: _Shape, dtype: _ElementType, max_pool_size: Any) -> MemArrayOncePool: ...

class MemArrayReuse(MemArray):
    max_pool_size: Any
    pool: MemArrayOncePool
    src_ma: Optional[MemArrayOnce]
    def __init__(self, shape: _Shape, dtype: _ElementType, max_pool_size: Any) -> None: ...
    def _release(self) -> None: ...

class MemArrayRead(MemArray):
    def __init__(self, uuid: str, shape: _Shape, dtype: _ElementType) -> None: ...
    def _release(self) -> None: ...

def new_mem_array(
    shape: _Shape, dtype: _ElementType, max_pool_size: Any = 0
) -> Union[MemArrayOnce, MemArrayReuse]: ...
def make_mem_array(
    array: npt.NDArray[Any], max_pool_size: Any = 0
) -> Union[MemArrayOnce, MemArrayReuse]: ...
def load_mem_array(info: _Descriptor, /) -> MemArrayRead: ...
