#!/usr/bin/env bash
# Builds a static MIPS busybox from Debian's own busybox source, with Debian's configuration of
# busybox-static, and prints the cache directory that holds it:
#
#   boards/busybox.sh [ARCH] [linked]      ARCH: mips (default) or mipsel
#
# mips: the mips boards' busybox (Debian 12 has no mips architecture, so no busybox-static:mips
# package). linked: Debian's configuration without its standalone shell (FEATURE_SH_STANDALONE,
# FEATURE_PREFER_APPLETS), so that the shell finds an applet only through its link, as on a
# board whose busybox is built with fewer applets: the image's second busybox, which a board
# whose kernel command line leaves applets out runs (rootfs/init).
#
# The source version is the one that busybox-static:mipsel is built from. The source comes
# through apt-get source from the deb-src twins of the machine's own Debian sources, with an
# index list of its own (the system's apt configuration is not touched); apt checks it against
# the signed index, dpkg-source against the .dsc. Cache key: source version, cross compiler,
# this script.
set -euo pipefail
shopt -s inherit_errexit

cache=${XDG_CACHE_HOME:-$HOME/.cache}/mcu-boards
arch=${1:-mips}
variant=${2:-debian}
case "$arch/$variant" in
    mips/debian | mips/linked | mipsel/linked) ;;
    *) echo "usage: $0 [mips|mipsel] [linked] (Debian's mipsel busybox is its package)" >&2; exit 2 ;;
esac
cross=$arch-linux-gnu-
log() { echo "boards/busybox.sh: $*" >&2; }
# shellcheck source=cache.sh
. "$(dirname "$0")/cache.sh"

version=$(apt-cache show --no-all-versions busybox-static:mipsel 2>/dev/null |
    sed -n 's/^Source: busybox (\(.*\))$/\1/p' | head -n 1)
[ -n "$version" ] || { log "busybox-static:mipsel: no source version (apt-get update?)"; exit 1; }
key=$( { echo "$version $variant"; "${cross}gcc" --version | head -n 1; sha256sum <"$0"; } |
    sha256sum | cut -c1-16)
out=$cache/busybox-$arch-$key
[ "$variant" = debian ] || out=$cache/busybox-$variant-$arch-$key
if sealed "$out"; then
    echo "$out"
    exit 0
fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/tmp.busybox.XXXXXX")
trap 'rm -rf "$work"' EXIT
log "building busybox $version ($variant) for $arch (log in $work/build.log)"
{
    # deb-src lines for every deb entry of the system's deb822 sources.
    mkdir -p "$work/apt/parts" "$work/apt/lists/partial" "$work/src"
    /usr/bin/python3 - /etc/apt/sources.list.d/*.sources >"$work/apt/sources.list" <<'PY'
import sys
for path in sys.argv[1:]:
    for block in open(path).read().split("\n\n"):
        f = dict(line.split(":", 1) for line in block.splitlines()
                 if ":" in line and not line.startswith("#"))
        f = {k.strip(): v.strip() for k, v in f.items()}
        if "deb" in f.get("Types", "").split() and f.get("Enabled", "yes") != "no":
            signed = f" [signed-by={f['Signed-By']}]" if "Signed-By" in f else ""
            for uri in f["URIs"].split():
                for suite in f["Suites"].split():
                    print(f"deb-src{signed} {uri} {suite} {f['Components']}")
PY
    apt=(apt-get -q -o "Dir::Etc::SourceList=$work/apt/sources.list"
         -o "Dir::Etc::SourceParts=$work/apt/parts" -o "Dir::State::Lists=$work/apt/lists")
    "${apt[@]}" update
    (cd "$work/src" && "${apt[@]}" source "busybox=$version")
    src=$(echo "$work"/src/busybox-*/)
    # Debian's configuration of busybox-static (debian/rules: os part, then the flavour's).
    cat "$src/debian/config/os/linux" "$src/debian/config/pkg/static" >"$src/.config"
    if [ "$variant" = linked ]; then
        sed -i -e 's/^CONFIG_FEATURE_SH_STANDALONE=y$/# CONFIG_FEATURE_SH_STANDALONE is not set/' \
            -e 's/^CONFIG_FEATURE_PREFER_APPLETS=y$/# CONFIG_FEATURE_PREFER_APPLETS is not set/' \
            "$src/.config"
    fi
    yes "" | make -C "$src" oldconfig
    grep -qx 'CONFIG_STATIC=y' "$src/.config"
    grep -qx 'CONFIG_FEATURE_EDITING_MAX_LEN=1024' "$src/.config"
    if [ "$variant" = linked ]; then
        ! grep -Eq '^CONFIG_FEATURE_(SH_STANDALONE|PREFER_APPLETS)=y' "$src/.config"
    fi
    make -C "$src" -j2 CROSS_COMPILE=$cross busybox
} >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; log "busybox build failed"; exit 1; }
mkdir "$work/out"
"${cross}strip" -o "$work/out/busybox" "$src/busybox_unstripped" 2>/dev/null ||
    "${cross}strip" -o "$work/out/busybox" "$src/busybox"
mv "$work/build.log" "$work/out/build.log"
seal_into "$work/out" "$out"
echo "$out"
