"""Build tool: copies a project tree below the working directory and compiles
its sources marked '# @Compile : True' into extension modules."""
import datetime as datetime
import os as os
import shutil as shutil
import sys as sys
from distutils.core import setup as setup
from typing import Any

def cythonize(
    module_list: Any,
    exclude: Any = None,
    nthreads: int = 0,
    aliases: Any = None,
    quiet: bool = False,
    force: bool = False,
    language: str | None = None,
    exclude_failures: bool = False,
    **options: Any,
) -> list[Any]: ...

src_dir: str | None
dst_dir: str | None

def generate_dir(project_dir: str) -> None: ...
def create_temp() -> str: ...
def in_src(path: str) -> str: ...
def in_dst(path: str) -> str: ...
def copy(parent: str) -> None: ...
def main() -> None: ...
