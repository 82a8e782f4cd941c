"""A module's data model served by pymodbus, as an independent Modbus TCP peer for the panel.

Coils 0..3 are the digital inputs (read with function 1), coils 0x10..0x13 the relays,
input registers 0..1 the analog inputs, holding registers 0x3F..0x43 the parameter block.
Usage: pymodbus_module.py PORT
"""
import logging
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartTcpServer

logging.disable(logging.CRITICAL)


def main():
    port = int(sys.argv[1])
    coils = ModbusSequentialDataBlock(0, [1, 0, 1, 1] + [0] * 28)
    inputs = ModbusSequentialDataBlock(0, [0x0200, 0x0400])
    holding = ModbusSequentialDataBlock(0, [0] * 0x3F + [0x0300, 0x0207, 0x1600, 0, 0])
    slave = ModbusSlaveContext(co=coils, ir=inputs, hr=holding, di=coils, zero_mode=True)
    context = ModbusServerContext(slaves=slave, single=True)
    StartTcpServer(context=context, address=("127.0.0.1", port))


if __name__ == "__main__":
    main()
