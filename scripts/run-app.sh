#!/usr/bin/env bash
# Starts the window when there is one to start and a display to show it on.
set -eu
build=${1:-build}
if [ -x "$build/app/zarvo" ]; then
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
        echo "No display found (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
        echo "Start the window from a desktop session, or under Xvfb: xvfb-run $build/app/zarvo" >&2
        exit 1
    fi
    exec "$build/app/zarvo"
fi
exec "$build/cli/zarvo-cli" --help
