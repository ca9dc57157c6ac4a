#!/bin/bash
# The Snakemake workflow of workflow/ on the example of examples/workflow/
# (chr21 and chr22 with site maps, chr20 without one): its outputs equal those
# of seamline run directly on the same inputs (byte for byte; a VCF joined
# without a site map, but for the header line of the command); a second run
# finds nothing to do; bad settings and missing inputs stop it with a message
# naming them; a failing seamline fails the run. The
# SLURM profile parses (a dry run), and a run through it with stand-ins for
# sbatch and sacct submits one job per chromosome with the CPUs, memory and
# time limit of the settings, and writes the same outputs. With scatter=true,
# each chromosome's join runs as plan, boundary, fold, stretch and gather
# jobs, on one machine and through the SLURM profile, each job with the
# resources of its step, and writes the same outputs as the one job. No real
# scheduler is ever called. Outputs go under WORKDIR, temporary files under /tmp.
# Usage: workflow.sh SEAMLINE SRCDIR WORKDIR
source "$(dirname "$0")/lib.sh"
[ $# -eq 3 ] || fail "usage: workflow.sh SEAMLINE SRCDIR WORKDIR"
need snakemake python3 cmp zcat bcftools
bin=$(realpath "$1")
src=$(realpath "$2")
mkdir -p "$3"
work=$(realpath "$3")
example=$src/examples/workflow
[ -x "$bin" ] || fail "$bin is not an executable"

# The example's config files: chr21 and chr22, and chr20 added by the second.
configs=("$example/config.yaml" "$example/no-site-map.yaml")

rm -rf "${work:?}"/{run,out,vcf,vcf-one,scatter,direct,dry,failed,cluster,cluster-scatter,fake-slurm}
mkdir -p "$work"/{run,direct,fake-slurm}

snake() {
    snakemake --snakefile "$src/workflow/Snakefile" "$@"
}
# The example's config, with snakemake's working directory (.snakemake/) in
# $work/run; scattered_workflow: the config of the scattered runs.
workflow() {
    snake --directory "$work/run" --configfile "${configs[@]}" "$@"
}
scattered_workflow() {
    snake --directory "$work/run" --configfile "${configs[@]}" "$@"
}
settings=(seamline="$bin" inputdir="$example")

# --- The workflow on the example, and seamline run directly on the same files.
workflow --cores 2 --config "${settings[@]}" outdir="$work/out" >"$work/run.log" 2>&1 ||
    fail "the workflow failed on the example:
$(tail -n 30 "$work/run.log")"

d=$work/direct
direct() {
    local chrom=$1
    shift
    (cd "$example" && "$bin" "$@" --scaffold scaffold.txt) >"$d/$chrom.log" 2>&1 ||
        fail "seamline failed on $chrom: $(cat "$d/$chrom.log")"
}
direct chr21 --vcf chr21/sites.vcf \
    --chunks chr21/chunk3.haps.bz2 chr21/chunk1.haps.gz chr21/chunk2.haps \
    --flip --output "$d/chr21.haps.gz" "$d/chr21.sample"
direct chr22 --vcf chr22/sites.vcf.gz \
    --chunks chr22/part1.haps.bz2 chr22/part2.haps.gz chr22/part3.haps chr22/part4.haps.gz \
    --flip --output "$d/chr22.haps.gz" "$d/chr22.sample"
# Without a site map: no --flip, one output. (The chunks in the config's order:
# records at one position with other alleles come out in the order of the
# chunks on the command line.)
direct chr20 --chunks ../chr20.c1.vcf.gz ../chr20.c2.bcf ../chr20.c3.vcf -o "$d/chr20.vcf.gz"

# text FILE: the text of FILE, decompressed.
text() {
    case $1 in
    *.gz) zcat "$1" ;;
    *.bcf) bcftools view --no-version "$1" ;;
    *) cat "$1" ;;
    esac
}
# same_content A B: A and B hold the same bytes, compressed files (.gz, .bcf)
# once decompressed: a scattered join compresses each stretch of the output on
# its own, so its compressed blocks end elsewhere than those of one run.
same_content() {
    case $1 in
    *.gz | *.bcf) cmp <(text "$1") <(text "$2") ;;
    *) cmp "$1" "$2" ;;
    esac
}
# same_records A B: A and B hold the same text but for the header line that
# records seamline's command, which names the outputs and the step run.
same_records() {
    cmp <(text "$1" | grep -v '^##seamlineCommand=') <(text "$2" | grep -v '^##seamlineCommand=')
}
# The files each chromosome's join writes with the default extension.
declare -A outputs=([chr21]="chr21.haps.gz chr21.sample" [chr22]="chr22.haps.gz chr22.sample"
    [chr20]="chr20.vcf.gz")
