"""Host-side operations of the benchmark, one JSON line on standard output.

    python hostops.py [--port PORT]

- CUF_REG_Read / CUF_REG_Write of Holdbank against a plain-Python class doing the same checks
  under the same kind of lock (times per call, loop included, best of several rounds).
- With --port (a Holdbank server listening on 127.0.0.1:PORT): a typed read through Socklink
  against the same read through pymodbus's ModbusTcpClient, alternating in blocks so that both
  see the same conditions (median time per call, median ratio of neighbouring blocks).
"""
import argparse
import json
import statistics
import sys
import threading
import time


class PlainBank:
    """What a Python programmer writes for a lock-guarded register bank."""

    def __init__(self, size=7000):
        self.size = size
        self.hr = [0] * size
        self.lock = threading.Lock()

    def CUF_REG_Read(self, addr):
        with self.lock:
            if not 0 <= addr < self.size:
                raise IndexError("Register Address Out of Range")
            return self.hr[addr]

    def CUF_REG_Write(self, addr, value):
        with self.lock:
            if not 0 <= addr < self.size:
                return False
            self.hr[addr] = value & 0xFFFF
            return True


def time_reads(read, addrs):
    t = time.perf_counter_ns()
    for a in addrs:
        read(a)
    return time.perf_counter_ns() - t


def time_writes(write, addrs):
    t = time.perf_counter_ns()
    for a in addrs:
        write(a, 12345)
    return time.perf_counter_ns() - t


def register_ops(size=1000, calls=200_000, rounds=7):
    import Holdbank

    ours = Holdbank.CLASS_Holdbank(size)
    plain = PlainBank(size)
    addrs = [i % size for i in range(calls)]
    cases = {
        "reg_read": (time_reads, ours.CUF_REG_Read, plain.CUF_REG_Read),
        "reg_write": (time_writes, ours.CUF_REG_Write, plain.CUF_REG_Write),
    }
    out = {}
    for name, (timer, ours_fn, plain_fn) in cases.items():
        timer(ours_fn, addrs[:10_000])
        timer(plain_fn, addrs[:10_000])
        best_ours = best_plain = None
        for _ in range(rounds):  # alternating, so drift hits both alike
            a = timer(ours_fn, addrs)
            b = timer(plain_fn, addrs)
            best_ours = a if best_ours is None else min(best_ours, a)
            best_plain = b if best_plain is None else min(best_plain, b)
        out[name] = {
            "holdbank_ns": best_ours / calls,
            "plain_ns": best_plain / calls,
            "holdbank_calls_per_s": calls * 1e9 / best_ours,
            "plain_calls_per_s": calls * 1e9 / best_plain,
        }
    # The empty loop, to see how much of a call's time is the loop around it.
    t = time.perf_counter_ns()
    for a in addrs:
        pass
    out["loop_ns"] = (time.perf_counter_ns() - t) / calls
    return out


def typed_reads(port, count=10, block=200, blocks=15):
    import Socklink
    from pymodbus.client import ModbusTcpClient

    link = Socklink.CLASS_Socklink()
    if not link.CUF_Open("127.0.0.1", port):
        raise RuntimeError("Socklink could not connect to 127.0.0.1:%d" % port)
    client = ModbusTcpClient("127.0.0.1", port=port)
    if not client.connect():
        raise RuntimeError("ModbusTcpClient could not connect to 127.0.0.1:%d" % port)
    try:
        def through_socklink():
            read = link.CUF_Read_HR_int
            t = time.perf_counter_ns()
            for _ in range(block):
                values = read(0, count)
            elapsed = time.perf_counter_ns() - t
            if len(values) != count:
                raise RuntimeError("Socklink read %r" % (values,))
            return elapsed

        def through_pymodbus():
            read = client.read_holding_registers
            t = time.perf_counter_ns()
            for _ in range(block):
                res = read(0, count=count)
                values = [] if res.isError() else res.registers
            elapsed = time.perf_counter_ns() - t
            if len(values) != count:
                raise RuntimeError("pymodbus read %r" % (res,))
            return elapsed

        through_socklink()
        through_pymodbus()
        ours, direct = [], []
        for _ in range(blocks):
            ours.append(through_socklink() / block)
            direct.append(through_pymodbus() / block)
        return {
            "registers": count,
            "socklink_us": statistics.median(ours) / 1000,
            "pymodbus_us": statistics.median(direct) / 1000,
            # Neighbouring blocks share the machine's conditions: their ratio is the steadier figure.
            "ratio": statistics.median(a / b for a, b in zip(ours, direct)),
        }
    finally:
        link.CUF_Close()
        client.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, help="a Holdbank server on 127.0.0.1 for the typed reads")
    args = ap.parse_args()
    result = {}
    try:
        result["register_ops"] = register_ops()
    except Exception as e:  # reported in the table, not fatal to the run
        result["register_ops_error"] = "%s: %s" % (type(e).__name__, e)
    if args.port:
        try:
            result["typed_read"] = typed_reads(args.port)
        except Exception as e:
            result["typed_read_error"] = "%s: %s" % (type(e).__name__, e)
    print(json.dumps(result))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
