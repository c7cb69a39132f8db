"""Numpy arrays in named POSIX shared memory (``ravu.mem_array.mem_array``)."""
