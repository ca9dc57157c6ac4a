#!/bin/bash
# The manual page renders without a single groff warning.
# Usage: man-warnings.sh PAGE
source "$(dirname "$0")/lib.sh"
page=$1
need groff
[ -s "$page" ] || fail "$page is missing or empty"
status=0
groff -ww -z -man "$page" 2>"$scratch/stderr" >"$scratch/stdout" || status=$?
if [ -s "$scratch/stderr" ]; then
    cat "$scratch/stderr" >&2
    fail "groff -ww -z -man $page wrote the above on standard error"
fi
[ "$status" -eq 0 ] || fail "groff -ww -z -man $page exited with status $status"
[ ! -s "$scratch/stdout" ] || fail "groff -z wrote output"
echo "groff -ww -z -man $page: no warnings"
