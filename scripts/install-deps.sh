#!/usr/bin/env bash
# Installs the Debian 12 packages that a build needs, only those that are missing.
#   install-deps.sh demo   what the host build and the simulator demo need
#   install-deps.sh all    everything: sanitizers, cross compilers, qemu-user, analysis tools,
#                          sigrok-cli for the logic-analyzer decoder's tests
# As root it runs apt-get itself; otherwise it prints the apt-get line to run and fails.
set -euo pipefail

demo_packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev)
all_packages=("${demo_packages[@]}" clang clang-tidy clang-format cppcheck libclang-rt-14-dev
              g++-mips-linux-gnu g++-mipsel-linux-gnu qemu-user valgrind sigrok-cli python3-pytest
              python3-yaml python3-labgrid)

case "${1:-}" in
    demo) wanted=("${demo_packages[@]}") ;;
    all) wanted=("${all_packages[@]}") ;;
    *) echo "usage: $0 demo|all" >&2; exit 2 ;;
esac

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
