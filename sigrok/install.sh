#!/usr/bin/env bash
# Installs the mcu_link sigrok decoder for the current user, where PulseView and sigrok-cli
# look for user decoders: ${XDG_DATA_HOME:-~/.local/share}/libsigrokdecode/decoders/mcu_link.
#   sigrok/install.sh            install (or update)
#   sigrok/install.sh --remove   remove it again
set -euo pipefail
source_dir="$(cd "$(dirname "$0")" && pwd)/mcu_link"
target="${XDG_DATA_HOME:-$HOME/.local/share}/libsigrokdecode/decoders/mcu_link"

if [ "${1:-}" = "--remove" ]; then
    rm -rf "$target"
    echo "removed $target"
    exit 0
fi
mkdir -p "$target"
install -m 644 "$source_dir"/*.py "$target/"
echo "installed $target"
if command -v sigrok-cli >/dev/null; then
    listed="$(sigrok-cli -L 2>/dev/null || true)"
    if ! grep -q '^ *mcu_link ' <<<"$listed"; then
        echo "sigrok-cli does not list mcu_link; is $target on its decoder path?" >&2
        exit 1
    fi
fi
