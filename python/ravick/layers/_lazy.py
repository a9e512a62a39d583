"""Modules loaded on first use: most inputs hold no archive or stream of a
given kind, and the decoders' modules are a large part of start-up."""

from __future__ import annotations

import importlib
from types import ModuleType
from typing import Any


class _Deferred:
    """Stands for a module until one of its attributes is first read; the
    module itself is imported as usual then, and shared with everyone."""

    def __init__(self, name: str) -> None:
        self._name = name
        self._module: ModuleType | None = None

    def __getattr__(self, attribute: str) -> Any:
        if self._module is None:
            self._module = importlib.import_module(self._name)
        return getattr(self._module, attribute)


def lazy(name: str) -> Any:
    """The module ``name``, imported when one of its attributes is first read."""
    return _Deferred(name)
