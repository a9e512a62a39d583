"""Modules loaded on first use: most inputs hold no archive or stream of a
given kind, and the decoders' modules are a large part of start-up."""

from __future__ import annotations

import importlib
import importlib.util
import sys
from types import ModuleType


def lazy(name: str) -> ModuleType:
    """The module ``name``, executed when one of its attributes is first read."""
    loaded = sys.modules.get(name)
    if loaded is not None:
        return loaded
    spec = importlib.util.find_spec(name)
    if spec is None or spec.loader is None:
        return importlib.import_module(name)  # raises what a plain import would
    loader = importlib.util.LazyLoader(spec.loader)
    spec.loader = loader
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    loader.exec_module(module)
    parent, _, child = name.rpartition(".")
    if parent:  # as an import would, so that ``import a.b; a.b.f`` works
        setattr(sys.modules[parent], child, module)
    return module
