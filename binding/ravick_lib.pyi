"""The Python module definition."""

import builtins
import collections.abc

__all__: list[str]

def scan(buffer: bytes) -> builtins.list[tuple[builtins.int, builtins.int]]:
    """Scan a binary buffer for FileDescriptorProto candidates.

    Returns a list of (start, end) byte offsets for each candidate found.
    """

def scan_range(
    buffer: collections.abc.Buffer, start: builtins.int = 0, end: builtins.int | None = None
) -> builtins.list[tuple[builtins.int, builtins.int]]:
    """Scan the candidates at offsets start..end of any contiguous buffer.

    Like scan, for the candidates in [start, end) only, each scored against
    the bytes to the end of the buffer, as a scan of the whole buffer takes
    them when no range it accepted reaches past start. The buffer may be a
    bytes, bytearray, memoryview or mmap object; the interpreter lock is
    released while the scan runs.
    """
