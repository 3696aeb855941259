#!/usr/bin/env bash
# Sets up the toolchain where needed, then builds the module and runs the demonstration.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/toolchain.sh"
pilora_setup
pilora_run bash scripts/steps/demo.sh "$@"
