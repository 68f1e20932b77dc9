#!/usr/bin/env bash
# The property and fuzz tests with many more examples than CI gives them (the `long`
# hypothesis profile of tests/conftest.py); takes tens of minutes.
#     bash bench/fuzz.sh [PYTEST ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
ZARN_HYPOTHESIS_PROFILE=long exec python -m pytest -q -p no:cacheprovider --timeout 7200 \
    tests/test_differential.py tests/test_graph.py tests/test_hostile.py tests/test_interchange.py "$@"
