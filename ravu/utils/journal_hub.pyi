"""The log collection server: UDP log records to one file per application and day."""
from typing import NoReturn

__all__ = ["start_journal_hub"]


def start_journal_hub(host: str = "0.0.0.0", port: int = 6666) -> NoReturn: ...
