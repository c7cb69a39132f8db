"""Numpy arrays in named POSIX shared memory, attached by other processes."""
import mmap as mmap
import os as os
import threading as threading
from queue import Queue as Queue
from types import ModuleType, TracebackType
from typing import (Any, ClassVar, Literal, Mapping, Optional, Sequence, SupportsIndex, Type,
                    TypeVar, Union, overload)

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
    _name: str
    _size: int
    _mmap: Any
    _buf: Optional[memoryview]
    def __init__(self, name: str) -> None: ...
    # None only after close(), when the attachment is no longer to be used.
    @property
    def buf(self) -> memoryview: ...
    @property
    def name(self) -> str: ...
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
    # None in an empty array: a bare MemArray(), a MemArrayReuse that its
    # pool could not serve, and any array after release().
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
    def __enter__(self: _MA) -> _MA: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> None: ...

# A once-only or attached array holds its segment from construction until
# release(), after which it is not to be used: no None to check for.  (A
# type-checking name only: both derive from MemArray itself.)
class _HeldArray(MemArray):
    uuid: str
    shape: _Shape
    dtype: _ElementType
    data: npt.NDArray[Any]
    @property
    def ndarray(self) -> npt.NDArray[Any]: ...

class MemArrayOnce(_HeldArray):
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

class MemArrayRead(_HeldArray):
    def __init__(self, uuid: str, shape: _Shape, dtype: _ElementType) -> None: ...
    def _release(self) -> None: ...

# A max_pool_size of 0 makes a once-only array; any other borrows from a pool.
@overload
def new_mem_array(shape: _Shape, dtype: _ElementType,
                  max_pool_size: Literal[0] = 0) -> MemArrayOnce: ...
@overload
def new_mem_array(shape: _Shape, dtype: _ElementType,
                  max_pool_size: float) -> Union[MemArrayOnce, MemArrayReuse]: ...
@overload
def make_mem_array(array: npt.NDArray[Any], max_pool_size: Literal[0] = 0) -> MemArrayOnce: ...
@overload
def make_mem_array(array: npt.NDArray[Any],
                   max_pool_size: float) -> Union[MemArrayOnce, MemArrayReuse]: ...
def load_mem_array(info: _Descriptor, /) -> MemArrayRead: ...
