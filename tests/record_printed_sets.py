"""Records what the printer prints for every file of the real sets, as
digests: tests/printed_real_sets.json, which test_printing compares
every later printer with.

    RAVICK_PROTOC_PYTHON=... python tests/record_printed_sets.py

Each entry is keyed by set, group and file name, and holds the first 16 hex
digits of the sha256 of the descriptor's bytes and of the printed text.
"""

from __future__ import annotations

import hashlib
import json
import sys
from pathlib import Path

import printing_sets
from ravick.printing import proto_sources

RECORD = Path(__file__).resolve().parent / "printed_real_sets.json"
SETS = ["well_known", "googleapis", "debian", "scanned_binaries"]


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()[:16]


def printed_digests(descriptor_set: printing_sets.DescriptorSet) -> dict[str, str]:
    """``"<in> <out>"`` digests by ``"<group>\\t<file>"``; each group's files
    printed with one index of them and their context."""
    out = {}
    for group in descriptor_set.groups:
        files = [*group.files, *group.context]
        texts = proto_sources(files)[: len(group.files)]
        for file, text in zip(group.files, texts, strict=True):
            printed = text.encode("utf-8", errors="surrogatepass")
            key = f"{group.label}\t{file.name}"
            out[key] = f"{digest(file.SerializeToString())} {digest(printed)}"
    return out


def main() -> None:
    record = {name: printed_digests(getattr(printing_sets, name)()) for name in SETS}
    RECORD.write_text(json.dumps(record, indent=0, sort_keys=True) + "\n")
    print({name: len(v) for name, v in record.items()}, file=sys.stderr)


if __name__ == "__main__":
    main()
