#!/usr/bin/env bash
# Installs the Debian 12 packages that a build needs, only those that are missing.
#   install-deps.sh demo   what the host build and the simulator demo need
#   install-deps.sh board  what the virtual MIPS boards need (boards/, scripts/board.sh): the
#                          cross compilers, qemu-system-mips, Debian's kernel source and what a
#                          kernel build needs, dpkg-dev for apt-get source; and the mipsel
#                          architecture, whose kernel and busybox-static the little-endian board
#                          downloads
#   install-deps.sh all    everything: sanitizers, cross compilers, qemu-user, analysis tools,
#                          sigrok-cli for the logic-analyzer decoder's tests, the station's
#                          results database (SQLAlchemy, Alembic, psycopg2, and PostgreSQL for
#                          its tests), matplotlib for the line report and Chromium for its
#                          test, rich for the line's live view and tmux for its test, busybox
#                          for the board's own shell (ash) in the console's tests, the boards
# As root it runs apt-get itself; otherwise it prints the apt-get line to run and fails.
set -euo pipefail

demo_packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev)
all_packages=("${demo_packages[@]}" clang clang-tidy clang-format cppcheck libclang-rt-14-dev
              g++-mips-linux-gnu g++-mipsel-linux-gnu qemu-user valgrind sigrok-cli python3-pytest
              python3-yaml python3-labgrid python3-sqlalchemy python3-alembic python3-psycopg2
              postgresql python3-matplotlib chromium python3-rich tmux busybox)

board_packages=(cmake ninja-build g++ g++-mips-linux-gnu g++-mipsel-linux-gnu qemu-system-mips
                linux-source-6.1 make bc bison flex xz-utils dpkg-dev python3)
all_packages+=("${board_packages[@]}")

case "${1:-}" in
    demo) wanted=("${demo_packages[@]}") ;;
    board) wanted=("${board_packages[@]}") ;;
    all) wanted=("${all_packages[@]}") ;;
    *) echo "usage: $0 demo|board|all" >&2; exit 2 ;;
esac

# The boards download Debian's mipsel kernel and busybox-static: apt needs that architecture.
if [ "$1" != demo ] && ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "The virtual boards need Debian's mipsel packages. As root, run this again after:" >&2
        echo "  dpkg --add-architecture mipsel && apt-get update" >&2
        exit 1
    fi
    echo "Adding the mipsel architecture"
    dpkg --add-architecture mipsel
    apt-get update -q
fi

missing=()
for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

command="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages. Install them as root, then run this again:" >&2
    echo "  apt-get update && $command" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
$command
