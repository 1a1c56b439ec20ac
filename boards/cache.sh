# The board cache's two rules, sourced by build.sh, kernel.sh and busybox.sh: an entry is a
# directory sealed by a SHA256SUMS file of all its regular files, and it is used only while
# every file still matches.

# Whether the entry $1 is there and intact.
sealed() { [ -s "$1/SHA256SUMS" ] && (cd "$1" && sha256sum --quiet --strict -c SHA256SUMS) >/dev/null 2>&1; }

# Seals the directory $1 (all its regular files) and moves it into place as $2.
seal_into() {
    (cd "$1" && find . -type f ! -name SHA256SUMS -printf '%P\n' | sort |
        xargs -r -d '\n' sha256sum) >"$1.sums"
    mv "$1.sums" "$1/SHA256SUMS"
    chmod 0755 "$1"
    rm -rf "$2"
    mkdir -p "$(dirname "$2")"
    mv "$1" "$2"
}
