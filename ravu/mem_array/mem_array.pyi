"""Numpy arrays in named POSIX shared memory, attached by other processes."""
import mmap as mmap
import os as os
import threading as threading
from queue import Queue as Queue
from types import ModuleType, TracebackType
from typing import Any, ClassVar, Mapping, Optional, Sequence, SupportsIndex, Type, TypeVar, Union

import numpy as np
import numpy.typing as npt

__all__ = ["new_mem_array", "load_mem_array", "make_mem_array"]

# The creator-side segment class and the POSIX shared-memory module bound at
# import: the standard ones, or those of ravu._compat.
SegmentLedger: Any
_posixshmem: ModuleType

TYPE_DICT_n2t: dict[int, type]
TYPE_DICT_t2n: dict[str, int]

_Shape = Sequence[SupportsIndex]
# A code of TYPE_DICT_n2t, a type name of TYPE_DICT_t2n, a numpy dtype or
# scalar type (bool too).
_ElementType = Union[int, str, np.dtype[Any], Type[Any]]
_Descriptor = Mapping[str, Any]
_MA = TypeVar("_MA", bound="MemArray")

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
    # All None only in a bare MemArray() and after release(), when the array
    # is no longer to be used.
    uuid: str
    shape: _Shape
    dtype: _ElementType
    shm: Any
    data: npt.NDArray[Any]
    def __init__(self) -> None: ...
    def info(self) -> dict[str, Any]: ...
    @property
    def ndarray(self) -> npt.NDArray[Any]: ...
    @staticmethod
    def Name(shape: _Shape, dtype: _ElementType) -> str: ...
    @property
    def name(self) -> str: ...
    def release(self) -> None: ...
    def _release(self) -> None: ...
    def __enter__(self: _MA) -> _MA: ...
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
