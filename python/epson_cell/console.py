"""Where the command links' console lines go."""

from __future__ import annotations

from typing import Literal, TypeAlias

from ._modules import _cell_command_link

ConsoleLines: TypeAlias = Literal["logging", "streams"]


def set_console_lines(destination: ConsoleLines) -> None:
    """Choose where every command link in this process writes its console lines.

    ``"logging"``, what importing ``epson_cell`` chooses: the logger ``epson_cell``, with
    "Connected to ..." and "Disconnected from ..." as INFO, retried connection attempts as
    WARNING and failures as ERROR. Until a script configures logging, Python shows only the
    warnings and errors, on standard error; standard output stays the script's own.

    ``"streams"``, the modules' own default: the connect and disconnect lines on standard
    output, the rest on standard error.

    Raises:
        ValueError: For any other destination.
    """
    if destination not in ("logging", "streams"):
        raise ValueError(f"console lines go to 'logging' or 'streams', not {destination!r}")
    _cell_command_link.log_to_python(destination == "logging")
