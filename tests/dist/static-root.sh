#!/bin/bash
# The static seamline has no shared-library dependency and runs in an empty
# root: a folder that holds only that binary (as build/seamline) and the
# example data. There, through chroot, it runs every seamline command of the
# README's quick start blocks and its one-line join (on chunkK.vcf.gz copies
# of the example windows), and a join of the VCF/BCF windows against the site
# map into BCF: both modes, VCF.gz, BCF, VCF and text chunks. Every command
# runs as printed and again with --threads 2. The dynamic seamline runs the
# same commands, with the same words, in a copy of the same tree; every file
# either writes, and each command's standard output, standard error and exit
# status, must be the same bytes. A URL among the chunks gets the same answer
# from both. chroot needs root; elsewhere the test is skipped.
# Usage: static-root.sh STATIC_SEAMLINE DYNAMIC_SEAMLINE SRCDIR
source "$(dirname "$0")/lib.sh"
static=$1 dynamic=$2 src=$3
need bcftools python3 ldd cmp
[ -x "$static" ] || fail "$static is missing (make static builds it)"
readme=$src/README.md

ldd "$static" >"$scratch/ldd" 2>&1 || true
grep -q 'not a dynamic executable' "$scratch/ldd" ||
    fail "$static depends on shared libraries: $(cat "$scratch/ldd")"
[ "$(id -u)" -eq 0 ] || skip "chroot needs root"

# The seamline commands to run, one a line, continuations joined: each
# quick start block's, preceded by its cd lines, then the one-line join in
# the folder oneline/, then the site-map join into BCF.
commands=$scratch/commands
awk '
    /^<!-- quick start:/ { inside = 1; print "cd /"; next }
    /^<!-- end of quick start -->/ { inside = 0; next }
    inside && !/^```/ { print }
' "$readme" | sed -e ':a' -e '/\\$/N; s/\\\n//; ta' | grep -E '^(cd |[^ ]*seamline )' >"$commands" ||
    fail "README.md marks no quick start block"
oneline=$(sed -n '/^<!-- one-line join:/,/^```$/p' "$readme" | grep -E '^seamline ') ||
    fail "README.md marks no one-line join"
map_join="../build/seamline --vcf sites.vcf --chunks chr20.c1.vcf.gz chr20.c2.bcf chr20.c3.vcf"
map_join+=" --flip --output chr20.map.bcf chr20.map.sample"
printf '%s\n' "cd /oneline" "$oneline" "cd /examples" "$map_join" >>"$commands"
[ "$(grep -c seamline "$commands")" -ge 4 ] || fail "too few seamline commands: $(cat "$commands")"

# The example windows as the one-line join's chunkK.vcf.gz.
windows=(chr20.c1.vcf.gz chr20.c2.bcf chr20.c3.vcf)
mkdir -p "$scratch/oneline"
for k in 1 2 3; do
    bcftools view --no-version -Oz -o "$scratch/oneline/chunk$k.vcf.gz" \
        "$src/examples/${windows[k - 1]}"
done

# make_tree DIR BIN: the binary as DIR/build/seamline and the example data.
make_tree() {
    mkdir -p "$1/build"
    cp "$2" "$1/build/seamline"
    cp -R "$src/examples" "$1/examples"
    cp -R "$scratch/oneline" "$1/oneline"
}

# Runs ARGV... in the folder CWD of the tree: in the chroot for the static
# binary, with its name for the dynamic one. A bare "seamline" is the tree's
# build/seamline, as the PATH would find it.
in_root() {
    local root=$1 cwd=$2 program=$3
    [ "$program" != seamline ] || program=/build/seamline
    python3 -c 'import os, sys
os.chroot(sys.argv[1]); os.chdir(sys.argv[2]); os.execv(sys.argv[3], sys.argv[4:])' \
        "$root" "$cwd" "$program" "${@:3}"
}
in_tree() {
    local tree=$1 cwd=$2 program=$3
    [ "$program" != seamline ] || program=$tree/build/seamline
    (cd "$tree$cwd" && exec -a "$3" "$program" "${@:4}")
}

