#!/usr/bin/env bash
# Builds a virtual board's kernel and initramfs and prints the directory that holds them:
#
#   boards/build.sh BOARD        ->  <dir> with vmlinux, initramfs.cpio.gz, board.json
#
# Boards (all QEMU Malta, MIPS32):
#   mipsel         little-endian: Debian's 4kc-malta kernel and busybox-static (mipsel), the
#                  cross toolchain's C library, the tool from the mipsel build's board package
#   mips           big-endian: a kernel built from Debian's linux-source with
#                  boards/kernel/mips-malta.config, busybox built from Debian's source, the tool
#                  from the mips build's board package
#   mipsel-nolibc, mips-nolibc
#                  the same kernels, a root file system without any C library: static busybox
#                  and the board package (only its mcu_test-static can start there)
#
# MCU_BOARD_KERNEL=cached: the big-endian boards take their kernel from the cache only; when it
# is not there, build.sh exits with status 3 (a kernel build takes minutes: see docs/boards.md).
# MCU_BOARD_EXTRA: more programs (static ones, for a board without a C library) to put into
# /usr/local/bin, e.g. a measuring tool; they become part of the initramfs's key.
# The board package is the CPack tarball of a cross build directory: build/<arch> (the preset's)
# unless MCU_BOARD_BUILD_DIR names another one; the tool is built there first.
# Everything downloaded or built is cached under ${XDG_CACHE_HOME:-~/.cache}/mcu-boards, in a
# directory named after a key of its inputs and sealed by a SHA256SUMS file; an entry whose
# files do not match their sums is made again. Progress goes to standard error.
set -euo pipefail
shopt -s inherit_errexit

here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/.." && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/mcu-boards

usage() { echo "usage: $0 mipsel|mips|mipsel-nolibc|mips-nolibc" >&2; exit 2; }
[ $# -eq 1 ] || usage
board=$1
case "$board" in
    mipsel | mipsel-nolibc) arch=mipsel ;;
    mips | mips-nolibc) arch=mips ;;
    *) usage ;;
esac
libc=glibc
[[ "$board" == *-nolibc ]] && libc=none
triple=$arch-linux-gnu

log() { echo "boards/build.sh: $*" >&2; }
die() { log "$*"; exit 1; }

sha() { sha256sum "$1" | cut -d' ' -f1; }

# shellcheck source=cache.sh
. "$here/cache.sh"

