"""File search and path text functions."""
import os
import types

import pytest

import ravu.utils.path as rpath
from ravu.utils.path import (parse_filepath_dir, parse_filepath_name, parse_filepath_parent_name,
                             parse_filepath_prefix, parse_filepath_suffix,
                             replace_filepath_suffix, search_filepaths, split_filepath)

ONE_ARG = [parse_filepath_prefix, parse_filepath_suffix, parse_filepath_name,
           parse_filepath_parent_name, parse_filepath_dir, split_filepath]


def reference_search(root, keep):
    out = []
    for parent, _dirs, files in os.walk(root):
        for f in files:
            p = os.path.join(parent, f)
            if keep(p):
                out.append(p)
    return out


def test_module_interface():
    assert rpath.__all__ == ["search_filepaths", "parse_filepath_prefix", "parse_filepath_suffix",
                             "parse_filepath_name", "parse_filepath_parent_name",
                             "parse_filepath_dir", "replace_filepath_suffix", "split_filepath"]
    assert rpath.os is os


@pytest.mark.parametrize("fn", ONE_ARG, ids=lambda f: f.__name__)
def test_one_argument_by_position_only(fn):
    with pytest.raises(TypeError, match=f"^{fn.__name__}\\(\\) got some positional-only"):
        fn(filepath="a/b.txt")
    with pytest.raises(TypeError):
        fn()
    with pytest.raises(TypeError):
        fn("a", "b")


def test_two_argument_functions_take_keywords(tmp_path):
    assert replace_filepath_suffix(new_suffix="md", filepath="README") == "README.md"
    assert search_filepaths(file_filter=bool, root_path=str(tmp_path)) == []


@pytest.mark.parametrize("fn, arg, expected", [
    # the suffix comes from the file name only
    (parse_filepath_suffix, "a/b.tar.gz", "tar"),
    (parse_filepath_suffix, "dir.old/file.txt", "txt"),
    (parse_filepath_suffix, "./file.txt", "txt"),
    (parse_filepath_suffix, "a/.profile", "profile"),
    (parse_filepath_suffix, "b.", ""),
    (parse_filepath_prefix, "a/b.tar.gz", "b"),
    (parse_filepath_prefix, "a/.profile", ""),
    (parse_filepath_prefix, "dir.old/file", "file"),
    (parse_filepath_prefix, "x.y/", ""),
    (parse_filepath_parent_name, "a/b/c.txt", "b"),
    (parse_filepath_parent_name, "a/b/", "b"),
    (parse_filepath_parent_name, "/c.txt", ""),
    (parse_filepath_parent_name, "a//c", ""),
    (parse_filepath_name, "a/b/", ""),
    (parse_filepath_name, "a/b.txt", "b.txt"),
    (parse_filepath_name, "b.txt", "b.txt"),
    (parse_filepath_dir, "c.txt", ""),
    (parse_filepath_dir, "a//b/c", "a//b"),
    (parse_filepath_dir, "//c", "//"),
    (parse_filepath_dir, "a/b//", "a/b"),
    (split_filepath, "/a/b.txt", ("/a", "b.txt")),
    (split_filepath, "", ("", "")),
    (split_filepath, "///", ("///", "")),
    (split_filepath, "é/ü.txt", ("é", "ü.txt")),
], ids=lambda v: repr(v) if isinstance(v, str) else getattr(v, "__name__", repr(v)))
def test_path_texts(fn, arg, expected):
    assert fn(arg) == expected


@pytest.mark.parametrize("arg", ["a/b/c", "/a/b/", "x//y", "", "../..", "é/ü.ö"])
def test_split_functions_agree_with_os_path_split(arg):
    head, tail = os.path.split(arg)
    assert split_filepath(arg) == (head, tail)
    assert parse_filepath_dir(arg) == head and parse_filepath_name(arg) == tail


@pytest.mark.parametrize("fn, arg", [
    (parse_filepath_suffix, "README"),
    (parse_filepath_suffix, "dir.old/file"),  # the dot is in the directory only
    (parse_filepath_suffix, "a/b/"),
    (parse_filepath_parent_name, "c.txt"),
    (parse_filepath_parent_name, ""),
])
def test_index_errors(fn, arg):
    with pytest.raises(IndexError, match="^list index out of range$"):
        fn(arg)


