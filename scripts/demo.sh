#!/usr/bin/env bash
# The main job: drive a control through the command-line host as a bank page would.
set -euo pipefail
cd "$(dirname "$0")/.."
printf '%s\n' '{"op":"get","name":"Copyright"}' | build/bin/velmor call