# compare CHROM COMPARE: how the outputs of a chromosome compare with another
# run's: joined without a site map (chr20) by their records, else by COMPARE.
compare() {
    if [ "$1" = chr20 ]; then echo same_records; else echo "$2"; fi
}
# same_outputs DIR COMPARE CHROM...: DIR holds the files the direct runs wrote
# for the chromosomes.
same_outputs() {
    local dir=$1 how=$2 chrom file
    shift 2
    for chrom in "$@"; do
        for file in ${outputs[$chrom]}; do
            [ -f "$dir/$file" ] || fail "$dir/$file is missing"
            "$(compare "$chrom" "$how")" "$d/$file" "$dir/$file" ||
                fail "$dir/$file differs from the direct run's"
        done
    done
}
same_outputs "$work/out" cmp chr21 chr22 chr20
[ -s "$work/out/chr20.vcf.gz.tbi" ] || fail "no index beside chr20.vcf.gz"
[ ! -e "$work/out/chr20.sample" ] || fail "the join without a site map wrote a sample file"
# Lines per chromosome: every site (chr21: 30) or every site but one no chunk
# covers (chr22: 35), so that the comparison above is not one of empty files;
# chr20 has a record at least at each of the 39 sites its chunks cover.
[ "$(zcat "$work/out/chr21.haps.gz" | wc -l)" -eq 30 ] || fail "chr21.haps.gz has not 30 lines"
[ "$(zcat "$work/out/chr22.haps.gz" | wc -l)" -eq 35 ] || fail "chr22.haps.gz has not 35 lines"
[ "$(zcat "$work/out/chr20.vcf.gz" | grep -vc '^#')" -ge 39 ] || fail "chr20.vcf.gz has not 39 records"
for chrom in chr22 chr20; do
    grep -q '^Writing haplotypes in' "$work/out/logs/$chrom.log" ||
        fail "the log of $chrom does not hold seamline's progress lines"
done
# benchmark FILE: FILE is Snakemake's measure of a job, a header and one line.
benchmark() {
    [ -f "$1" ] || fail "no benchmark file $1"
    head -n 1 "$1" | grep -q $'^s\th:m:s\tmax_rss' || fail "$1 is not a benchmark file: $(cat "$1")"
    [ "$(wc -l <"$1")" -eq 2 ] || fail "$1 does not hold one measure: $(cat "$1")"
}
for chrom in chr21 chr22 chr20; do
    benchmark "$work/out/benchmarks/$chrom.join.tsv"
done
echo "workflow outputs equal the direct runs' in $work/out"

stamp=$(stat -c %Y.%s "$work/out/chr21.haps.gz")
workflow --cores 2 --config "${settings[@]}" outdir="$work/out" >"$work/rerun.log" 2>&1 ||
    fail "a second run failed: $(tail -n 20 "$work/rerun.log")"
grep -q 'Nothing to be done' "$work/rerun.log" || fail "a second run did work again:
$(cat "$work/rerun.log")"
[ "$(stat -c %Y.%s "$work/out/chr21.haps.gz")" = "$stamp" ] || fail "a second run rewrote an output"

# --- VCF output with its index, and the report, written for real.
workflow --cores 2 --config "${settings[@]}" outdir="$work/vcf" extension=.vcf.gz report=true \
    >"$work/vcf.log" 2>&1 || fail "the workflow failed with VCF output: $(tail -n 20 "$work/vcf.log")"
for chrom in chr21 chr22 chr20; do
    [ -s "$work/vcf/$chrom.vcf.gz.tbi" ] || fail "no index beside $chrom.vcf.gz"
    if [ "$chrom" = chr20 ]; then
        same_records "$d/chr20.vcf.gz" "$work/vcf/chr20.vcf.gz" >/dev/null
    else
        cmp <(bcftools query -f '[%GT ]\n' "$work/vcf/$chrom.vcf.gz" | sed 's/|/ /g; s/ $//') \
            <(zcat "$d/$chrom.haps.gz" | cut -d' ' -f6-) >/dev/null
    fi || fail "$chrom.vcf.gz does not hold the direct run's haplotypes"
    head -n 1 "$work/vcf/$chrom.report.tsv" | grep -q $'^left\tright\tsample' ||
        fail "$chrom.report.tsv does not begin with the report's header"
done

# --- The scattered join: the same outputs from the jobs of every step.
# The jobs of chr21 (three chunks), chr22 (four) and chr20 (three), as
# CHROM.STEP[.PART].
jobs=(chr21.{plan,boundary.2,boundary.3,fold,stretch.1,stretch.2,stretch.3,gather}
    chr22.{plan,boundary.2,boundary.3,boundary.4,fold,stretch.1,stretch.2,stretch.3,stretch.4,gather}
    chr20.{plan,boundary.2,boundary.3,fold,stretch.1,stretch.2,stretch.3,gather})
scattered_workflow --cores 2 --config "${settings[@]}" outdir="$work/scatter" scatter=true \
    >"$work/scatter.log" 2>&1 ||
    fail "the scattered workflow failed on the example:
$(tail -n 30 "$work/scatter.log")"
same_outputs "$work/scatter" same_content chr21 chr22 chr20
for job in "${jobs[@]}"; do
    benchmark "$work/scatter/benchmarks/$job.tsv"
    [ -f "$work/scatter/logs/$job.log" ] || fail "the job $job left no log"
done
[ ! -e "$work/scatter/scatter" ] ||
    fail "the work files outlived the gather: $(find "$work/scatter/scatter")"
scattered_workflow --cores 2 --config "${settings[@]}" outdir="$work/scatter" scatter=true \
    >"$work/scatter-rerun.log" 2>&1 ||
    fail "a second scattered run failed: $(tail -n 20 "$work/scatter-rerun.log")"
grep -q 'Nothing to be done' "$work/scatter-rerun.log" ||
    fail "a second scattered run did work again (its work files are gone):
$(cat "$work/scatter-rerun.log")"
echo "the scattered workflow writes the one job's outputs; a second run finds nothing to do"

# VCF output with its index, and the report: the one job's files moved aside,
# the scattered run writes to the same paths (which the VCF header records);
# the same text (without a site map, but for the line of the command), and
# region queries through the index (regions across the chunks' overlaps) give
# the same records.
mv "$work/vcf" "$work/vcf-one"
scattered_workflow --cores 2 --config "${settings[@]}" outdir="$work/vcf" extension=.vcf.gz \
    report=true scatter=true >"$work/vcf-scatter.log" 2>&1 ||
    fail "the scattered workflow failed with VCF output: $(tail -n 20 "$work/vcf-scatter.log")"
