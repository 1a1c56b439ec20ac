#!/bin/sh
# Stand-in for mcu_sim in e2e_runner's own tests. It publishes its link, writes the log that the
# case supplies (--canned FILE) and waits for SIGTERM, on which it removes the link and exits 0.
# --die ends it before the link appears; --keep-link leaves the link behind.
link=
log=
canned=
keep_link=no
while [ $# -gt 0 ]; do
    case $1 in
        --link) link=$2; shift 2 ;;
        --log) log=$2; shift 2 ;;
        --canned) canned=$2; shift 2 ;;
        --keep-link) keep_link=yes; shift ;;
        --die) echo "fake sim: told to die"; exit 3 ;;
        *) echo "fake sim: unknown option $1"; exit 2 ;;
    esac
done
sleeper=
finish() {
    [ -n "$sleeper" ] && kill "$sleeper" 2>/dev/null
    [ "$keep_link" = yes ] || rm -f "$link"
    exit 0
}
trap finish TERM INT
if [ -n "$canned" ]; then cp "$canned" "$log"; else : >"$log"; fi
ln -s /dev/null "$link"
while :; do
    sleep 30 &
    sleeper=$!
    wait "$sleeper"
done
