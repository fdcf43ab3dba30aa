"""What went wrong, in words a person reads: the package's errors beside the modules' kinds.

The modules keep their messages as they are; ``Cell``'s methods and ``connect()`` raise
subclasses of the same kinds whose text also says what a refusal means, so ``except
ControllerError`` (or ``RuntimeError``) catches them as before.
"""

from __future__ import annotations

import contextlib
from collections.abc import Generator
from typing import TypeVar, cast

from ._modules import _cell_command_link

ControllerError = _cell_command_link.ControllerError
MotionAbortedError = _cell_command_link.MotionAbortedError
ConnectionLostError = _cell_command_link.ConnectionLostError
NotConnectedError = _cell_command_link.NotConnectedError


class _OutcomeUnknownPending(RuntimeError):
    """Never raised: stands in where the command link does not report unknown outcomes yet."""


# A command whose reply was lost or displaced: it may have taken effect. The command link's own
# kind, where it has one.
OutcomeUnknownError: type[RuntimeError] = getattr(_cell_command_link, "OutcomeUnknownError",
                                                  _OutcomeUnknownPending)


class ConnectFailedError(RuntimeError, ConnectionError):
    """A link could not be opened: the host does not resolve, nothing answers on the port, the
    connection was lost before the login was answered, or the telemetry did not connect.

    Nothing is left open. It is a ``RuntimeError``, as the modules raise it, and a
    ``ConnectionError`` (so an ``OSError``); the message is the module's. A controller that
    refuses the login raises ``ControllerError`` instead (code 13: a wrong password).
    """


class ControllerBusyError(ConnectFailedError):
    """The controller closed the command connection before it answered the login, as it does
    while another client holds that connection (a controller takes one at a time)."""


def meaning(error: BaseException) -> str:
    """What a controller refusal means (``ControllerError.meaning``); empty for other errors."""
    text = getattr(error, "meaning", "") if isinstance(error, ControllerError) else ""
    return text if isinstance(text, str) else ""


def explain(error: BaseException) -> str:
    """The error's message and, for a controller refusal, what it means.

    ``explain(e)`` for ``!Execute,20`` reads "Remote command failed: !Execute,20 (command:
    ...): Controller is not ready".
    """
    text = BaseException.__str__(error)
    said = meaning(error)
    if said and said.lower() not in text.lower():
        return f"{text}: {said}"
    return text


def _str_with_meaning(self: BaseException) -> str:
    return explain(self)


_Error = TypeVar("_Error", bound=BaseException)
_explaining: dict[type[BaseException], type[BaseException]] = {}


def _explaining_class(kind: type[BaseException]) -> type[BaseException]:
    made = _explaining.get(kind)
    if made is None:
        # Same name and attributes; only str() differs, so tracebacks and messages read whole.
        made = type(kind.__name__, (kind,), {"__str__": _str_with_meaning,
                                             "__module__": kind.__module__,
                                             "__doc__": kind.__doc__, "explained": True})
        _explaining[kind] = made
    return made


def with_meaning(error: _Error) -> _Error:
    """The same refusal as an instance whose ``str()`` includes its meaning (others unchanged)."""
    if not isinstance(error, ControllerError) or getattr(error, "explained", False):
        return error
    made = _explaining_class(type(error))(*error.args)
    made.__dict__.update(error.__dict__)
    return cast(_Error, made)


@contextlib.contextmanager
def explained() -> Generator[None, None, None]:
    """Re-raise a controller refusal from the block with its meaning in ``str()``."""
    try:
        yield
    except ControllerError as error:
        made = with_meaning(error)
        if made is error:
            raise
        raise made.with_traceback(error.__traceback__) from None


def connect_failed(error: RuntimeError) -> RuntimeError:
    """The package's kind for a failed connect: a refusal keeps its kind (with its meaning)."""
    if isinstance(error, ControllerError):
        return with_meaning(error)
    text = str(error)
    # After its attempts the link names the last reason; a connection that the controller
    # closes before any login reply is what a second client gets.
    if "login failed after" in text and "while waiting for an Epson Remote Ethernet" in text:
        return ControllerBusyError(text + " (the controller closed the connection before "
                                   "answering the login: another client may hold it)")
    return ConnectFailedError(text)
