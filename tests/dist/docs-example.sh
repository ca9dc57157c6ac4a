#!/bin/bash
# The worked example of doc/example.md and of the manual page shows what the
# example run really prints: the command of `make example`, run on a copy of
# examples/, exits with status 0, writes nothing on standard error, and its
# standard output stands line for line in both documents.
# Usage: docs-example.sh SEAMLINE SRCDIR PAGE
source "$(dirname "$0")/lib.sh"
bin=$1 src=$2 page=$3
need groff

status=0
run_example "$bin" "$src" "$scratch/run" || status=$?
[ "$status" -eq 0 ] || fail "the example run exited with status $status"
[ ! -s "$scratch/run/stderr" ] ||
    fail "the example run wrote on standard error: $(cat "$scratch/run/stderr")"
[ -s "$scratch/run/build/example.haps.gz" ] || fail "the example run wrote no haplotype file"
normalize <"$scratch/run/stdout" >"$scratch/console"
[ "$(wc -l <"$scratch/console")" -ge 20 ] || fail "the example run printed too little"

# Succeeds when the lines of $scratch/console stand one after the other in FILE.
shows_console() {
    local console document
    console=$'\n'$(cat "$scratch/console")$'\n'
    document=$'\n'$(normalize <"$1")$'\n'
    [[ $document == *"$console"* ]]
}

shows_console "$src/doc/example.md" ||
    fail "doc/example.md does not show the console output of the example:
$(cat "$scratch/run/stdout")"

# The page as a reader sees it: plain text, long lines, no hyphenation.
groff -man -Tascii -P-c -P-b -P-u -P-o -rLL=200n -rHY=0 "$page" >"$scratch/page.txt" 2>/dev/null
shows_console "$scratch/page.txt" ||
    fail "the manual page does not show the console output of the example:
$(cat "$scratch/run/stdout")"
echo "doc/example.md and $(basename "$page") show the $(wc -l <"$scratch/console") console lines" \
    "of the example run"
