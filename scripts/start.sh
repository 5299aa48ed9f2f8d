#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
if [[ -x build/admin/ruv_admin ]]; then
  exec build/admin/ruv_admin
fi
echo "Built. The program's main window is not part of this build yet, so there is nothing to start."
