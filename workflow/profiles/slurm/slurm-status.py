#!/usr/bin/env python3
"""Tells snakemake how a SLURM job stands: prints success, failed or running
for the job id given (as `sbatch --parsable` printed it).

sacct answers for jobs that have ended; scontrol for a job that sacct does not
know yet. When neither can answer (a busy controller), the job counts as
running and snakemake asks again; only a job that SLURM does not know at all
counts as failed. A job that has ended is noted as such for the watcher of
slurm-submit.py. The script always exits with status 0, since snakemake
stops the whole run when a status command fails; that holds too when snakemake
has gone (an interrupted run) and nobody reads the answer."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import slurmjobs  # noqa: E402

SUCCESS = {"COMPLETED"}
FAILED = {"BOOT_FAIL", "CANCELLED", "DEADLINE", "FAILED", "NODE_FAIL", "OUT_OF_MEMORY",
          "PREEMPTED", "REVOKED", "TIMEOUT"}


def status_of(state):
    if state in SUCCESS:
        return "success"
    if state in FAILED:
        return "failed"
    return "running"


def run(command):
    """The command's output (standard output and error) and whether it succeeded."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return "", False
    return done.stdout + done.stderr, done.returncode == 0


def state_from_sacct(job):
    """The job's State in sacct, None when no line of sacct's names the job."""
    # One line per job allocation (-X), e.g. "77|COMPLETED" or
    # "77|CANCELLED by 1000". sacct may exit 0 having printed only a message
    # ("sacct: warning: ..."), so only a line whose JobID is the job's counts.
    text, ok = run(["sacct", "-j", job, "-X", "--noheader", "--parsable2",
                    "--format=JobID,State"])
    for line in text.splitlines() if ok else []:
        fields = line.split("|")
        if len(fields) == 2 and fields[0] == job:
            words = fields[1].split()
            if words:
                return words[0].rstrip("+")
    return None


def state_from_scontrol(job):
    """The JobState of `scontrol show job`, "unknown" when SLURM does not know
    the job, None when scontrol gave no answer."""
    text, ok = run(["scontrol", "show", "job", "--oneliner", job])
    for word in text.split():
        if word.startswith("JobState="):
            return word[len("JobState="):]
    return "unknown" if "Invalid job id" in text else None


def answer(text):
    """Prints text; says nothing when the reader has closed the pipe."""
    try:
        print(text, flush=True)
    except BrokenPipeError:
        # The unwritten answer stays in stdout's buffer, and Python would fail
        # again flushing it at exit; point stdout at /dev/null so that flush
        # succeeds.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: slurm-status.py JOBID")
    job = sys.argv[1].split(";")[0]  # --parsable may append ";cluster"
    state = state_from_sacct(job) or state_from_scontrol(job)
    status = "failed" if state == "unknown" else status_of(state) if state else "running"
    if status != "running":
        # An ended job needs no cancelling when snakemake has exited.
        slurmjobs.Run.of_snakemake().note("ended", job)
    answer(status)


if __name__ == "__main__":
    main()
