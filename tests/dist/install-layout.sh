#!/bin/bash
# `cmake --install` under a fresh prefix installs exactly the program and its
# manual page, in the GNU layout, and the installed program runs.
# Usage: install-layout.sh CMAKE BUILDDIR VERSION
source "$(dirname "$0")/lib.sh"
cmake=$1 build=$2 version=$3
prefix=$scratch/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
    fail "cmake --install failed: $(cat "$scratch/install.log")"

(cd "$prefix" && find . -type f | sort) >"$scratch/installed"
printf '%s\n' ./bin/seamline ./share/man/man1/seamline.1 >"$scratch/expected"
diff -u "$scratch/expected" "$scratch/installed" >&2 ||
    fail "the installed files (+) differ from the expected layout (-)"

[ -x "$prefix/bin/seamline" ] || fail "bin/seamline is not executable"
cmp -s "$build/seamline.1" "$prefix/share/man/man1/seamline.1" ||
    fail "the installed manual page differs from the one the build made"
grep -q "^\.TH SEAMLINE 1 .*\"seamline $version\"" "$prefix/share/man/man1/seamline.1" ||
    fail "the installed manual page does not carry version $version"

# Without arguments the program names the first missing option and exits 1.
status=0
"$prefix/bin/seamline" >"$scratch/stdout" 2>"$scratch/stderr" || status=$?
[ "$status" -eq 1 ] || fail "the installed seamline exited with $status, not 1"
[ "$(cat "$scratch/stdout")" = "Missing option --vcf" ] ||
    fail "the installed seamline printed: $(cat "$scratch/stdout")"
[ ! -s "$scratch/stderr" ] || fail "the installed seamline wrote on standard error"
echo "installed: $(tr '\n' ' ' <"$scratch/installed")"