regions=(21:14003000-14008000 22:14004000-14013000 22:14012900-14020000)
for chrom in chr21 chr22 chr20; do
    for file in ${outputs[$chrom]/.haps.gz/.vcf.gz} $chrom.report.tsv; do
        "$(compare "$chrom" same_content)" "$work/vcf-one/$file" "$work/vcf/$file" ||
            fail "the scattered run's $file differs from the one job's"
    done
    [ -s "$work/vcf/$chrom.vcf.gz.tbi" ] || fail "no index beside the scattered $chrom.vcf.gz"
    [ "$chrom" != chr20 ] || regions+=(20:65000-76000)
done
[ ! -e "$work/vcf/chr20.sample" ] || fail "the scattered join without a site map wrote a sample file"
for region in "${regions[@]}"; do
    file=chr${region%%:*}.vcf.gz
    one=$(bcftools view -H -r "$region" "$work/vcf-one/$file") || fail "bcftools view -r $region failed"
    scattered=$(bcftools view -H -r "$region" "$work/vcf/$file") ||
        fail "bcftools view -r $region failed on the scattered $file"
    [ -n "$one" ] || fail "no record in $region"
    [ "$one" = "$scattered" ] || fail "the scattered $file answers $region otherwise"
done
echo "scattered, the VCF.gz outputs and the reports hold the one job's text; its indexes its answers"

# --- Settings reach the command line (dry runs print the commands).
# dry_run NAME SETTING...: a dry run with the settings, its output in $scratch/NAME.
dry_run() {
    local name=$1
    shift
    workflow --dry-run --printshellcmds --cores 2 \
        --config "${settings[@]}" outdir="$work/dry" "$@" >"$scratch/$name" 2>&1 ||
        fail "the dry run with $* failed: $(tail -n 20 "$scratch/$name")"
}
# expect NAME TEXT: the dry run NAME printed TEXT.
expect() {
    grep -qF -- "$2" "$scratch/$1" || fail "the dry run $1 does not show '$2':
$(cat "$scratch/$1")"
}
# planned NAME RULE:COUNT...: the dry run NAME plans COUNT jobs of each RULE.
planned() {
    local name=$1 job
    shift
    for job in "$@"; do
        grep -qE "^${job%:*} +${job#*:}( |\$)" "$scratch/$name" ||
            fail "the dry run $name does not plan ${job#*:} jobs ${job%:*}: $(cat "$scratch/$name")"
    done
}
# chr20, without a site map: its chunks, no --vcf and no --flip (which the
# example sets), -o and no sample file.
chr20_chunks="--chunks $example/../chr20.c1.vcf.gz $example/../chr20.c2.bcf $example/../chr20.c3.vcf"
dry_run report report=true threads=2 extension=.vcf.gz
planned report join:2 join_no_site_map:1
expect report "--report $work/dry/chr21.report.tsv"
expect report "--threads 2 --output $work/dry/chr21.vcf.gz $work/dry/chr21.sample"
expect report "$bin $chr20_chunks --scaffold $example/scaffold.txt \
--report $work/dry/chr20.report.tsv --threads 2 -o $work/dry/chr20.vcf.gz >"
dry_run bcf extension=.bcf
expect bcf "--threads 1 -o $work/dry/chr20.bcf >"
# Scattered: each step's command takes the run's options, its own --threads,
# and the work folder of its chromosome.
dry_run scatter scatter=true report=true
planned scatter plan:2 plan_no_site_map:1 boundary:7 fold:3 stretch:10 gather:2 gather_no_site_map:1
if grep -qE '^join' "$scratch/scatter"; then fail "the scattered dry run plans joins"; fi
expect scatter "--step plan --work $work/dry/scatter/chr21 --vcf $example/chr21/sites.vcf --chunks"
expect scatter "--step boundary --part 4 --work $work/dry/scatter/chr22 --vcf"
expect scatter "--step stretch --part 1 --work $work/dry/scatter/chr22 --vcf"
expect scatter "--report $work/dry/chr21.report.tsv --threads 2 --output $work/dry/chr21.haps.gz"
expect scatter "--step gather --work $work/dry/scatter/chr22 --vcf"
expect scatter "--step plan --work $work/dry/scatter/chr20 $chr20_chunks --scaffold"
expect scatter "--step boundary --part 3 --work $work/dry/scatter/chr20 $chr20_chunks --scaffold"
expect scatter "--step stretch --part 3 --work $work/dry/scatter/chr20 $chr20_chunks --scaffold"
expect scatter "--report $work/dry/chr20.report.tsv --threads 1 -o $work/dry/chr20.vcf.gz >"
expect scatter "--step gather --work $work/dry/scatter/chr20 $chr20_chunks --scaffold"
# A chromosome of one chunk, with a site map or without, has no boundary.
cat >"$scratch/one-chunk.yaml" <<'EOF'
chromosomes:
  c: {sites: chr22/sites.vcf.gz, chunks: chr22/part1.haps.bz2}
  d: {chunks: ../chr20.c2.bcf}
EOF
snake --directory "$work/run" --dry-run --cores 2 --configfile "$scratch/one-chunk.yaml" \
    --config "${settings[@]}" outdir="$work/dry" scatter=true >"$scratch/one-chunk" 2>&1 ||
    fail "the scattered dry run of one chunk failed: $(tail -n 20 "$scratch/one-chunk")"
