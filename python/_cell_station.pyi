"""
Provide combined ownership of Epson hardware connections.

``CellStation`` opens and closes the command and telemetry
interfaces as one unit.
"""
from __future__ import annotations
import _cell_command_link
import _cell_telemetry
import typing
__all__: list[str] = ['CellStation']
class CellStation:
    """
    Own the Epson command and telemetry connections together.
    
    Construction logs into the command interface, verifies the login, and then
    opens telemetry without enabling the motors. Motor power is controlled
    separately through the command interface. If either connection fails, both
    interfaces are closed before the original exception is propagated. The Remote
    Ethernet credential is managed privately by the C++ hardware layer.
    
    Examples:
        >>> hardware = CellStation("192.168.0.1")
        >>> control = hardware.get_control_interface()
        >>> receive = hardware.get_receive_interface()
        >>> hardware.disconnect()
    """
    def __enter__(self) -> CellStation:
        """
        Return this station, for use in a ``with`` statement.
        """
    def __exit__(self, exc_type: typing.Any, exc_value: typing.Any, traceback: typing.Any) -> None:
        """
        Disconnect both interfaces when the ``with`` block ends, as ``disconnect()``
        does.
        
        An exception from the block is never suppressed.
        """
    def __init__(self, host: str, control_port: typing.SupportsInt | typing.SupportsIndex = 5000, receive_port: typing.SupportsInt | typing.SupportsIndex = 2000) -> None:
        """
        Connect to an Epson controller.
        
        Args:
            host: Controller hostname or IP address.
            control_port: Remote Ethernet command port.
            receive_port: Controller-pushed telemetry port.
        
        Raises:
            RuntimeError: If either connection, login, or initial telemetry readiness
                check fails.
        """
    def disconnect(self) -> None:
        """
        Disconnect both Epson interfaces.
        
        The telemetry interface is stopped first. The control interface then restores
        the original Tool state, turns motors off when appropriate, logs out, and
        closes its socket.
        
        Raises:
            RuntimeError: If either interface reports a shutdown failure.
        """
    def get_control_interface(self) -> _cell_command_link.CellCommandLink:
        """
        Return the owned command interface.
        
        Returns:
            The connected :class:`CellCommandLink`.
        """
    def get_receive_interface(self) -> _cell_telemetry.EthernetReceiveInterface:
        """
        Return the owned telemetry interface.
        
        Returns:
            The connected :class:`EthernetReceiveInterface`.
        """
    def is_connected(self) -> bool:
        """
        Return whether both Epson connections are active.
        
        Returns:
            ``True`` only while command and telemetry interfaces are connected.
        """
__version__: str
