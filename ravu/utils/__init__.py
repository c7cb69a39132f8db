"""Utility modules.

The names re-exported here are the ones other ravu modules take by
``from ravu.utils import *``."""
from ravu.utils.lock import lock_class_func, lock_func
from ravu.utils.datakit import CircularQueue, get_any_from_dict
from ravu.utils.logging import log

__all__ = ["log", "CircularQueue", "lock_class_func", "lock_func", "get_any_from_dict"]
