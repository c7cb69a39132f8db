"""An array in shared memory, attached and written from a second process."""
import subprocess
import sys
import textwrap

import numpy as np

from ravu.mem_array.mem_array import load_mem_array, make_mem_array

frame = np.arange(2 * 3 * 3, dtype=np.uint8).reshape(2, 3, 3)
with make_mem_array(frame) as shared:
    info = shared.info()
    print("descriptor:", info, flush=True)
    # It travels by the service's own means; here as text, the dtype by name.
    info = dict(info, dtype=str(info["dtype"]))
    # The other process gets only the descriptor and attaches without copying.
    child = textwrap.dedent(f"""
        from ravu.mem_array.mem_array import load_mem_array
        with load_mem_array({info!r}) as seen:
            print("child sees row 0:", seen.data[0].tolist())
            seen.data[1] = 255
    """)
    subprocess.run([sys.executable, "-c", child], check=True)
    print("parent sees row 1 after the child wrote it:", shared.data[1].tolist())
print("released: the segment is unlinked")
