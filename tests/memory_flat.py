"""One check that a long run of operations keeps the interpreter's memory flat.

A reference leaked per call shows up as allocated blocks that are never freed, or objects never
collected, in proportion to the number of rounds.
"""
import gc
import logging
import sys


def settle():
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects())


def assert_flat(run, rounds, blocks=None, objects=None, warm_up=None):
    """Runs `run(warm_up)`, then `run(rounds)`, and fails if the allocated blocks grew by `blocks`
    or more (half a block per round unless given) or the tracked objects by `objects` or more (a
    quarter of one per round unless given). Logging is off meanwhile: records kept by the test
    runner would count as growth."""
    logging.disable(logging.CRITICAL)
    try:
        # warm-up: caches, free lists, interned names, a package's imports and its first uses
        run(warm_up or max(rounds // 10, 5))
        blocks_before, objects_before = settle()
        run(rounds)
        blocks_after, objects_after = settle()
    finally:
        logging.disable(logging.NOTSET)
    assert blocks_after - blocks_before < (rounds // 2 if blocks is None else blocks), (
        "allocated blocks", blocks_before, blocks_after, rounds)
    assert objects_after - objects_before < (rounds // 4 if objects is None else objects), (
        "objects", objects_before, objects_after, rounds)
