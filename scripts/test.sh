#!/usr/bin/env bash
# Sets up the toolchain where needed, then builds and runs every test.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/toolchain.sh"
pilora_setup
pilora_run bash scripts/steps/tests.sh
