#!/usr/bin/env bash
# Small joins of every mode under valgrind's memcheck, which sees reads of
# uninitialised memory (in seamline and in the libraries it hands buffers
# and state to) that the sanitizers cannot: the site map to gzip text, VCF.gz
# and BCF; imputed VCF and BCF chunks without a site map to VCF.gz and BCF,
# on one thread and on two; the same in bcftools' form, with phase sets,
# regions, --ligate-warn and uncompressed BCF; and the join split into steps,
# with a site map and without one. Any error ends
# the run with a failure. Compressed outputs at the default level, at 0, 1
# and 9.
# Usage: valgrind.sh SEAMLINE GENERATOR SOURCE_DIR
source "$(dirname "$0")/lib.sh"
[ $# -eq 3 ] || fail "usage: valgrind.sh SEAMLINE GENERATOR SOURCE_DIR"
seamline=$(realpath "$1")
generator=$(realpath "$2")
source_dir=$(realpath "$3")
need valgrind bcftools

cd "$scratch"
cp "$source_dir"/examples/chr20.* "$source_dir"/examples/sites.vcf "$source_dir"/examples/scaffold.txt .
"$generator" --out imputed --samples 40 --sites 1500 --chunks 3 --overlap 100 --no-gz \
    --fields GT:DS:GP >/dev/null || fail "the generator failed"
imputed=()
for c in imputed/chunk_0*.vcf; do
    bcftools view --no-version -Oz -o "$c.gz" "$c" && bcftools view --no-version -Ob -o "${c%.vcf}.bcf" "$c" \
        || fail "bcftools cannot convert $c"
    imputed+=("${c%.vcf}")
done

runs=0
memcheck() {
    local log=memcheck.$runs.log
    runs=$((runs + 1))
    valgrind --tool=memcheck --error-exitcode=99 --track-origins=yes --log-file="$log" \
        "$seamline" "$@" >run.out 2>&1 || {
        cat run.out "$log" >&2
        fail "under valgrind: seamline $*"
    }
    echo "clean: seamline $*"
}

map=(--vcf sites.vcf --flip --chunks chr20.c1.haps.gz chr20.c3.haps chr20.c2.haps.bz2)
memcheck "${map[@]}" --output o.haps.gz o.sample --report r.tsv.gz --seam agree
memcheck "${map[@]}" --output o.haps.gz o.sample --compression-level 9
memcheck "${map[@]}" --output o.vcf.gz o.sample --threads 2 --scaffold scaffold.txt
memcheck --vcf sites.vcf --flip --chunks chr20.c1.vcf.gz chr20.c2.bcf chr20.c3.vcf --output o.bcf o.sample
for threads in 1 2; do
    memcheck --chunks "${imputed[@]/%/.vcf.gz}" -o d.vcf.gz --threads "$threads"
    memcheck --chunks "${imputed[@]/%/.bcf}" -o d.bcf --threads "$threads" --seam agree
done
memcheck -l -c -q 50 -Oz -o p.vcf.gz -W=tbi "${imputed[@]/%/.vcf.gz}"
memcheck --ligate-warn -q 20 -r 20:100000-200000 -Ou -o p.bcf --threads 1 "${imputed[@]/%/.bcf}"
for level in 0 1 9; do
    memcheck --chunks "${imputed[@]/%/.bcf}" -o d.bcf --compression-level "$level"
    memcheck --chunks "${imputed[@]/%/.vcf}" -o d.vcf.gz --compression-level "$level"
done

mkdir w records
for c in "${imputed[@]}"; do bcftools index "$c.bcf" || fail "bcftools cannot index $c.bcf"; done
for step in "plan" "boundary --part 2" "boundary --part 3" "fold" "stretch --part 1" \
    "stretch --part 2" "stretch --part 3" "gather"; do
    # shellcheck disable=SC2086 # the step and its part are two words
    memcheck --step $step --work w "${map[@]}" --output s.vcf.gz s.sample
    # shellcheck disable=SC2086
    memcheck --step $step --work records --chunks "${imputed[@]/%/.bcf}" -o s.bcf --seam agree
done
echo "valgrind: $runs runs without a memory error"
