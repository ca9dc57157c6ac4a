#!/bin/bash
# The Snakemake workflow of workflow/ on the example of examples/workflow/:
# its outputs equal byte for byte those of seamline run directly on the same
# inputs; a second run finds nothing to do; bad settings and missing inputs
# stop it with a message naming them; a failing seamline fails the run. The
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

rm -rf "${work:?}"/{run,out,vcf,vcf-one,scatter,direct,dry,cluster,cluster-scatter,fake-slurm}
mkdir -p "$work"/{run,direct,fake-slurm}

snake() {
    snakemake --snakefile "$src/workflow/Snakefile" "$@"
}
# The example's config, with snakemake's working directory (.snakemake/) in
# $work/run.
workflow() {
    snake --directory "$work/run" --configfile "$example/config.yaml" "$@"
}
settings=(seamline="$bin" inputdir="$example")

# --- The workflow on the example, and seamline run directly on the same files.
workflow --cores 2 --config "${settings[@]}" outdir="$work/out" >"$work/run.log" 2>&1 ||
    fail "the workflow failed on the example:
$(tail -n 30 "$work/run.log")"

direct() {
    local chrom=$1
    shift
    (cd "$example" && "$bin" "$@" --scaffold scaffold.txt --flip \
        --output "$work/direct/$chrom.haps.gz" "$work/direct/$chrom.sample") \
        >"$work/direct/$chrom.log" 2>&1 || fail "seamline failed on $chrom: $(cat "$work/direct/$chrom.log")"
}
direct chr21 --vcf chr21/sites.vcf --chunks chr21/chunk3.haps.bz2 chr21/chunk1.haps.gz chr21/chunk2.haps
direct chr22 --vcf chr22/sites.vcf.gz \
    --chunks chr22/part1.haps.bz2 chr22/part2.haps.gz chr22/part3.haps chr22/part4.haps.gz

# same_content A B: A and B hold the same bytes, compressed files (.gz, .bcf)
# once decompressed: a scattered join compresses each stretch of the output on
# its own, so its compressed blocks end elsewhere than those of one run.
same_content() {
    case $1 in
    *.gz) cmp <(zcat "$1") <(zcat "$2") ;;
    *.bcf) cmp <(bcftools view --no-version "$1") <(bcftools view --no-version "$2") ;;
    *) cmp "$1" "$2" ;;
    esac
}
# same_outputs DIR [COMPARE]: DIR holds the same four files as the direct
# runs, compared by cmp or COMPARE.
same_outputs() {
    local file
    for file in chr21.haps.gz chr21.sample chr22.haps.gz chr22.sample; do
        [ -f "$1/$file" ] || fail "$1/$file is missing"
        "${2:-cmp}" "$work/direct/$file" "$1/$file" || fail "$1/$file differs from the direct run's"
    done
}
same_outputs "$work/out"
# Lines per chromosome: every site (chr21: 30) or every site but one no chunk
# covers (chr22: 35), so that the comparison above is not one of empty files.
[ "$(zcat "$work/out/chr21.haps.gz" | wc -l)" -eq 30 ] || fail "chr21.haps.gz has not 30 lines"
[ "$(zcat "$work/out/chr22.haps.gz" | wc -l)" -eq 35 ] || fail "chr22.haps.gz has not 35 lines"
grep -q '^Writing haplotypes in' "$work/out/logs/chr22.log" ||
    fail "the log of chr22 does not hold seamline's progress lines"
# benchmark FILE: FILE is Snakemake's measure of a job, a header and one line.
benchmark() {
    [ -f "$1" ] || fail "no benchmark file $1"
    head -n 1 "$1" | grep -q $'^s\th:m:s\tmax_rss' || fail "$1 is not a benchmark file: $(cat "$1")"
    [ "$(wc -l <"$1")" -eq 2 ] || fail "$1 does not hold one measure: $(cat "$1")"
}
benchmark "$work/out/benchmarks/chr21.join.tsv"
benchmark "$work/out/benchmarks/chr22.join.tsv"
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
for chrom in chr21 chr22; do
    [ -s "$work/vcf/$chrom.vcf.gz.tbi" ] || fail "no index beside $chrom.vcf.gz"
    cmp <(bcftools query -f '[%GT ]\n' "$work/vcf/$chrom.vcf.gz" | sed 's/|/ /g; s/ $//') \
        <(zcat "$work/direct/$chrom.haps.gz" | cut -d' ' -f6-) >/dev/null ||
        fail "$chrom.vcf.gz does not hold the direct run's haplotypes"
    head -n 1 "$work/vcf/$chrom.report.tsv" | grep -q $'^left\tright\tsample' ||
        fail "$chrom.report.tsv does not begin with the report's header"