@pytest.mark.parametrize("path, suffix, expected", [
    ("a/b.tar.gz", "zip", "a/b.zip"),
    ("dir.old/file.txt", "png", "dir.old/file.png"),
    ("README", "md", "README.md"),
    ("./file.txt", "png", "./file.png"),
    ("a/.profile", "bak", "a/.bak"),
    ("a//b.c", "d", "a//b.d"),
    ("a/b/", "x", "a/b/.x"),
    ("/x.y", "", "/x."),
])
def test_replace_filepath_suffix(path, suffix, expected):
    assert replace_filepath_suffix(path, suffix) == expected


def test_replace_filepath_suffix_needs_a_text():
    with pytest.raises(TypeError, match=r'^can only concatenate str \(not "int"\) to str$'):
        replace_filepath_suffix("a.b", 3)


def test_non_text_paths_fail():
    for fn in ONE_ARG:
        with pytest.raises((TypeError, AttributeError)):
            fn(5)


def test_prefix_uses_parse_filepath_name_through_module(monkeypatch):
    monkeypatch.setattr(rpath, "parse_filepath_name", lambda p: "x.y.z")
    assert parse_filepath_prefix("whatever") == "x"


def test_os_looked_up_at_call_time(monkeypatch):
    fake_path = types.SimpleNamespace(split=lambda p: ("HEAD", "t.a.b"),
                                      join=lambda a, b: a + "|" + b)
    fake_os = types.SimpleNamespace(path=fake_path,
                                    walk=lambda root: iter([(root, [], ["f1", "f2"])]))
    monkeypatch.setattr(rpath, "os", fake_os)
    assert split_filepath("x") == ("HEAD", "t.a.b")
    assert parse_filepath_dir("x") == "HEAD"
    assert parse_filepath_name("x") == "t.a.b"
    assert parse_filepath_suffix("x") == "a"
    assert parse_filepath_prefix("x") == "t"
    assert search_filepaths("R", lambda p: p.endswith("2")) == ["R|f2"]


# ---------------------------------------------------------------- search_filepaths

@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "root"
    (root / "a" / "aa").mkdir(parents=True)
    (root / "b").mkdir()
    (root / "é dir").mkdir()
    for rel in ["top.jpg", "top.txt", "a/x.jpg", "a/aa/deep.jpg", "b/y.png", "é dir/ü.jpg"]:
        (root / rel).write_text("x")
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "hidden.jpg").write_text("x")
    os.symlink(outside, root / "link_to_dir")          # listed as a directory, not walked
    os.symlink(root / "top.txt", root / "link_to_file")
    os.symlink(tmp_path / "missing", root / "broken")  # not a directory: a file
    os.mkfifo(root / "b" / "fifo")
    return root


def test_search_matches_os_walk(tree):
    seen = []

    def keep(p):
        seen.append(p)
        return p.endswith(".jpg")

    got = search_filepaths(str(tree), keep)
    everything = reference_search(str(tree), lambda p: True)
    assert seen == everything
    assert got == [p for p in everything if p.endswith(".jpg")]
    names = {os.path.relpath(p, tree) for p in everything}
    assert names == {"top.jpg", "top.txt", "link_to_file", "broken", "a/x.jpg", "a/aa/deep.jpg",
                     "b/y.png", "b/fifo", "é dir/ü.jpg"}


def test_search_top_down_directory_before_subdirectories(tree):
    got = search_filepaths(str(tree), lambda p: True)
    rel = [os.path.relpath(p, tree) for p in got]
    assert rel.index("a/x.jpg") < rel.index("a/aa/deep.jpg")
    top_level = [r for r in rel if "/" not in r]
    assert rel[:len(top_level)] == top_level


def test_search_paths_keep_root_as_given(tree, monkeypatch):
    monkeypatch.chdir(tree.parent)
    got = search_filepaths("root", lambda p: p.endswith("deep.jpg"))
    assert got == ["root/a/aa/deep.jpg"]
    assert search_filepaths("root/", lambda p: p.endswith("deep.jpg")) == ["root/a/aa/deep.jpg"]
    monkeypatch.chdir(tree)
    assert sorted(search_filepaths(".", lambda p: p.endswith("top.jpg"))) == ["./top.jpg"]


