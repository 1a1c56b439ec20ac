#!/usr/bin/env bash
# Builds the big-endian Malta kernel of the mips boards from Debian's linux-source-6.1
# (/usr/src/linux-source-6.1.tar.xz) with mips-linux-gnu-gcc: allnoconfig plus
# boards/kernel/mips-malta.config. Prints the cache directory that holds vmlinux.
#
# The cache key covers the fragment, the source package's version and the cross compiler's
# version; a cached vmlinux whose SHA256SUMS does not match is built again. A fresh build
# (unpack, configure, vmlinux) runs at low priority with two jobs: make -j2.
# The build log and its wall time are kept beside the kernel (build.log, build-seconds).
#
#   boards/kernel.sh                 build unless cached; print the directory
#   boards/kernel.sh --cached-only   print the directory if cached; otherwise exit 3, build nothing
set -euo pipefail
shopt -s inherit_errexit

here=$(cd "$(dirname "$0")" && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/mcu-boards
fragment=$here/kernel/mips-malta.config
tarball=/usr/src/linux-source-6.1.tar.xz
cross=mips-linux-gnu-
log() { echo "boards/kernel.sh: $*" >&2; }
# shellcheck source=cache.sh
. "$here/cache.sh"

version=$(dpkg-query -W -f='${Version}' linux-source-6.1 2>/dev/null) ||
    { log "linux-source-6.1 is not installed (scripts/install-deps.sh all)"; exit 1; }
[ -f "$tarball" ] || { log "$tarball: missing"; exit 1; }
key=$( { sha256sum <"$fragment"; echo "$version"; "${cross}gcc" --version | head -n 1; } |
    sha256sum | cut -c1-16)
out=$cache/kernel-mips-$key
if sealed "$out"; then
    echo "$out"
    exit 0
fi

if [ "${1:-}" = --cached-only ]; then
    log "no big-endian kernel cached for this fragment and source (boards/kernel.sh builds it)"
    exit 3
fi
mkdir -p "$cache"
work=$(mktemp -d "$cache/tmp.kernel.XXXXXX")
trap 'rm -rf "$work"' EXIT
log "building the big-endian kernel from linux-source $version (some minutes; log in $work/build.log)"
started=$(date +%s.%N)
{
    tar -xJf "$tarball" -C "$work"
    src=$(echo "$work"/linux-source-*)
    make -C "$src" ARCH=mips CROSS_COMPILE=$cross KCONFIG_ALLCONFIG="$fragment" allnoconfig
    # Every line of the fragment must have survived the configuration's dependencies.
    grep -E '^CONFIG_' "$fragment" | while IFS= read -r line; do
        grep -qx "$line" "$src/.config" || { echo "fragment line not applied: $line"; exit 1; }
    done
    make -C "$src" -j2 ARCH=mips CROSS_COMPILE=$cross vmlinux
} >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; log "kernel build failed"; exit 1; }
seconds=$(echo "$(date +%s.%N) - $started" | bc)
mkdir "$work/out"
cp "$src/vmlinux" "$work/out/vmlinux"
cp "$src/.config" "$work/out/config"
"${cross}strip" "$work/out/vmlinux"
mv "$work/build.log" "$work/out/build.log"
printf '%.0f\n' "$seconds" >"$work/out/build-seconds"
seal_into "$work/out" "$out"
log "kernel built in $(cat "$out/build-seconds") s"
echo "$out"