# Fetches the candidate version of a Debian package (name:arch) into the cache and prints the
# path of the .deb; its SHA256 must be the one that the archive's index gives.
fetch_deb() {
    local package=$1 fields version want dir deb tmp
    fields=$(apt-cache show --no-all-versions "$package" 2>/dev/null) ||
        die "$package: not known to apt (dpkg --add-architecture ${package#*:}; apt-get update)"
    version=$(sed -n 's/^Version: //p' <<<"$fields" | head -n 1)
    want=$(sed -n 's/^SHA256: //p' <<<"$fields" | head -n 1)
    [ -n "$want" ] || die "$package: the archive index gives no SHA256"
    dir=$cache/deb/${package%%:*}_${version//:/%3a}_${package#*:}
    deb=$dir/package.deb
    if ! { sealed "$dir" && [ "$(sha "$deb")" = "$want" ]; }; then
        log "fetching $package $version"
        tmp=$(mktemp -d "$cache/tmp.XXXXXX")
        (cd "$tmp" && apt-get download -q "$package=$version" >&2 2>/dev/null) ||
            (cd "$tmp" && apt-get download "$package=$version" >&2)
        mv "$tmp"/*.deb "$tmp/package.deb"
        [ "$(sha "$tmp/package.deb")" = "$want" ] || die "$package: SHA256 differs from the archive's"
        seal_into "$tmp" "$dir"
    fi
    echo "$deb"
}

# The kernel image of a board: prints the cache directory that holds its vmlinux.
kernel_dir() {
    local deb dir tmp image
    if [ "$arch" = mipsel ]; then
        # The meta-package names the current ABI of Debian's 4kc-malta kernel.
        image=$(apt-cache depends linux-image-4kc-malta:mipsel 2>/dev/null |
            sed -n 's/^ *Depends: \(linux-image-[^ ]*-4kc-malta\)\(:mipsel\)\?$/\1/p' | head -n 1)
        [ -n "$image" ] || die "linux-image-4kc-malta:mipsel: no kernel package found"
        deb=$(fetch_deb "$image:mipsel")
        dir=$cache/kernel-mipsel-$(sha "$deb" | cut -c1-16)
        if ! sealed "$dir"; then
            tmp=$(mktemp -d "$cache/tmp.XXXXXX")
            dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tmp" --wildcards './boot/vmlinuz-*'
            mv "$tmp"/boot/vmlinuz-* "$tmp/vmlinux"
            rm -rf "${tmp:?}/boot"
            seal_into "$tmp" "$dir"
        fi
        echo "$dir"
    elif [ "${MCU_BOARD_KERNEL:-build}" = cached ]; then
        "$here/kernel.sh" --cached-only
    else
        "$here/kernel.sh"
    fi
}

# Static busybox for the board: prints its path.
busybox_path() {
    local deb dir tmp
    if [ "$arch" = mipsel ]; then
        deb=$(fetch_deb busybox-static:mipsel)
        dir=$cache/busybox-mipsel-$(sha "$deb" | cut -c1-16)
        if ! sealed "$dir"; then
            tmp=$(mktemp -d "$cache/tmp.XXXXXX")
            dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tmp" ./bin/busybox
            mv "$tmp/bin/busybox" "$tmp/busybox"
            rmdir "$tmp/bin"
            seal_into "$tmp" "$dir"
        fi
        echo "$dir/busybox"
    else
        echo "$("$here/busybox.sh" mips)/busybox"
    fi
}

# The board package of the cross build: prints the tarball's path.
board_package() {
    local build=${MCU_BOARD_BUILD_DIR:-$source/build/$arch}
    build=$(realpath -m "$build")
    if [ ! -f "$build/CMakeCache.txt" ]; then
        [ -z "${MCU_BOARD_BUILD_DIR:-}" ] || die "$build: not a configured build directory"
        log "configuring the $arch preset"
        (cd "$source" && cmake --preset "$arch" >&2)
    fi
    grep -q "^CMAKE_TOOLCHAIN_FILE:.*toolchain-$arch.cmake" "$build/CMakeCache.txt" ||
        die "$build: not a $arch cross build"
    log "building the board package in $build"
    rm -rf "$build/board-package"
    mkdir -p "$build/board-package"
    if ! { cmake --build "$build" --target mcu_test mcu_test-static man_mcu_test.1 &&
        (cd "$build" && cpack -G TGZ -B "$build/board-package"); } >"$build/board-package.log" 2>&1
    then
        cat "$build/board-package.log" >&2
        die "$build: building the board package failed"
    fi
    ls "$build"/board-package/mcu-test_*_"$arch".tar.gz
}

mkdir -p "$cache"
kernel=$(kernel_dir)
busybox=$(busybox_path)
# The second busybox, that finds its applets only through their links (rootfs/init).
linked=$("$here/busybox.sh" "$arch" linked)/busybox
# One build of a board at a time, from its package to its sealed initramfs: tests that boot
# boards side by side run this at once, and one's rebuild of the package must not take the
# tarball from under another's tar, nor its cache entry replace another's being written.
exec 9>"$cache/board-build.lock"
flock 9
package=$(board_package)

# The root file system: busybox (and its linked twin), the C library that the dynamic tool
# needs (glibc boards), the board package unpacked, /init and its kernel message writer.
stage=$(mktemp -d "$cache/tmp.XXXXXX")
trap 'rm -rf "$stage"' EXIT
root=$stage/root
mkdir -p "$root/bin" "$root/etc" "$root/lib"
cp "$busybox" "$root/bin/busybox"
chmod 0755 "$root/bin/busybox"
install -m 0755 "$here/rootfs/init" "$root/init"
install -D -m 0755 "$here/rootfs/kmsg" "$root/usr/sbin/kmsg"
install -m 0755 "$linked" "$root/bin/busybox-linked"
echo "$board" >"$root/etc/board-name"
tar -x -z -C "$root" --no-same-owner -f "$package"
[ -x "$root/usr/bin/mcu_test" ] || die "$package: holds no usr/bin/mcu_test"
for extra in ${MCU_BOARD_EXTRA:-}; do
    install -D -m 0755 "$extra" "$root/usr/local/bin/$(basename "$extra")"
done
if [ "$libc" = glibc ]; then
    # The loader and the libraries that the dynamic tool names (and what they name in turn).
    sysroot=/usr/$triple
    wanted=$("$triple-readelf" -l -d "$root/usr/bin/mcu_test" |
        sed -n -e 's|.*Requesting program interpreter: /lib/\([^]]*\)].*|\1|p' \
            -e 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    while [ -n "$wanted" ]; do
        next=""
        for library in $wanted; do
            [ -e "$root/lib/$library" ] && continue
            [ -f "$sysroot/lib/$library" ] || die "$library: not in $sysroot/lib"
            cp -L "$sysroot/lib/$library" "$root/lib/$library"
            next+=" $("$triple-readelf" -d "$sysroot/lib/$library" |
                sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
        done
        wanted=$next
    done
fi

# Key of the initramfs: every staged path with its mode and contents, and the archive writer.
tree_key=$( (cd "$root" && find . -printf '%p %m %l\n' | sort &&
    find . -type f | sort | xargs -d '\n' sha256sum && sha256sum "$here/mkcpio.py") |
    sha256sum | cut -c1-16)
kernel_key=$(sha "$kernel/vmlinux" | cut -c1-16)
out=$cache/board-$board-$kernel_key-$tree_key
if ! sealed "$out"; then
    log "writing the initramfs of $board"
    tmp=$(mktemp -d "$cache/tmp.XXXXXX")
    "$here/mkcpio.py" "$root" "$tmp/initramfs.cpio.gz" --node /dev/console:c:5:1:600
    ln "$kernel/vmlinux" "$tmp/vmlinux" 2>/dev/null || cp "$kernel/vmlinux" "$tmp/vmlinux"
    cat >"$tmp/board.json" <<EOF
{
  "board": "$board",
  "arch": "$arch",
  "libc": "$libc",
  "qemu": "qemu-system-$arch",
  "machine": "malta",
  "cpu": "24Kf",
  "memory": "128M",
  "kernel": "$out/vmlinux",
  "initrd": "$out/initramfs.cpio.gz"
}
EOF
    seal_into "$tmp" "$out"
fi
# Other builds of this board may still be booted by someone (several build directories share
# the cache): only those unused for a day are removed. Using one marks it.
touch "$out"
find "$cache" -maxdepth 1 -name "board-$board-*" -mtime +0 ! -path "$out" -exec rm -rf {} +
echo "$out"