planned one-chunk stretch:2 gather:1 gather_no_site_map:1
if grep -qE '^boundary ' "$scratch/one-chunk"; then
    fail "one chunk makes a boundary: $(cat "$scratch/one-chunk")"
fi
dry_run noflip flip=false scaffold=
if grep -qE -- '--flip|--scaffold' "$scratch/noflip"; then
    fail "flip=false scaffold= still pass --flip or --scaffold: $(grep -- --flip "$scratch/noflip")"
fi
# A path that begins with '-' would be read as an option by seamline.
mkdir -p "$scratch/dash"
cp "$example"/chr22/* "$scratch/dash/"
mv "$scratch/dash/part3.haps" "$scratch/dash/-part3.haps"
cp "$example/../chr20.c1.vcf.gz" "$scratch/dash/-c1.vcf.gz"
cat >"$scratch/dash.yaml" <<EOF
chromosomes:
  chr22: {sites: sites.vcf.gz, chunks: ["-part3.haps", "part[124].*"]}
  chr20: {chunks: ["-c1.vcf.gz"]}
EOF
snake --directory "$scratch/dash" --dry-run --printshellcmds --cores 1 \
    --configfile "$scratch/dash.yaml" --config seamline="$bin" flip=true >"$scratch/dash.log" 2>&1 ||
    fail "the dry run with a chunk file named -part3.haps failed: $(cat "$scratch/dash.log")"
expect dash.log "--chunks ./-part3.haps part1.haps.bz2 part2.haps.gz part4.haps.gz --flip"
expect dash.log "--chunks ./-c1.vcf.gz --threads 1 -o results/chr20.vcf.gz"

# --- Bad settings and missing inputs: a message naming them, nothing run.
while IFS='|' read -r what chromosomes extra message; do
    printf 'chromosomes:\n%b\n' "$chromosomes" >"$scratch/bad.yaml"
    # shellcheck disable=SC2086 # extra holds NAME=VALUE words
    if snake --directory "$work/run" --cores 2 --configfile "$scratch/bad.yaml" \
        --config "${settings[@]}" outdir="$work/bad" $extra >"$scratch/bad.log" 2>&1; then
        fail "$what: the workflow ran"
    fi
    grep -qF -- "seamline workflow: $message" "$scratch/bad.log" ||
        fail "$what: no message '$message':
$(cat "$scratch/bad.log")"
    [ ! -e "$work/bad" ] || fail "$what: the workflow wrote outputs"
done <<EOF
missing chunk file|  c: {sites: chr22/sites.vcf.gz, chunks: [chr22/part1.haps.bz2, chr22/part9.haps]}||chromosome c: chunk file $example/chr22/part9.haps does not exist
glob matching nothing|  c: {sites: chr22/sites.vcf.gz, chunks: "chr22/*.vcf.bz2"}||chromosome c: no chunk file matches $example/chr22/*.vcf.bz2
chunk file named twice|  c: {sites: chr22/sites.vcf.gz, chunks: [chr22/part1.haps.bz2, "chr22/*.bz2"]}||chromosome c: chunk file $example/chr22/part1.haps.bz2 is named more than once
missing site map|  c: {sites: chr22/sites.vcf, chunks: "chr22/*.haps*"}||chromosome c: site map $example/chr22/sites.vcf does not exist
directory as chunk file|  c: {sites: chr22/sites.vcf.gz, chunks: [chr22]}||chromosome c: chunk file $example/chr22 is a directory
no chunks|  c: {sites: chr22/sites.vcf.gz}||chromosome c: give 'chunks' (and 'sites', its site map, if it has one)
empty site map|  c: {sites: "", chunks: ../chr20.c2.bcf}||chromosome c: 'sites' is empty: name the site map, or leave 'sites' out to join without one
misspelt setting of a chromosome|  c: {site: chr22/sites.vcf.gz, chunks: "chr22/*.haps*"}||chromosome c: 'site' is not a setting of a chromosome (those are sites, chunks, threads, mem_mb, runtime, steps)
missing chunk without a site map|  c: {chunks: [../chr20.c2.bcf, ../chr20.c9.bcf]}||chromosome c: chunk file $example/../chr20.c9.bcf does not exist
text output without a site map|  c: {sites: chr22/sites.vcf.gz, chunks: "chr22/*.haps*"}\n  d: {chunks: ../chr20.c2.bcf}|extension=.haps|chromosome d: 'extension' must be .vcf.gz, .vcf.bgz or .bcf without a site map, not '.haps'
unindexed output without a site map|  d: {chunks: ../chr20.c2.bcf}|extension=.vcf|chromosome d: 'extension' must be .vcf.gz, .vcf.bgz or .bcf without a site map, not '.vcf'
missing scaffold list|  c: {sites: chr22/sites.vcf.gz, chunks: "chr22/*.haps*"}|scaffold=none.txt|scaffold list $example/none.txt does not exist
name unfit for a file|  a/b: {sites: chr22/sites.vcf.gz, chunks: "chr22/*.haps*"}||chromosome name 'a/b' is not usable in a file name
threads not a number|  c: {sites: chr22/sites.vcf.gz, chunks: "chr22/*.haps*", threads: many}||chromosome c: 'threads' must be a whole number of at least 1, not 'many'
flip neither true nor false|  c: {sites: chr22/sites.vcf.gz, chunks: "chr22/*.haps*"}|flip=maybe|setting 'flip' must be true or false, not 'maybe'
extension without a dot|  c: {sites: chr22/sites.vcf.gz, chunks: "chr22/*.haps*"}|extension=haps|'extension' must be a file extension such as .haps.gz, not 'haps'
no chromosomes|  {}||no chromosomes: give a config file that lists them (--configfile)
scatter neither true nor false|  c: {sites: chr22/sites.vcf.gz, chunks: "chr22/*.haps*"}|scatter=maybe|setting 'scatter' must be true or false, not 'maybe'
step threads not a number|  c: {sites: chr22/sites.vcf.gz, chunks: "chr22/*.haps*", steps: {stretch: {threads: 0}}}||chromosome c: step stretch: 'threads' must be a whole number of at least 1, not '0'
unknown step|  c: {sites: chr22/sites.vcf.gz, chunks: "chr22/*.haps*", steps: {split: {threads: 1}}}||chromosome c: 'steps' names 'split', which is none of plan, boundary, fold, stretch, gather
unknown step resource|  c: {sites: chr22/sites.vcf.gz, chunks: "chr22/*.haps*", steps: {fold: {cpus: 1}}}||chromosome c: step fold: give threads, mem_mb or runtime, not '{'cpus': 1}'
EOF
echo "bad settings and missing inputs stop the workflow with a message naming them"

# A seamline that fails fails its job, in one job or in a scattered join; the
# end of its log comes out on standard error. Here: rows with exchanged
# alleles without --flip (chr21 of the example), and without a site map, a
# chunk that is not VCF.
printf 'chromosomes:\n  c: {chunks: [../chr20.c1.vcf.gz, chr22/part3.haps]}\n' >"$scratch/text-chunk.yaml"
while IFS='|' read -r config scatter setting message output; do
    # shellcheck disable=SC2086 # setting is one NAME=VALUE word or none
    if snake --directory "$work/run" --cores 2 --configfile "$config" --config "${settings[@]}" \
        outdir="$work/failed" scatter=$scatter $setting >"$scratch/failed.log" 2>&1; then
        fail "the workflow on $config (scatter: $scatter) succeeded although seamline failed"
    fi
    grep -qF -- "$message" "$scratch/failed.log" ||
        fail "seamline's message '$message' is not shown: $(cat "$scratch/failed.log")"
    [ ! -e "$work/failed/$output" ] || fail "a failed join (scatter: $scatter) left $output"
    rm -rf "$work/failed"
done <<EOF
$example/config.yaml|false|flip=false|Not found = |chr21.haps.gz
$example/config.yaml|true|flip=false|Not found = |chr21.haps.gz
$scratch/text-chunk.yaml|false||is not VCF or BCF; without --vcf every chunk must be|c.vcf.gz
EOF

# --- The SLURM profile. Stand-ins on PATH: sbatch records its arguments and
# runs the job script in the background, sacct and scontrol answer from files
# (fake-slurm/ID.status holds the job's exit status once it ends).
fakes=$scratch/fake-bin
mkdir -p "$fakes"
cat >"$fakes/sbatch" <<'EOF'
#!/bin/bash
set -euo pipefail
dir=$FAKE_SLURM_DIR
[ "${FAKE_SBATCH_REFUSES:-}" != 1 ] || { touch "$dir/sbatch-called"; exit 1; }
id=$((1000 + $(find "$dir" -name '*.args' | wc -l)))
printf '%s\n' "$@" >"$dir/$id.args"
# The job runs in a process group of its own (ID.pgid), which the fake
# scancel ends; while the file FAKE_SLURM_HOLD names does not exist, it waits
# in the queue.
setsid bash -c 'echo $$ >"$1/$2.pgid"
while [ -n "${FAKE_SLURM_HOLD:-}" ] && [ ! -e "$FAKE_SLURM_HOLD" ]; do sleep 0.2; done
FAKE_JOB_ID=$2 bash "$3" >"$1/$2.out" 2>&1; status=$?
# Files the job names in ID.late show on the shared file system late.
[ ! -s "$1/$2.late" ] || while read -r f; do mv "$f" "$f.late"; done <"$1/$2.late"
echo $status >"$1/$2.status"' _ "$dir" "$id" "${!#}" \
    </dev/null >/dev/null 2>&1 &
# With FAKE_SBATCH_SLOW, SLURM answers late: the job is accepted (ID.accepted)
# seconds before its id comes back.
if [ -n "${FAKE_SBATCH_SLOW:-}" ]; then
    touch "$dir/$id.accepted"
    sleep "$FAKE_SBATCH_SLOW"
fi
echo "$id"
EOF
cat >"$fakes/scancel" <<'EOF'
#!/bin/bash
# Notes each job id in scancel-jobs and ends the job's processes, as SLURM does.
for id in "$@"; do
    echo "$id" >>"$FAKE_SLURM_DIR/scancel-jobs"
    for _ in $(seq 20); do [ ! -s "$FAKE_SLURM_DIR/$id.pgid" ] || break; sleep 0.1; done
    pgid=$(cat "$FAKE_SLURM_DIR/$id.pgid" 2>/dev/null) || continue
    kill -TERM -- "-$pgid" 2>/dev/null || true
    [ -e "$FAKE_SLURM_DIR/$id.status" ] || echo 143 >"$FAKE_SLURM_DIR/$id.status"
done
EOF
cat >"$fakes/sacct" <<'EOF'
#!/bin/bash
# The line of job ID in sacct -j ID --parsable2 --format=COLUMNS: the columns
# asked for (JobID, State) separated by |. The state comes from the fake
# sbatch's files, or, when FAKE_SACCT is set, "STATE|EXITSTATUS" as given
# there; a STATE beginning "sacct: " is a message, which sacct writes on
# standard error in place of the job's line.
set -euo pipefail
id= format=State
while [ $# -gt 0 ]; do
    case $1 in
    -j) id=$2; shift ;;
    --format=*) format=${1#--format=} ;;
    esac
    shift
done
echo "$id" >>"$FAKE_SLURM_DIR/sacct-jobs"
# With FAKE_SACCT_SLOW, the accounting answers seconds late (sacct-asked
# tells that a question is under way); with FAKE_SACCT_COMPLETING, a job
# that has ended is still COMPLETING.
if [ -n "${FAKE_SACCT_SLOW:-}" ]; then
    touch "$FAKE_SLURM_DIR/sacct-asked"
    sleep "$FAKE_SACCT_SLOW"
fi
job_line() {
    local line= column columns
    IFS=, read -ra columns <<<"$format"
    for column in "${columns[@]}"; do
        case $column in
        JobID) line+="|$id" ;;
        State) line+="|$1" ;;
        *) echo "fake sacct: no column $column" >&2; exit 1 ;;
        esac
    done
    echo "${line#|}"
}
if [ -n "${FAKE_SACCT:-}" ]; then
    state=${FAKE_SACCT%|*}
    case $state in
    '') ;;
    'sacct: '*) echo "$state" >&2 ;;
    *) job_line "$state" ;;
    esac
    exit "${FAKE_SACCT#*|}"
fi
status=$FAKE_SLURM_DIR/$id.status
if [ ! -e "$status" ]; then job_line RUNNING
elif [ -n "${FAKE_SACCT_COMPLETING:-}" ]; then job_line COMPLETING
elif [ "$(cat "$status")" = 0 ]; then job_line COMPLETED
else job_line FAILED; fi
EOF
cat >"$fakes/scontrol" <<'EOF'
#!/bin/bash
# "TEXT|EXITSTATUS" of FAKE_SCONTROL.
[ -z "${FAKE_SCONTROL%|*}" ] || echo "${FAKE_SCONTROL%|*}"
exit "${FAKE_SCONTROL#*|}"
EOF
chmod +x "$fakes"/*
export FAKE_SLURM_DIR=$work/fake-slurm
profile=$src/workflow/profiles/slurm

FAKE_SBATCH_REFUSES=1 PATH=$fakes:$PATH workflow --dry-run --profile "$profile" \
    --config "${settings[@]}" outdir="$work/cluster" >"$scratch/dry.log" 2>&1 ||
    fail "the dry run with the SLURM profile failed: $(tail -n 30 "$scratch/dry.log")"
planned dry.log join:2 join_no_site_map:1
[ ! -e "$FAKE_SLURM_DIR/sbatch-called" ] || fail "the dry run called sbatch"
echo "the SLURM profile parses; its dry run plans three joins and calls no sbatch"

# snakemake checks a cluster's jobs every 10 s, every second when CI=true.
CI=true PATH=$fakes:$PATH workflow --profile "$profile" \
    --config "${settings[@]}" outdir="$work/cluster" threads=2 >"$work/cluster.log" 2>&1 ||
    fail "the run through the SLURM profile failed: $(tail -n 30 "$work/cluster.log")"
same_outputs "$work/cluster" cmp chr21 chr22 chr20
for chrom in chr21 chr22 chr20; do
    args=$(grep -lx -- "--job-name=seamline-$chrom" "$FAKE_SLURM_DIR"/*.args) ||
        fail "no job was submitted for $chrom"
    for expected in --parsable --cpus-per-task=2 --mem=500M --time=10; do
        grep -qx -- "$expected" "$args" || fail "sbatch for $chrom lacks $expected: $(cat "$args")"
    done
    grep -q -- "--threads 2 " "${args%.args}.out" ||
        fail "the job of $chrom did not pass --threads 2: $(cat "${args%.args}.out")"
done
[ "$(find "$FAKE_SLURM_DIR" -name '*.args' | wc -l)" -eq 3 ] || fail "not three jobs submitted"
grep -qx 1000 "$FAKE_SLURM_DIR/sacct-jobs" || fail "the status command never asked sacct"
echo "a run through the SLURM profile submits one job per chromosome, same outputs"

# Scattered through the profile: one batch job per job of every step, each
# asking for its step's resources (chr22's stretches for their own memory).
cat >"$scratch/steps.yaml" <<'EOF'
steps:
  plan: {threads: 1, mem_mb: 101, runtime: 11}
  boundary: {threads: 2, mem_mb: 102, runtime: 12}
  fold: {threads: 1, mem_mb: 103, runtime: 13}
  stretch: {threads: 2, mem_mb: 104, runtime: 14}
  gather: {threads: 1, mem_mb: 105, runtime: 15}
chromosomes:
  chr22:
    steps: {stretch: {mem_mb: 222}}
EOF
rm -rf "${FAKE_SLURM_DIR:?}"/*
CI=true PATH=$fakes:$PATH snake --directory "$work/run" --profile "$profile" \
    --configfile "${configs[@]}" "$scratch/steps.yaml" \
    --config "${settings[@]}" outdir="$work/cluster-scatter" scatter=true \
    >"$work/cluster-scatter.log" 2>&1 ||
    fail "the scattered run through the SLURM profile failed: $(tail -n 30 "$work/cluster-scatter.log")"
same_outputs "$work/cluster-scatter" same_content chr21 chr22 chr20
[ "$(find "$FAKE_SLURM_DIR" -name '*.args' | wc -l)" -eq ${#jobs[@]} ] ||
    fail "not ${#jobs[@]} jobs submitted: $(cat "$FAKE_SLURM_DIR"/*.args)"
for job in "${jobs[@]}"; do
    chrom=${job%%.*} step=${job#*.}
    step=${step%.*}
    command="--step $step "
    [ "$job" = "$chrom.$step" ] || command+="--part ${job##*.} "
    command+="--work $work/cluster-scatter/scatter/$chrom "
    # The console of the batch job that ran the command, beside its sbatch arguments.
    out=$(grep -lF -- "$command" "$FAKE_SLURM_DIR"/*.out) || fail "no batch job ran $command"
    [ "$(wc -l <<<"$out")" -eq 1 ] || fail "more than one batch job ran $command: $out"
    case $step in
    plan) expected="1 101 11" ;;
    boundary) expected="2 102 12" ;;
    fold) expected="1 103 13" ;;
    stretch) expected="2 $([ "$chrom" = chr22 ] && echo 222 || echo 104) 14" ;;
    gather) expected="1 105 15" ;;
    esac
    read -r cpus mem time <<<"$expected"
    # SLURM's console of the job is named after the rule.
    rule=$step
    case $job in chr20.gather | chr20.plan) rule=${step}_no_site_map ;; esac
    for expected in --job-name=seamline-"$chrom" --output="logs/slurm/$rule-$chrom-%j.log" \
        --cpus-per-task="$cpus" --mem="${mem}M" --time="$time"; do
        grep -qx -- "$expected" "${out%.out}.args" ||
            fail "sbatch for $job lacks $expected: $(cat "${out%.out}.args")"
    done
    grep -q -- "--threads $cpus " "$out" || fail "the job $job did not pass --threads $cpus: $(cat "$out")"
done
echo "scattered through the SLURM profile: a batch job per step and part with the step's resources, same outputs"

# The status command's answers: sacct's state (STATE|EXITSTATUS), then
# scontrol's when sacct has no line for the job, as when it exits 0 with only
# a warning.
status=$profile/slurm-status.py
while IFS='|' read -r sacct sacct_status scontrol scontrol_status expected; do
    got=$(FAKE_SACCT="$sacct|$sacct_status" FAKE_SCONTROL="$scontrol|$scontrol_status" \
        PATH=$fakes:$PATH "$status" '77;cluster') || fail "$status failed"
    [ "$got" = "$expected" ] ||
        fail "$status: sacct '$sacct' ($sacct_status), scontrol '$scontrol': $got, not $expected"
done <<'EOF'
COMPLETED|0||1|success
CANCELLED by 1000|0||1|failed
TIMEOUT|0||1|failed
OUT_OF_MEMORY|0||1|failed
NODE_FAIL|0||1|failed
PENDING|0||1|running
RUNNING|0||1|running
COMPLETING|0||1|running
|0|JobId=77 JobName=x JobState=PENDING Reason=Priority|0|running
|1|JobId=77 JobName=x JobState=COMPLETED Reason=None|0|success
|1|JobId=77 JobName=x JobState=FAILED Reason=NonZeroExitCode|0|failed
|1|slurm_load_jobs error: Invalid job id specified|1|failed
|1|slurm_load_jobs error: Socket timed out on send/recv operation|1|running
sacct: warning: accounting storage is not responding|0|JobId=77 JobName=x JobState=COMPLETED Reason=None|0|success
sacct: warning: accounting storage is not responding|0|slurm_load_jobs error: Invalid job id specified|1|failed
EOF
grep -qx 77 "$FAKE_SLURM_DIR/sacct-jobs" || fail "$status did not strip ';cluster' from the job id"
echo "the status command maps SLURM's job states"

# When snakemake is interrupted, the status command's reader may be gone
# before it answers: it exits 0 and says nothing. Descriptor 4 is the writing
# end of a pipe whose only reader (descriptor 3) has been closed.
mkfifo "$scratch/no-reader"
# shellcheck disable=SC2094 # both ends of the FIFO are opened on purpose
exec 3<>"$scratch/no-reader" 4>"$scratch/no-reader" 3<&-
FAKE_SACCT="COMPLETED|0" PATH=$fakes:$PATH "$status" '77;cluster' >&4 2>"$scratch/no-reader.err" ||
    fail "$status failed when nobody reads its answer: $(cat "$scratch/no-reader.err")"
exec 4>&-
[ ! -s "$scratch/no-reader.err" ] ||
    fail "$status wrote on standard error when nobody reads its answer: $(cat "$scratch/no-reader.err")"
echo "the status command answers nobody quietly"

# --- Ctrl-C during a run through the SLURM profile, at several moments:
# every job submitted must end on its own or be cancelled, whether
# snakemake's own cancelling runs or not, and no job's process may be left.
# A stand-in for seamline runs the real one; it waits for the file
# FAKE_SEAMLINE_WAIT while its command holds FAKE_SEAMLINE_WAIT_FOR, and with
# FAKE_HIDE_OUTPUT has its job show its last output late.
cat >"$scratch/seamline-stand-in" <<EOF
#!/bin/bash
touch "\$FAKE_SLURM_DIR/running.\$\$"
if [ -n "\${FAKE_SEAMLINE_WAIT:-}" ] && [[ " \$* " == *"\${FAKE_SEAMLINE_WAIT_FOR:-}"* ]]; then
    while [ ! -e "\$FAKE_SEAMLINE_WAIT" ]; do sleep 0.2; done
fi
"$bin" "\$@" || exit
if [ -n "\${FAKE_HIDE_OUTPUT:-}" ]; then
    output=\${!#}
    [[ \$output == /* ]] || output=\$PWD/\$output
    echo "\$output" >>"\$FAKE_SLURM_DIR/\$FAKE_JOB_ID.late"
fi
EOF
chmod +x "$scratch/seamline-stand-in"
release=$scratch/release
# jobs_where FILES COUNT: at least COUNT files match the pattern FILES.
jobs_where() {
    local files
    files=$(compgen -G "$1" | wc -l)
    [ "$files" -ge "$2" ]
}
# interrupted NAME WHEN [VARIABLE=VALUE...]: runs the example through the
# SLURM profile (in its own session, with the variables set), waits until the
# command WHEN succeeds, then sends SIGINT (or the signal $interrupt names)
# to snakemake's process group, as Ctrl-C in a terminal does, and checks the
# jobs once snakemake and the watcher of the jobs have exited.
interrupted() {
    local name=$1 when=$2 run=$scratch/interrupted-$1 i pid args job pgid
    shift 2
    rm -rf "${FAKE_SLURM_DIR:?}"/* "$release"
    mkdir -p "$run"
    # SIGINT, which a script's background job ignores, is restored for
    # snakemake, which leads a session of its own.
    env CI=true PATH="$fakes:$PATH" "$@" python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.setsid()
os.execvp(sys.argv[1], sys.argv[1:])' snakemake --snakefile "$src/workflow/Snakefile" \
        --directory "$run" --configfile "${configs[@]}" --profile "$profile" \
        --config "${settings[@]}" seamline="$scratch/seamline-stand-in" outdir="$run/out" \
        >"$scratch/$name.log" 2>&1 &
    pid=$!
    for ((i = 0; i < 300; i++)); do
        ! eval "$when" || break
        sleep 0.2
    done
    eval "$when" || fail "interrupted while $name: the moment never came: $(tail -n 20 "$scratch/$name.log")"
    kill -"${interrupt:-INT}" -- "-$pid"
    for ((i = 0; i < 300; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.2
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill -KILL -- "-$pid"
        fail "interrupted while $name: snakemake did not exit: $(tail -n 20 "$scratch/$name.log")"
    fi
    { wait "$pid"; } 2>/dev/null || true
    # The watcher removes its folder once it has cancelled what was left.
    for ((i = 0; i < 150; i++)); do
        [ -n "$(ls -A "$run/.snakemake/seamline-slurm" 2>/dev/null)" ] || break
        sleep 0.2
    done
    [ -z "$(ls -A "$run/.snakemake/seamline-slurm" 2>/dev/null)" ] ||
        fail "interrupted while $name: the watcher of the jobs did not finish"
    [ -s "$FAKE_SLURM_DIR/scancel-jobs" ] ||
        fail "interrupted while $name: no job was cancelled: $(tail -n 20 "$scratch/$name.log")"
    for args in "$FAKE_SLURM_DIR"/*.args; do
        job=$(basename "$args" .args)
        grep -qx "$job" "$FAKE_SLURM_DIR/scancel-jobs" ||
            [ "$(cat "$FAKE_SLURM_DIR/$job.status" 2>/dev/null)" = 0 ] ||
            fail "interrupted while $name: job $job was neither cancelled nor ended:
$(tail -n 20 "$scratch/$name.log")"
    done
    # A cancelled job's processes take a moment to end.
    for pgid in "$FAKE_SLURM_DIR"/*.pgid; do
        for ((i = 0; i < 50; i++)); do
            kill -0 -- "-$(cat "$pgid")" 2>/dev/null || break
            sleep 0.1
        done
        ! kill -0 -- "-$(cat "$pgid")" 2>/dev/null ||
            fail "interrupted while $name: the processes of job $(basename "$pgid" .pgid) are left"
    done
    echo "interrupted while $name: every job ended or was cancelled"
}
# Three jobs, one per chromosome, waiting in the queue.
interrupted "jobs are queued" "jobs_where '$FAKE_SLURM_DIR/*.args' 3" FAKE_SLURM_HOLD="$release"
# Three jobs running seamline.
interrupted "jobs run" "jobs_where '$FAKE_SLURM_DIR/running.*' 3" FAKE_SEAMLINE_WAIT="$release"
# sbatch has accepted the first job but not yet answered with its id, which
# snakemake never learns.
interrupted "a job is submitted" "jobs_where '$FAKE_SLURM_DIR/*.accepted' 1" \
    FAKE_SBATCH_SLOW=4 FAKE_SLURM_HOLD="$release"
# The status command waits for sacct's answer.
interrupted "snakemake asks how a job stands" "[ -e '$FAKE_SLURM_DIR/sacct-asked' ]" \
    FAKE_SACCT_SLOW=4 FAKE_SLURM_HOLD="$release"
# Two jobs have ended and are completing; chr22's runs.
interrupted "jobs are completing" "jobs_where '$FAKE_SLURM_DIR/*.status' 2" \
    FAKE_SACCT_COMPLETING=1 FAKE_SEAMLINE_WAIT="$release" FAKE_SEAMLINE_WAIT_FOR=chr22
# Two jobs have ended, their outputs not yet shown: snakemake waits for them
# while handling the jobs; chr22's runs.
interrupted "snakemake handles an ended job" "grep -q 'Waiting at most' '$scratch/snakemake handles an ended job.log'" \
    FAKE_HIDE_OUTPUT=1 FAKE_SEAMLINE_WAIT="$release" FAKE_SEAMLINE_WAIT_FOR=chr22
# Snakemake killed, with every process of its group, while jobs run: it
# cancels nothing itself.
interrupt=KILL interrupted "snakemake is killed" "jobs_where '$FAKE_SLURM_DIR/running.*' 3" \
    FAKE_SEAMLINE_WAIT="$release"
