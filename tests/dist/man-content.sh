#!/bin/bash
# The manual page carries the build's version, has the usual sections, and
# documents exactly the options that the command line recognises, and
# `seamline --help` lists exactly those options too.
# Usage: man-content.sh PAGE VERSION OPTIONS_CPP SEAMLINE
source "$(dirname "$0")/lib.sh"
page=$1 version=$2 main=$3 bin=$4
[ -s "$page" ] || fail "$page is missing or empty"

th=$(grep '^\.TH ' "$page") || fail "no .TH line"
[[ $th =~ ^\.TH\ SEAMLINE\ 1\ \"[^\"]+\"\ \"seamline\ ([^\"]+)\"\ \"User\ Commands\"$ ]] ||
    fail "unexpected .TH line: $th"
[ "${BASH_REMATCH[1]}" = "$version" ] ||
    fail "the page says version ${BASH_REMATCH[1]}, the build is $version"
if grep -n '@[A-Za-z_]*@' "$page"; then fail "unsubstituted @VARIABLE@ left in $page"; fi

for section in NAME SYNOPSIS DESCRIPTION OPTIONS INPUT OUTPUT COMPRESSION CONSOLE \
    "EXIT STATUS" EXAMPLE; do
    grep -qx "\.SH $section" "$page" || fail "no $section section"
done
grep -qx 'seamline \\- .*' "$page" || fail "the NAME section has no 'seamline \\- ...' line"

# The options of the source: the texts the argument scan compares with.
grep -o 'arg == "-[a-z-]*"' "$main" | sed 's/.*"\(.*\)"/\1/' | sort -u >"$scratch/recognised"
[ -s "$scratch/recognised" ] || fail "no option found in $main"
# The options of the page: the tags of the OPTIONS section's list.
sed -n '/^\.SH OPTIONS$/,/^\.S[HS] /p' "$page" | grep -A1 '^\.TP$' |
    sed -n 's/^\.BI\{0,1\} \(\(\\-\)\{1,2\}[a-z][a-z\\-]*\).*/\1/p' | sed 's/\\//g' |
    sort -u >"$scratch/documented"
diff -u "$scratch/recognised" "$scratch/documented" >&2 ||
    fail "options recognised by $main (-) and documented under OPTIONS (+) differ"
# The options of the usage text: on each line that begins with an option, the
# words before the column of explanations.
"$bin" --help >"$scratch/usage" || fail "seamline --help exited with status $?"
grep '^  -' "$scratch/usage" | sed -e 's/^  //' -e 's/   .*//' |
    grep -o '\(^\|[ ,[]\)--\{0,1\}[a-z][a-z-]*' | sed 's/^[ ,[]//' | sort -u >"$scratch/listed"
diff -u "$scratch/documented" "$scratch/listed" >&2 ||
    fail "options documented under OPTIONS (-) and listed by seamline --help (+) differ"
synopsis=$(sed -n '/^\.SH SYNOPSIS$/,/^\.SH DESCRIPTION$/p' "$page")
while read -r option; do
    grep -q "${option//-/\\\\-}\b" <<<"$synopsis" || fail "$option is not in the SYNOPSIS"
done <"$scratch/recognised"
echo "version $version, sections and options ($(tr '\n' ' ' <"$scratch/recognised")) found," \
    "the same in the source, the page and seamline --help"