# Runs every command in the root and the tree, EXTRA words appended.
run_all() {
    local round=$1 root=$2 tree=$3 extra=$4 cwd=/ line n=0 status
    local -a words
    while read -r line; do
        if [[ $line == cd\ * ]]; then
            cwd=${line#cd }
            [[ $cwd == /* ]] || cwd=/$cwd
            continue
        fi
        # The words as a shell would make them, globs expanded in the folder.
        mapfile -d '' words < <(cd "$tree$cwd" && eval "w=($line $extra)" && printf '%s\0' "${w[@]}")
        n=$((n + 1))
        status=0
        in_root "$root" "$cwd" "${words[@]}" >"$scratch/$round.static.$n.out" \
            2>"$scratch/$round.static.$n.err" || status=$?
        echo "$status" >>"$scratch/$round.static.$n.out"
        status=0
        in_tree "$tree" "$cwd" "${words[@]}" >"$scratch/$round.dynamic.$n.out" \
            2>"$scratch/$round.dynamic.$n.err" || status=$?
        echo "$status" >>"$scratch/$round.dynamic.$n.out"
        for stream in out err; do
            cmp -s "$scratch/$round.static.$n.$stream" "$scratch/$round.dynamic.$n.$stream" ||
                fail "'${words[*]}' in $cwd: the static build's std$stream differs:
$(diff "$scratch/$round.static.$n.$stream" "$scratch/$round.dynamic.$n.$stream" | head -n 20)"
        done
        [ "$(tail -n 1 "$scratch/$round.static.$n.out")" = 0 ] ||
            fail "'${words[*]}' in $cwd failed: $(cat "$scratch/$round.static.$n.err")"
    done <"$commands"
}

compared=0
for round in 1 2; do
    extra=''
    [ "$round" = 1 ] || extra='--threads 2'
    root=$scratch/root$round tree=$scratch/tree$round
    make_tree "$root" "$static"
    make_tree "$tree" "$dynamic"
    (cd "$root" && find . -type f | sort) >"$scratch/before"
    run_all "$round" "$root" "$tree" "$extra"
    (cd "$root" && find . -type f | sort) >"$scratch/root.files"
    (cd "$tree" && find . -type f | sort) >"$scratch/tree.files"
    diff -u "$scratch/tree.files" "$scratch/root.files" >&2 ||
        fail "the static build wrote other files (+) than the dynamic one (-)${extra:+ with $extra}"
    written=$(comm -13 "$scratch/before" "$scratch/root.files")
    [ "$(wc -l <<<"$written")" -ge 8 ] || fail "the commands wrote only: $written"
    for file in $written; do
        cmp "$root/$file" "$tree/$file" >&2 ||
            fail "$file differs between the static and the dynamic build${extra:+ with $extra}"
        compared=$((compared + 1))
    done
done

# No plugin, no network: a URL is refused as the dynamic build refuses it.
url=http://127.0.0.1:9/chunk.vcf.gz
status=0
in_root "$scratch/root1" /examples ../build/seamline --chunks "$url" chr20.c2.bcf -o url.vcf.gz \
    >/dev/null 2>"$scratch/url.static" || status=$?
[ "$status" -eq 1 ] || fail "a URL chunk: the static build exited with $status, not 1"
in_tree "$scratch/tree1" /examples ../build/seamline --chunks "$url" chr20.c2.bcf -o url.vcf.gz \
    >/dev/null 2>"$scratch/url.dynamic" || true
cmp -s "$scratch/url.static" "$scratch/url.dynamic" ||
    fail "a URL chunk: the static build said $(cat "$scratch/url.static")"
echo "$(grep -c seamline "$commands") commands, twice, in an empty root: $compared outputs the same bytes as the dynamic build's"
