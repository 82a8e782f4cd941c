#!/usr/bin/python3
"""Round trips of write-coil requests made by pymodbus, one per line in microseconds.

usage: pymodbus_rtt.py HOST PORT WARMUP COUNT
Coil 0x0010 of unit 1 is switched on and off in turn; the first WARMUP requests are not
printed. Exits with status 1 when the module refuses or does not answer.
"""
import sys
import time

from pymodbus.client import ModbusTcpClient


def main():
    host, port, warm_up, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    client = ModbusTcpClient(host, port=port, timeout=3)
    if not client.connect():
        print("cannot connect to %s:%d" % (host, port), file=sys.stderr)
        return 1
    samples = []
    for n in range(warm_up + count):
        start = time.perf_counter_ns()
        reply = client.write_coil(0x10, n % 2 == 0, slave=1)
        took = time.perf_counter_ns() - start
        if reply.isError():
            print("write_coil failed: %s" % reply, file=sys.stderr)
            return 1
        if n >= warm_up:
            samples.append(took / 1000.0)
    client.close()
    sys.stdout.write("".join("%.1f\n" % s for s in samples))
    return 0


if __name__ == "__main__":
    sys.exit(main())
