"""``python -m ravick``."""

from ravick.cli import entry_point

entry_point()