done

# --- The scattered join: the same outputs from the jobs of every step.
# The jobs of chr21 (three chunks) and chr22 (four), as CHROM.STEP[.PART].
jobs=(chr21.{plan,boundary.2,boundary.3,fold,stretch.1,stretch.2,stretch.3,gather}
    chr22.{plan,boundary.2,boundary.3,boundary.4,fold,stretch.1,stretch.2,stretch.3,stretch.4,gather})
workflow --cores 2 --config "${settings[@]}" outdir="$work/scatter" scatter=true \
    >"$work/scatter.log" 2>&1 ||
    fail "the scattered workflow failed on the example:
$(tail -n 30 "$work/scatter.log")"
same_outputs "$work/scatter" same_content
for job in "${jobs[@]}"; do
    benchmark "$work/scatter/benchmarks/$job.tsv"
    [ -f "$work/scatter/logs/$job.log" ] || fail "the job $job left no log"
done
[ ! -e "$work/scatter/scatter" ] ||
    fail "the work files outlived the gather: $(find "$work/scatter/scatter")"
workflow --cores 2 --config "${settings[@]}" outdir="$work/scatter" scatter=true \
    >"$work/scatter-rerun.log" 2>&1 ||
    fail "a second scattered run failed: $(tail -n 20 "$work/scatter-rerun.log")"
grep -q 'Nothing to be done' "$work/scatter-rerun.log" ||
    fail "a second scattered run did work again (its work files are gone):
$(cat "$work/scatter-rerun.log")"
echo "the scattered workflow writes the one job's outputs; a second run finds nothing to do"

# VCF output with its index, and the report: the one job's files moved aside,
# the scattered run writes to the same paths (which the VCF header records);
# the same text, and region queries through the index (regions across the
# chunks' overlaps) give the same records.
mv "$work/vcf" "$work/vcf-one"
workflow --cores 2 --config "${settings[@]}" outdir="$work/vcf" extension=.vcf.gz report=true \
    scatter=true >"$work/vcf-scatter.log" 2>&1 ||
    fail "the scattered workflow failed with VCF output: $(tail -n 20 "$work/vcf-scatter.log")"
for chrom in chr21 chr22; do
    for file in $chrom.vcf.gz $chrom.sample $chrom.report.tsv; do
        same_content "$work/vcf-one/$file" "$work/vcf/$file" ||
            fail "the scattered run's $file differs from the one job's"
    done
    [ -s "$work/vcf/$chrom.vcf.gz.tbi" ] || fail "no index beside the scattered $chrom.vcf.gz"
done
for region in 21:14003000-14008000 22:14004000-14013000 22:14012900-14020000; do
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
dry_run report report=true threads=2 extension=.vcf.gz
expect report "--report $work/dry/chr21.report.tsv"
expect report "--threads 2 --output $work/dry/chr21.vcf.gz $work/dry/chr21.sample"
# Scattered: each step's command takes the run's options, its own --threads,
# and the work folder of its chromosome.
dry_run scatter scatter=true report=true
for job in plan:2 boundary:5 fold:2 stretch:7 gather:2; do
    grep -qE "^${job%:*} +${job#*:}( |\$)" "$scratch/scatter" ||
        fail "the scattered dry run does not plan ${job#*:} jobs ${job%:*}: $(cat "$scratch/scatter")"
done
if grep -qE '^join ' "$scratch/scatter"; then fail "the scattered dry run plans joins"; fi
expect scatter "--step plan --work $work/dry/scatter/chr21 --vcf $example/chr21/sites.vcf --chunks"
expect scatter "--step boundary --part 4 --work $work/dry/scatter/chr22 --vcf"
expect scatter "--step stretch --part 1 --work $work/dry/scatter/chr22 --vcf"
expect scatter "--report $work/dry/chr21.report.tsv --threads 2 --output $work/dry/chr21.haps.gz"
expect scatter "--step gather --work $work/dry/scatter/chr22 --vcf"
# A chromosome of one chunk has no boundary.
printf 'chromosomes:\n  c: {sites: chr22/sites.vcf.gz, chunks: chr22/part1.haps.bz2}\n' \
    >"$scratch/one-chunk.yaml"
snake --directory "$work/run" --dry-run --cores 2 --configfile "$scratch/one-chunk.yaml" \
    --config "${settings[@]}" outdir="$work/dry" scatter=true >"$scratch/one-chunk" 2>&1 ||
    fail "the scattered dry run of one chunk failed: $(tail -n 20 "$scratch/one-chunk")"
