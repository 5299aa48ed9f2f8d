#!/usr/bin/env bash
# Installs what is missing, builds the program, and starts it. It runs
# until its main window is closed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Only the program and what it links: the tests and benchmarks are built by
# scripts/test.sh.
bash scripts/build.sh ruv_admin
# The program is a windowed one: without a display Qt would abort at its
# start. Say so instead; what is installed and built stays.
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
  cat >&2 <<'MSG'
The program is built (build/admin/ruv_admin), but there is no display to
show its windows on: neither DISPLAY nor WAYLAND_DISPLAY is set (a server,
a container or a remote shell).

Start it in one of these ways:
  - from a desktop session, or over "ssh -X" (X forwarding), then
      bash scripts/start.sh
  - with its windows served over VNC (connect a VNC viewer to port 5900
    of this machine; no password, so on a trusted network or through
    "ssh -L 5900:localhost:5900"):
      QT_QPA_PLATFORM=vnc bash scripts/start.sh
  - without any display (the windows are drawn in memory only; nothing can
    be seen or clicked, stop it with Ctrl+C):
      QT_QPA_PLATFORM=offscreen bash scripts/start.sh
    or on a virtual X display (apt-get install xvfb):
      xvfb-run -a bash scripts/start.sh

The program was not started.
MSG
  exit 2
fi
exec build/admin/ruv_admin
