"""Fuzzes the layered finder (every layer, the framing, the walk through
nested regions) with atheris: no input may raise or break a limit.

Usage: python fuzz/fuzz_layers.py CORPUS SEEDS -max_total_time=N
"""

import sys

import atheris

with atheris.instrument_imports():
    from ravick.finding import find_with_notes

REGION_CAP = 1 << 20
TOTAL_CAP = 4 << 20


def test_one(data: bytes) -> None:
    findings = find_with_notes(
        data, max_inflate=REGION_CAP, max_inflate_total=TOTAL_CAP
    )
    previous = 0
    for found in findings.found:
        if not 0 <= found.start <= found.end <= len(data) or found.start < previous:
            raise AssertionError(f"range out of order or outside the input: {found}")
        if (found.inner_start is None) != (found.inner_end is None):
            raise AssertionError(f"half an inner range: {found}")
        previous = found.start


def main() -> None:
    atheris.Setup(sys.argv, test_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
