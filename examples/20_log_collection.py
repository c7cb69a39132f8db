"""Log collection: a collection server in a child process on a free loopback
port, this process logging with collection on, and the line that lands in
the central file of the application and day.  Everything happens in a
temporary project directory that is removed at the end."""
import datetime
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

project = tempfile.mkdtemp(prefix="ravu-logs-")
home = os.getcwd()
hub = None
try:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    hub = subprocess.Popen(
        [sys.executable, "-c",
         f"from ravu.utils.journal_hub import start_journal_hub\n"
         f"start_journal_hub('127.0.0.1', {port})"],
        cwd=project, env=dict(os.environ, PYTHONPATH=home))
    # Bound once the kernel's socket table lists the port (a probing bind of
    # our own could hold the port just when the server binds it).
    local = "0100007F:%04X" % port
    for _ in range(500):
        with open("/proc/net/udp") as table:
            if any(row.split()[1] == local for row in list(table)[1:]):
                break
        time.sleep(0.01)
    print(f"collection server listening on 127.0.0.1:{port}")

    os.chdir(project)  # the base directories follow the working directory
    from ravu.utils import log
    from ravu.utils.logging import init_logger

    init_logger("demo", log_id="job-42", open_collect=True,
                collect_address=("127.0.0.1", port))
    log().info("camera %s online, %d frames buffered", "cam-1", 25)

    central = os.path.join(project, "logs", "demo", datetime.date.today().isoformat() + ".log")
    for _ in range(500):
        if os.path.exists(central) and open(central, encoding="utf-8").read().endswith("\n"):
            break
        time.sleep(0.01)
    print("local file  :", open(os.path.join(project, "logs", "demo.log")).read().rstrip())
    print("central file:", os.path.relpath(central, project))
    print("central line:", open(central, encoding="utf-8").read().rstrip())
finally:
    if hub is not None:
        hub.kill()
        hub.wait()
    for handler in __import__("logging").getLogger("demo").handlers:
        handler.close()
    os.chdir(home)
    shutil.rmtree(project, ignore_errors=True)
    print("server stopped, project directory removed")
