#!/usr/bin/env bash
# The virtual boards' cache trusts nothing it cannot verify: a missing or corrupt downloaded
# package, kernel, busybox or initramfs is fetched or built again, and the board that comes out
# is byte for byte the one that an intact cache gives.
#
#   cache_test.sh MIPSEL_BUILD_DIR
#
# Works in a temporary XDG_CACHE_HOME, seeded with a copy (never links) of the user's cache
# entries when there are any, so that nothing is downloaded twice.
set -euo pipefail
build=$(realpath "$1")
boards=$(cd "$(dirname "$0")/../../boards" && pwd)
real=${XDG_CACHE_HOME:-$HOME/.cache}/mcu-boards
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CACHE_HOME=$work/cache MCU_BOARD_BUILD_DIR=$build
cache=$XDG_CACHE_HOME/mcu-boards
mkdir -p "$cache"
for entry in "$real"/deb "$real"/kernel-mipsel-* "$real"/busybox-mipsel-* \
    "$real"/busybox-linked-mipsel-* "$real"/kernel-mips-*; do
    [ -d "$entry" ] && cp -r "$entry" "$cache/"
done

passed=0
failures=0
check() { # check <what> <command...>
    if "${@:2}"; then
        echo "ok: $1"
        passed=$((passed + 1))
    else
        echo "FAIL: $1"
        failures=$((failures + 1))
    fi
}
sum() { sha256sum "$1" | cut -d' ' -f1; }

out=$("$boards/build.sh" mipsel 2>/dev/null)
kernel=$(sum "$out/vmlinux")
initramfs=$(sum "$out/initramfs.cpio.gz")
busybox_deb=$(echo "$cache"/deb/busybox-static_*/package.deb)
deb=$(sum "$busybox_deb")

# A corrupt package, a truncated kernel, a busybox that is gone, a damaged initramfs.
echo junk >>"$busybox_deb"
truncate -s 4096 "$cache"/kernel-mipsel-*/vmlinux
rm -rf "$cache"/busybox-mipsel-*
printf 'X' | dd of="$out/initramfs.cpio.gz" bs=1 seek=100 conv=notrunc status=none

again=$("$boards/build.sh" mipsel 2>"$work/log")
check "the corrupt busybox-static package is fetched again" \
    grep -q "fetching busybox-static:mipsel" "$work/log"
check "the fetched package is the archive's" [ "$(sum "$busybox_deb")" = "$deb" ]
check "the truncated kernel is extracted again" [ "$(sum "$again/vmlinux")" = "$kernel" ]
check "the cached kernel entry is whole again" \
    [ "$(sum "$(echo "$cache"/kernel-mipsel-*/vmlinux)")" = "$kernel" ]
check "the missing busybox is extracted again" [ -s "$(echo "$cache"/busybox-mipsel-*/busybox)" ]
check "the damaged initramfs is written again, the same bytes" \
    [ "$(sum "$again/initramfs.cpio.gz")" = "$initramfs" ]
# shellcheck disable=SC2317  # called through check
all_sealed() {
    for entry in "$cache"/*-*/ "$cache"/deb/*/; do
        (cd "$entry" && sha256sum --quiet --strict -c SHA256SUMS) || return 1
    done
}
check "every entry is sealed and matches its sums" all_sealed

# A damaged big-endian kernel is not taken from the cache (checked without building one).
mips_kernel=$(echo "$cache"/kernel-mips-*/vmlinux)
if [ -f "$mips_kernel" ]; then
    # Only an entry of the current fragment and source counts: kernel.sh names it.
    if current=$("$boards/kernel.sh" --cached-only 2>/dev/null); then
        truncate -s 4096 "$current/vmlinux"
        status=0
        "$boards/kernel.sh" --cached-only >/dev/null 2>&1 || status=$?
        check "a damaged big-endian kernel is not taken from the cache" [ "$status" -eq 3 ]
    fi
fi

echo "$passed passed, $failures failed"
exit $((failures > 0))