if ! grep -qE '^stretch +1( |$)' "$scratch/one-chunk" || grep -qE '^boundary ' "$scratch/one-chunk"; then
    fail "one chunk does not make one stretch and no boundary: $(cat "$scratch/one-chunk")"
fi
dry_run noflip flip=false scaffold=
if grep -qE -- '--flip|--scaffold' "$scratch/noflip"; then
    fail "flip=false scaffold= still pass --flip or --scaffold: $(grep -- --flip "$scratch/noflip")"
fi
# A path that begins with '-' would be read as an option by seamline.
mkdir -p "$scratch/dash"
cp "$example"/chr22/* "$scratch/dash/"
mv "$scratch/dash/part3.haps" "$scratch/dash/-part3.haps"
cat >"$scratch/dash.yaml" <<EOF
chromosomes:
  chr22: {sites: sites.vcf.gz, chunks: ["-part3.haps", "part[124].*"]}
EOF
snake --directory "$scratch/dash" --dry-run --printshellcmds --cores 1 \
    --configfile "$scratch/dash.yaml" --config seamline="$bin" flip=true >"$scratch/dash.log" 2>&1 ||
    fail "the dry run with a chunk file named -part3.haps failed: $(cat "$scratch/dash.log")"
expect dash.log "--chunks ./-part3.haps part1.haps.bz2 part2.haps.gz part4.haps.gz --flip"

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
no chunks|  c: {sites: chr22/sites.vcf.gz}||chromosome c: give 'sites' (the site map) and 'chunks'
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

# A seamline that fails (here: rows with exchanged alleles, without --flip)
# fails its job, in one job or in a scattered join; the end of its log comes
# out on standard error.
for scatter in false true; do
    if workflow --cores 2 --config "${settings[@]}" outdir="$work/noflip" flip=false \
        scatter=$scatter >"$scratch/noflip-$scatter.log" 2>&1; then
        fail "the workflow (scatter: $scatter) succeeded although seamline failed"
    fi
    grep -q 'Not found = ' "$scratch/noflip-$scatter.log" ||
        fail "seamline's message is not shown: $(cat "$scratch/noflip-$scatter.log")"
    [ ! -e "$work/noflip/chr21.haps.gz" ] || fail "a failed join (scatter: $scatter) left an output"
    rm -rf "$work/noflip"
done

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
(bash "${!#}" >"$dir/$id.out" 2>&1; echo $? >"$dir/$id.status") </dev/null >/dev/null 2>&1 &
echo "$id"
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
grep -qE '^join +2( |$)' "$scratch/dry.log" ||
    fail "the dry run with the SLURM profile does not plan two joins: $(cat "$scratch/dry.log")"
[ ! -e "$FAKE_SLURM_DIR/sbatch-called" ] || fail "the dry run called sbatch"
echo "the SLURM profile parses; its dry run plans two joins and calls no sbatch"

# snakemake checks a cluster's jobs every 10 s, every second when CI=true.
CI=true PATH=$fakes:$PATH workflow --profile "$profile" \
    --config "${settings[@]}" outdir="$work/cluster" threads=2 >"$work/cluster.log" 2>&1 ||
    fail "the run through the SLURM profile failed: $(tail -n 30 "$work/cluster.log")"
same_outputs "$work/cluster"
for chrom in chr21 chr22; do
    args=$(grep -lx -- "--job-name=seamline-$chrom" "$FAKE_SLURM_DIR"/*.args) ||
        fail "no job was submitted for $chrom"
    for expected in --parsable --cpus-per-task=2 --mem=500M --time=10; do
        grep -qx -- "$expected" "$args" || fail "sbatch for $chrom lacks $expected: $(cat "$args")"
    done
    grep -q -- "--threads 2 " "${args%.args}.out" ||
        fail "the job of $chrom did not pass --threads 2: $(cat "${args%.args}.out")"
done
[ "$(find "$FAKE_SLURM_DIR" -name '*.args' | wc -l)" -eq 2 ] || fail "not two jobs submitted"
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
    --configfile "$example/config.yaml" "$scratch/steps.yaml" \
    --config "${settings[@]}" outdir="$work/cluster-scatter" scatter=true \
    >"$work/cluster-scatter.log" 2>&1 ||
    fail "the scattered run through the SLURM profile failed: $(tail -n 30 "$work/cluster-scatter.log")"
same_outputs "$work/cluster-scatter" same_content
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
    for expected in --job-name=seamline-"$chrom" --output="logs/slurm/$step-$chrom-%j.log" \
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
