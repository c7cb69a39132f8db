"""Every public name documents itself: a docstring, and a signature that
inspect.signature and help() can show."""
import importlib
import inspect
import pkgutil
import pydoc
import re

import pytest

MODULES = [
    "ravu.utils.lock",
    "ravu.utils.datakit",
    "ravu.utils.path",
    "ravu.utils.convert",
    "ravu.utils.strategy",
    "ravu.utils.logging",
    "ravu.utils.journal_hub",
    "ravu.cv.stream_grabber",
    "ravu.cv.stream_reader",
    "ravu.mem_array.mem_array",
    "ravu.utils.kv_link",
    "ravu.utils.kv_mutex",
    "ravu.mqrpc.transfer",
    "ravu.mqrpc.route",
    "ravu.cv.image",
    "ravu.cv.box",
    "ravu.cv.direction",
    "ravu.cv.tripwire",
    "ravu.cv.zone_shape",
    "ravu.utils.working",
    "ravu.utils.ticker",
    "ravu.cmd.compile",
]


def public_names(mod):
    """The module's own public names: __all__, else what it defines itself
    (not what it imports)."""
    names = getattr(mod, "__all__", None)
    if names is None:
        names = [n for n, v in vars(mod).items()
                 if not n.startswith("_") and getattr(v, "__module__", None) == mod.__name__]
    return sorted(names)


def own_members(cls):
    """Public methods and properties a class defines itself."""
    for name, member in vars(cls).items():
        if not name.startswith("_"):
            yield name, member


# The lock wrapper's __doc__ is None by design: the wrapper copies nothing
# from the function it wraps.
NO_DOC = {("ravu.cv.stream_reader", "create_cap")}


def entries():
    for modname in MODULES:
        mod = importlib.import_module(modname)
        for name in public_names(mod):
            yield modname, name


@pytest.mark.parametrize("modname", MODULES)
def test_module_has_a_docstring_and_renders_as_a_help_page(modname):
    mod = importlib.import_module(modname)
    assert mod.__doc__ and len(mod.__doc__.splitlines()) > 1
    page = pydoc.render_doc(mod, renderer=pydoc.plaintext)
    for name in public_names(mod):
        assert name in page


def package_modules():
    """Every module of the package, the plain ones too; not the build tool's
    __main__, whose import would run it."""
    import ravu
    return sorted(m.name for m in pkgutil.walk_packages(ravu.__path__, "ravu.")
                  if not m.name.endswith(".__main__"))


def own_callables(mod):
    """The public functions and classes a module defines itself, in its
    __all__ or not."""
    return sorted(n for n, v in vars(mod).items()
                  if not n.startswith("_") and callable(v)
                  and getattr(v, "__module__", None) == mod.__name__)


def named(name, text):
    return re.search(r"(?<![\w.])%s(?!\w)" % re.escape(name), text) is not None


@pytest.mark.parametrize("modname", package_modules())
def test_reference_page_sums_the_module_up_and_names_every_public_function(modname):
    mod = importlib.import_module(modname)
    # pydoc puts the first docstring line after NAME only when a blank line
    # follows it.
    synopsis, _ = pydoc.splitdoc(mod.__doc__ or "")
    assert synopsis, "no one-line summary"
    page = pydoc.render_doc(mod, renderer=pydoc.plaintext)
    assert [n for n in own_callables(mod) if not named(n, page)] == []
    # A page lists only __all__ when there is one: the names outside it are
    # found through the module docstring.
    outside = [n for n in own_callables(mod) if n not in getattr(mod, "__all__", [n])]
    assert [n for n in outside if not named(n, mod.__doc__)] == []


@pytest.mark.parametrize("modname,name", list(entries()))
def test_public_name_has_a_signature_and_a_docstring(modname, name):
    obj = getattr(importlib.import_module(modname), name)
    if isinstance(obj, (int, str)):
        return  # a public constant, such as the handler phases
    assert callable(obj)
    inspect.signature(obj)
    if (modname, name) not in NO_DOC:
        assert inspect.getdoc(obj)
    if not inspect.isclass(obj):
        return
    for member_name, member in own_members(obj):
        where = f"{name}.{member_name}"
        if isinstance(member, (staticmethod, classmethod)):
            member = getattr(obj, member_name)
        if callable(member):
            inspect.signature(member)
        elif not inspect.isdatadescriptor(member):
            continue  # a plain class constant such as MAX_LEN
        assert inspect.getdoc(member), where


def params(fn):
    return [(p.name, p.kind, p.default) for p in inspect.signature(fn).parameters.values()]


def test_signatures_show_the_parameters_the_calls_take():
    from ravu.cv.stream_grabber import StreamGrabber
    from ravu.cv.stream_reader import StreamReader, create_cap
    from ravu.utils.datakit import CircularQueue
    from ravu.utils.lock import lock_func
    from ravu.utils.logging import init_logger

    def f():
        pass

    wrapper = lock_func()(f)
    assert str(inspect.signature(wrapper)) == "(*args, **kwargs)"
    assert wrapper.__doc__ is None and "__signature__" not in vars(wrapper)
    assert str(inspect.signature(lock_func())) == "(func, /)"
    # create_cap passes on the grabber's ten parameters, in the same order.
    P = inspect.Parameter
    assert params(create_cap) == (
        [("endpoint", P.POSITIONAL_OR_KEYWORD, P.empty)] + params(StreamGrabber)
        + [("read_timeout_callback", P.POSITIONAL_OR_KEYWORD, None)])
    assert create_cap.__name__ == "decorator" and create_cap.__doc__ is None
    assert str(inspect.signature(StreamReader.read)) == \
        "(self, /, is_return_num=False, timeout=8, is_copy=True)"
    assert str(inspect.signature(CircularQueue.getall)) == "(self, /)"
    assert inspect.signature(init_logger).parameters["rotating_conf"].default == \
        {"when": "W0", "interval": 1, "backupCount": 53}


def test_a_signature_assigned_to_a_wrapper_is_kept_like_a_functions():
    from ravu.utils.lock import lock_func

    def f(a, b=2):
        return a + b

    wrapper = lock_func()(f)
    wrapper.__signature__ = inspect.signature(f)
    assert str(inspect.signature(wrapper)) == "(a, b=2)"
    del wrapper.__signature__
    assert str(inspect.signature(wrapper)) == "(*args, **kwargs)"
    with pytest.raises(AttributeError):
        del wrapper.__signature__
    assert wrapper(1) == 3
