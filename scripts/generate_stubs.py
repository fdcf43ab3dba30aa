#!/usr/bin/env python3
"""Writes the .pyi stubs of the built extension modules into a directory (default: python/).

The modules that register CellCommandLink and EthernetReceiveInterface are imported first, so
that the station's signatures name those Python classes rather than the native types.
"""

import argparse
import pathlib
import sys

MODULES = ["_cell_command_link", "_cell_telemetry", "_cell_station", "_cell_simulator"]


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
    return 0


if __name__ == "__main__":
    sys.exit(main())
