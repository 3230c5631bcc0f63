"""Runs every entry point of kelvane a few times, its internal-fault paths
included; test_memcheck.py runs this under valgrind."""

import _testcapi
import os
import sys

import entry_points

ROUNDS = 50


def main():
    ns = entry_points.namespace()  # the first import happens here
    for _ in range(ROUNDS):
        for name, expr, expect in entry_points.ENTRIES:
            try:
                eval(expr, ns)
            except Exception as exc:
                assert expect == (type(exc).__name__, str(exc)), (name, exc)
            else:
                assert expect is None, name

    kelvane = ns["kelvane"]
    # A bytes result that cannot be allocated: the fault path, up to
    # PanicException, for each builder.
    panic = None
    calls = [
        kelvane.sys_reset,
        lambda: kelvane.set_temperature_request(1, 2.0, 3),
        lambda: kelvane.set_channel_request(1, ns["cfg"], 3),
    ]
    for call in calls:
        for k in range(8):
            _testcapi.set_nomemory(k, k + 1)
            try:
                call()
            except MemoryError:
                pass
            except BaseException as exc:  # noqa: BLE001 - PanicException
                panic = type(exc)
                assert exc.args == ("Python API call failed",)
            finally:
                _testcapi.remove_mem_hooks()
    assert panic is not None

    # A PanicException raised by user code in a conversion is resumed.
    class PanicIndex:
        def __index__(self):
            raise panic("from user code")

    for _ in range(ROUNDS):
        try:
            kelvane.set_channel_request(PanicIndex(), ns["cfg"], 1)
        except panic as exc:
            assert exc.args == ("from user code",)

    # Import again after dropping the module from sys.modules.
    for _ in range(ROUNDS):
        root = sys.modules.pop("kelvane")
        import kelvane as again

        assert again is root
    print("memcheck driver: done")


if __name__ == "__main__":
    main()
    # Leave without finalizing the interpreter: everything still alive stays
    # reachable, so what valgrind finds lost was lost by the calls above,
    # not by the interpreter's teardown.
    sys.stdout.flush()
    os._exit(0)
