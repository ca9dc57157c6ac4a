#!/bin/bash
# The README's quick start works as printed. Every block marked as quick start
# runs, each in a shell of its own, from the top of a tree that holds a copy of
# examples/ and the built seamline as build/seamline, and must exit with
# status 0. Each output its seamline commands name is then checked: written,
# intact when compressed, indexed when VCF.gz or BCF; a join without a site
# map holds every record of its chunks once; a text haplotype file has the
# fields its sample file calls for. The README's one-line join of VCF/BCF
# windows runs as well, on the example windows copied as chunk1.vcf.gz ...
# (BGZF VCF, as the names say), and must write the records that the join of
# the original windows writes.
# Usage: quick-start.sh SEAMLINE SRCDIR
source "$(dirname "$0")/lib.sh"
bin=$(realpath "$1") src=$2
need bcftools gzip
readme=$src/README.md

# Writes the lines of the marked blocks to $scratch/block.1, block.2, ...,
# leaving out the fences.
awk -v dir="$scratch" '
    /^<!-- quick start:/ { n++; inside = 1; next }
    /^<!-- end of quick start -->/ { inside = 0; next }
    inside && !/^```/ { print > (dir "/block." n) }
    END { if (inside) exit 1 }
' "$readme" || fail "a quick start block of README.md has no end marker"
blocks=$(find "$scratch" -maxdepth 1 -name 'block.*' | sort)
[ -n "$blocks" ] || fail "README.md marks no quick start block"

# The words of each seamline command of BLOCK, one command a line, with the
# continuation lines joined.
seamline_commands() {
    sed -e ':a' -e '/\\$/N; s/\\\n//; ta' "$1" | grep -E '^[^ ]*seamline ' || true
}

# The records of a VCF or BCF file, one line per CHROM, POS, REF and ALT.
sites() {
    bcftools query -f '%CHROM\t%POS\t%REF\t%ALT\n' "$1"
}

check_indexed() {
    local file=$1
    case $file in
    *.vcf.gz | *.vcf.bgz) [ -s "$file.tbi" ] || [ -s "$file.csi" ] || fail "$file has no index" ;;
    *.bcf) [ -s "$file.csi" ] || fail "$file has no index" ;;
    esac
}

# check_join DIR CHUNKS OUT: the join of CHUNKS without a site map lists every
# record of the chunks once.
check_join() {
    local dir=$1 out=$2
    shift 2
    # The chunks as the command's shell saw them, globs expanded.
    # shellcheck disable=SC2048,SC2086
    (cd "$dir" && for chunk in $*; do sites "$chunk"; done) | sort -u >"$scratch/expected"
    sites "$dir/$out" >"$scratch/written"
    sort -u "$scratch/written" | cmp -s - "$scratch/expected" ||
        fail "$out does not hold the records of its chunks"
    [ "$(wc -l <"$scratch/written")" -eq "$(wc -l <"$scratch/expected")" ] ||
        fail "$out lists a record more than once"
}

# check_haplotypes HAPS SAMPLES: every line has 5 + 2N fields for the N
# samples of the sample file.
check_haplotypes() {
    local samples fields
    samples=$(($(wc -l <"$2") - 2))
    [ "$samples" -gt 0 ] || fail "$2 lists no sample"
    fields=$(gzip -cdf "$1" | awk '{ print NF }' | sort -u)
    [ "$fields" = $((5 + 2 * samples)) ] ||
        fail "$1 has lines of $fields fields for $samples samples"
}

# check_outputs DIR WORD...: the outputs of one seamline command run in DIR.
check_outputs() {
    local dir=$1 vcf='' out='' haps='' samples='' file
    local -a chunks=() outputs=()
    shift
    while [ $# -gt 0 ]; do
        case $1 in
        --vcf) vcf=$2 && shift ;;
        -o) out=$2 && outputs+=("$2") && shift ;;
        --output) haps=$2 samples=$3 && outputs+=("$2" "$3") && shift 2 ;;
        --report) outputs+=("$2") && shift ;;
        --scaffold | --seam | --threads) shift ;;
        --chunks) while [ $# -gt 1 ] && [[ $2 != -* ]]; do chunks+=("$2") && shift; done ;;
        esac
        shift
    done
    [ ${#outputs[@]} -gt 0 ] || fail "a seamline command of the quick start names no output"
    for file in "${outputs[@]}"; do
        [ -s "$dir/$file" ] || fail "the quick start did not write $file"
        [[ $file != *.gz ]] || gzip -t "$dir/$file" || fail "$file is not intact gzip data"
        check_indexed "$dir/$file"
    done
    [ -z "$out" ] || [ -n "$vcf" ] || check_join "$dir" "$out" "${chunks[@]}"
    case $haps in
    *.vcf* | *.bcf | '') ;;
    *) check_haplotypes "$dir/$haps" "$dir/$samples" ;;
    esac
}

tree=$scratch/tree
mkdir -p "$tree/build"
cp -RL "$src/examples" "$tree/examples"
ln -s "$bin" "$tree/build/seamline"
commands=0
for block in $blocks; do
    n=${block##*.}
    status=0
    (cd "$tree" && bash -euo pipefail -c 'source "$1"; pwd >"$2"' quick-start "$block" \
        "$scratch/pwd.$n") >"$scratch/stdout.$n" 2>"$scratch/stderr.$n" || status=$?
    [ "$status" -eq 0 ] || fail "quick start block $n exited with status $status:
$(cat "$block")
$(tail -n 5 "$scratch/stdout.$n" "$scratch/stderr.$n")"
    while read -ra words; do
        check_outputs "$(cat "$scratch/pwd.$n")" "${words[@]:1}"
        commands=$((commands + 1))
    done < <(seamline_commands "$block")
done
[ "$commands" -gt 0 ] || fail "the quick start runs no seamline command"

# The one-line join: the fenced line after its marker, run with seamline on
# the PATH in a folder of chunkK.vcf.gz copies of the example windows.
oneline=$(sed -n '/^<!-- one-line join:/,/^```$/p' "$readme" | grep -E '^seamline ') ||
    fail "README.md marks no one-line join"
windows=(chr20.c1.vcf.gz chr20.c2.bcf chr20.c3.vcf)
mkdir -p "$scratch/bin" "$scratch/oneline"
ln -s "$bin" "$scratch/bin/seamline"
for k in 1 2 3; do
    bcftools view --no-version -Oz -o "$scratch/oneline/chunk$k.vcf.gz" \
        "$src/examples/${windows[k - 1]}"
done
(cd "$scratch/oneline" && PATH=$scratch/bin:$PATH bash -euo pipefail -c "$oneline") \
    >/dev/null 2>"$scratch/oneline.err" || fail "'$oneline' failed: $(cat "$scratch/oneline.err")"
read -ra words <<<"$oneline"
check_outputs "$scratch/oneline" "${words[@]:1}"
(cd "$src/examples" && "$bin" --chunks "${windows[@]}" -o "$scratch/original.vcf.gz") >/dev/null
joined=$(sed -n 's/.* -o \([^ ]*\).*/\1/p' <<<"$oneline")
cmp -s <(bcftools view -H "$scratch/oneline/$joined") <(bcftools view -H "$scratch/original.vcf.gz") ||
    fail "'$oneline' on the copies writes other records than the join of the example windows"
echo "the quick start's $commands seamline commands and the one-line join ran and wrote their outputs"
