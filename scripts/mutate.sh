#!/usr/bin/env bash
# A mutation run over the modules a change touches (not part of CI: slow).
# Example: bash scripts/mutate.sh --tests test_layers.py --limit 40 finding layers/framing
source "$(dirname "$0")/common.sh"
cd "$ROOT"
[ -x "$VENV/bin/python" ] || { echo "run scripts/test.sh first" >&2; exit 2; }
[ -x "$PROTOC_VENV/bin/python" ] && export RAVICK_PROTOC_PYTHON="$PROTOC_VENV/bin/python"
exec "$VENV/bin/python" scripts/mutate.py "$@"
