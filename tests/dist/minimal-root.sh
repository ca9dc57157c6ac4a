#!/bin/bash
# The README's set-up block works as printed on a minimal Debian 12 root, as
# root, with nothing installed before it. debootstrap --variant=minbase makes
# the root (checked to lack make, cmake and g++), the source tree's files are
# copied to /src in it, and every command of the block runs there through
# chroot, from /src, in a bare environment without standard input, one after
# the other; each must exit with status 0. The root, its mounts and every
# process left running in it go on every way out. It takes minutes and
# Debian's archive, so CI runs it (make test-minimal-root), not the test suite.
# Usage: minimal-root.sh SRCDIR [MIRROR]
# MIRROR defaults to the Debian archive this machine's apt sources name for
# bookworm.
source "$(dirname "$0")/lib.sh"
src=$(realpath "$1")
suite=bookworm
need debootstrap chroot mount umount findmnt git tar
[ "$(id -u)" -eq 0 ] || fail "debootstrap and chroot need root"

root=$scratch/root
job=''

# Stops the step under way and every process left in the root, unmounts all
# that is mounted under the root (debootstrap's mounts too), deepest first,
# then removes the scratch directory, unless a mount is left, which rm would
# reach into.
cleanup() {
    local status=$? proc mounts target
    set +e
    [ -z "$job" ] || { kill "$job" 2>/dev/null && wait "$job"; }
    for proc in /proc/[0-9]*; do
        [ "$(readlink "$proc/root" 2>/dev/null)" != "$root" ] || kill -9 "${proc#/proc/}" 2>/dev/null
    done
    mounts=$(findmnt -rn -o TARGET | grep -F "$root/" | sort -r)
    for target in $mounts; do
        umount "$target" 2>/dev/null || umount -l "$target" ||
            echo "minimal-root: cannot unmount $target" >&2
    done
    mounts=$(findmnt -rn -o TARGET | grep -F "$root/")
    if [ -n "$mounts" ]; then
        echo "minimal-root: $scratch left in place, still mounted: $mounts" >&2
        [ "$status" -ne 0 ] || status=1
    else
        rm -rf --one-file-system "$scratch"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# The first archive of the suite in the apt sources, one-line or deb822.
host_mirror() {
    local files=() file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ ! -f "$file" ] || files+=("$file")
    done
    [ ${#files[@]} -gt 0 ] || return 0
    awk -v suite="$suite" '
        function word(list, w,   n, a, i) {
            n = split(list, a, /[ \t]+/)
            for (i = 1; i <= n; i++) if (a[i] == w) return 1
            return 0
        }
        function stanza() {
            if (word(types, "deb") && word(suites, suite) && enabled != "no" && uris != "") {
                split(uris, u, /[ \t]+/); print u[1]; found = 1; exit
            }
            types = uris = suites = enabled = ""
        }
        FNR == 1 { stanza() }
        /^deb[ \t]/ && FILENAME ~ /\.list$/ {
            sub(/\[[^]]*\][ \t]*/, "")
            if ($3 == suite) { print $2; found = 1; exit }
            next
        }
        FILENAME !~ /\.sources$/ { next }
        /^[ \t]*$/ { stanza(); next }
        /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
        /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
        /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
        /^Enabled:/ { sub(/^Enabled:[ \t]*/, ""); enabled = tolower($0) }
        END { if (!found) stanza() }
    ' "${files[@]}" 2>/dev/null
}
mirror=${2:-$(host_mirror)}
[ -n "$mirror" ] || fail "no apt source for $suite on this machine; name a mirror"

# The commands of the marked block, one a line, fences, blank lines and
# comment lines left out, continuation lines joined.
awk '
    /^<!-- set-up:/ { n++; inside = 1; next }
    /^<!-- end of set-up -->/ { inside = 0; next }
    inside && !/^```/ && !/^[ \t]*(#|$)/ { print }
    END { if (inside) exit 1; if (n != 1) exit 2 }
' "$src/README.md" | sed -e ':a' -e '/\\$/N; s/\\\n//; ta' >"$scratch/commands" ||
    fail "README.md must mark one set-up block, with an end marker"
[ -s "$scratch/commands" ] || fail "README.md's set-up block holds no command"

seconds() {
    echo $(($(date +%s) - $1))
}

# step LOG COMMAND...: runs COMMAND in the background, its output to LOG, and
# waits for it, so that a signal is handled at once, not when it ends.
step() {
    local log=$1 status=0
    shift
    "$@" >"$log" 2>&1 </dev/null &
    job=$!
    wait "$job" || status=$?
    job=''
    return "$status"
}

start=$(date +%s)
step "$scratch/debootstrap.log" debootstrap --variant=minbase "$suite" "$root" "$mirror" ||
    fail "debootstrap from $mirror failed: $(tail -n 20 "$scratch/debootstrap.log")"
echo "$(seconds "$start") s: debootstrap --variant=minbase $suite $mirror"

# Runs a command line in the root, as root, from /src, in a bare environment.
in_root() {
    chroot "$root" /usr/bin/env -i HOME=/root \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/bash -euo pipefail -c "cd /src && $1"
}

# Tracked and new files, not ignored ones: no build directory comes along.
mkdir "$root/src"
# shellcheck disable=SC2016 # the inner shell expands $f
git -C "$src" ls-files -z --cached --others --exclude-standard |
    (cd "$src" && xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
    tar -C "$src" --null -T - -cf - | tar -C "$root/src" -xf - ||
    fail "cannot copy $src into the root"
for file in README.md Makefile; do
    [ -f "$root/src/$file" ] || fail "the copy of the source tree lacks $file"
done

mount -t proc proc "$root/proc" || fail "cannot mount /proc in the root"
mount -t tmpfs -o mode=1777 shm "$root/dev/shm" || fail "cannot mount /dev/shm in the root"

for tool in make cmake g++; do
    ! in_root "command -v $tool" >/dev/null </dev/null || fail "the minimal root already has $tool"
done

n=0
while IFS= read -r command; do
    n=$((n + 1))
    start=$(date +%s)
    step "$scratch/log.$n" in_root "$command" ||
        fail "set-up command '$command' failed in the minimal root after $(seconds "$start") s:
$(tail -n 40 "$scratch/log.$n")"
    echo "$(seconds "$start") s: $command"
done <"$scratch/commands"
echo "the README's $n set-up commands ran in a minimal $suite root"