def test_search_truth_value_and_errors(tree):
    calls = []

    def odd(p):
        calls.append(p)
        return len(calls) % 2  # an int: its truth value decides

    got = search_filepaths(str(tree), odd)
    assert got == calls[::2]

    def boom(p):
        raise KeyError(p)

    with pytest.raises(KeyError):
        search_filepaths(str(tree), boom)


def test_search_missing_root_or_plain_file(tree):
    def never(p):
        raise AssertionError(p)

    assert search_filepaths(str(tree / "nope"), never) == []
    assert search_filepaths(str(tree / "top.txt"), never) == []
    assert search_filepaths("", never) == []


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every directory")
def test_search_skips_unreadable_directories(tree):
    locked = tree / "a"
    locked.chmod(0)
    try:
        got = search_filepaths(str(tree), lambda p: True)
        assert got == reference_search(str(tree), lambda p: True)
        assert not any("/a/" in p for p in got)
    finally:
        locked.chmod(0o755)


def test_search_undecodable_names(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/caf\xe9.jpg"
    with open(raw, "wb"):
        pass
    got = search_filepaths(str(tmp_path), lambda p: True)
    assert got == reference_search(str(tmp_path), lambda p: True)
    assert os.fsencode(got[0]) == raw


def test_search_other_root_kinds(tree):
    expected = reference_search(str(tree), lambda p: True)
    assert search_filepaths(tree, lambda p: True) == expected  # a PathLike
    as_bytes = search_filepaths(os.fsencode(str(tree)), lambda p: True)
    assert as_bytes == [os.fsencode(p) for p in expected]
    with pytest.raises(ValueError):
        search_filepaths(str(tree) + "\0", lambda p: True)
    with pytest.raises(TypeError):
        search_filepaths(5, lambda p: True)


# ---------------------------------------------------------------- the text functions against their rule

def reference_replace(filepath, new_suffix):
    name = rpath.os.path.split(filepath)[1]
    return filepath[:len(filepath) - len(name)] + name.split(".")[0] + "." + new_suffix


PATHS = ["a/b.tar.gz", "README", "dir.old/file", "./x.y", "a/b/", "", "/", ".", "..x", "a//b.c",
         "é/ü.tar", "ÿ/a", "a/ÿ.b", "日本/x.y", "a\u0100/b.c", "\U0001F600/a.b", "a/\U0001F600.b"]
SUFFIXES = ["zip", "", "ü", "日", "\U0001F600"]


@pytest.mark.parametrize("path", PATHS)
def test_replace_filepath_suffix_follows_its_rule(path):
    for suffix in SUFFIXES:
        got = replace_filepath_suffix(path, suffix)
        assert type(got) is str and got == reference_replace(path, suffix), suffix


def fake_split(p):
    return ("H", "t.é.x")


@pytest.mark.parametrize("replace", ["global os", "os.path", "os.path.split"])
def test_path_functions_follow_a_replaced_split(monkeypatch, replace):
    if replace == "global os":
        monkeypatch.setattr(rpath, "os", types.SimpleNamespace(
            path=types.SimpleNamespace(split=fake_split)))
    elif replace == "os.path":
        other = types.ModuleType("posixpath")
        other.__dict__.update(vars(os.path), split=fake_split)
        monkeypatch.setattr(os, "path", other)
    else:
        monkeypatch.setattr(os.path, "split", fake_split)
    for path in ["dir.d/abc.d.e", "x", "é/ü"]:
        assert split_filepath(path) == ("H", "t.é.x")
        assert parse_filepath_name(path) == "t.é.x" and parse_filepath_dir(path) == "H"
        assert parse_filepath_suffix(path) == "é" and parse_filepath_prefix(path) == "t"
        for suffix in SUFFIXES:
            assert replace_filepath_suffix(path, suffix) == reference_replace(path, suffix)
    monkeypatch.undo()
    assert replace_filepath_suffix("dir.d/abc.d.e", "f") == "dir.d/abc.f"
    assert split_filepath("a/b") == ("a", "b")


def test_replace_filepath_suffix_of_text_subclasses():
    class Text(str):
        pass
    got = replace_filepath_suffix(Text("a/b.c"), Text("d"))
    assert type(got) is str and got == "a/b.d"
