#!/usr/bin/env bash
# Builds a wheel of the module into DIR (default dist/): wheel.sh [DIR]
# Uses the toolchain's scikit-build-core and pybind11 (no build isolation, so no package index is
# needed); the wheel holds _pilora_lib with its type stub and py.typed marker.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/toolchain.sh"
out=${1:-dist}
pilora_setup
pilora_run python3.14 -m pip wheel --no-build-isolation --no-deps --disable-pip-version-check -w "$out" .
