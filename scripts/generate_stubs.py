#!/usr/bin/env python3
"""Writes the .pyi stubs of the built extension modules into a directory (default: python/).

The modules that register CellCommandLink and EthernetReceiveInterface are imported first, so
that the station's signatures name those Python classes rather than the native types.

pybind11-stubgen sees the modules' TypedDicts and error classes only as plain classes, so the
stubs are finished here from the live objects: a TypedDict keeps its docstring and gets its
keys, an error class's attributes become instance attributes, and `__version__` keeps its type
but not its value (a release would otherwise change every stub).
"""

import argparse
import importlib
import pathlib
import re
import sys
import typing

MODULES = ["_cell_command_link", "_cell_telemetry", "_cell_station", "_cell_simulator"]


def annotation(value):
    return value.__name__ if isinstance(value, type) else repr(value)


def class_blocks(text):
    """(name, start, end) of each top-level class block, as character offsets."""
    starts = [(m.group(1), m.start()) for m in re.finditer(r"^class (\w+)\b.*:$", text, re.M)]
    for name, start in starts:
        following = re.compile(r"^\S", re.M).search(text, text.index("\n", start) + 1)
        yield name, start, following.start() if following else len(text)


def docstring_end(block):
    """Offset just past the class docstring's closing quotes and line break (0: none)."""
    first = block.find('    """')
    if first == -1 or block[:first].count("\n") != 1:
        return 0
    return block.index('"""\n', first + 7) + 4


def finish(module, text):
    for name, start, end in reversed(list(class_blocks(text))):
        value = getattr(module, name, None)
        block = text[start:end]
        if typing.is_typeddict(value):
            body = "".join(f"    {key}: {annotation(kind)}\n"
                           for key, kind in value.__annotations__.items())
            head = block[:docstring_end(block)] or block[:block.index("\n") + 1]
            block = re.sub(r"^class (\w+)\(dict\):", r"class \1(typing.TypedDict):", head) + body
        elif isinstance(value, type) and issubclass(value, BaseException):
            block = re.sub(r"^    (\w+): typing\.ClassVar\[(.+)\] = .*$", r"    \1: \2", block,
                           flags=re.M)
        text = text[:start] + block + text[end:]
    # A path parameter comes out as a bare os.PathLike, which strict checkers reject as generic
    # without its argument; the module takes str paths.
    text = text.replace("os.PathLike | str | bytes", "os.PathLike[str] | str | bytes")
    return re.sub(r"^__version__: str = .*$", "__version__: str", text, flags=re.M)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("module_dir", help="where the built modules are")
    parser.add_argument("-o", "--output", default=str(pathlib.Path(__file__).parent.parent / "python"))
    args = parser.parse_args(argv)
    sys.path.insert(0, args.module_dir)
    for name in MODULES:
        __import__(name)
    import pybind11_stubgen

    for name in MODULES:
        pybind11_stubgen.main(["--output-dir", args.output, "--numpy-array-remove-parameters",
                               name])
        stub = pathlib.Path(args.output) / f"{name}.pyi"
        stub.write_text(finish(importlib.import_module(name), stub.read_text()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
