"""The request being handled in the calling thread.

``request`` is one object for the life of the process (modules keep it bound
from their import); a dispatcher sets ``request.mq_id`` to the message id of
the request in the thread that runs its handlers, and every thread sees only
the value it set.
"""
import threading

__all__ = ["request"]

request = threading.local()
