"""The Python module definition."""

import builtins

__all__: list[str]

def scan(buffer: bytes) -> builtins.list[tuple[builtins.int, builtins.int]]:
    """Scan a binary buffer for FileDescriptorProto candidates.

    Returns a list of (start, end) byte offsets for each candidate found.
    """
