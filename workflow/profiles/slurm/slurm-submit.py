#!/usr/bin/env python3
"""Submits a job script with sbatch and prints the job id, as snakemake's
cluster command must; the arguments are sbatch's, the job script last.

Every job it submits is noted beside the snakemake run that asked for it
(under .snakemake/seamline-slurm/ in the working directory), and a watcher,
started with the run's first job, cancels with scancel every job of the run
that has not ended once snakemake has exited, however it exited. Snakemake
cancels its jobs itself on Ctrl-C, but not in every state it may be in
(while it submits a job, asks how one stands, or handles one that ended),
and not when it is killed; the watcher covers those.

Ctrl-C in the terminal reaches every process of snakemake's group: this
script ignores it, and sbatch runs in a session of its own, so that a job
that SLURM has accepted is always noted."""
import os
import re
import signal
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import slurmjobs  # noqa: E402


def make_output_folders(arguments):
    """The folders of --output=FILE and --error=FILE, which sbatch does not make."""
    for argument in arguments:
        match = re.match(r"--(output|error)=(.*)", argument)
        folder = os.path.dirname(match.group(2)) if match else ""
        if folder:
            os.makedirs(folder, exist_ok=True)


def main():
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    arguments = sys.argv[1:]
    if not arguments:
        sys.exit("usage: slurm-submit.py SBATCH-ARGUMENT... JOBSCRIPT")
    make_output_folders(arguments)
    run = slurmjobs.Run.of_snakemake()
    with run.submitting():
        run.start_watcher()
        done = subprocess.run(["sbatch"] + arguments, stdout=subprocess.PIPE,
                              start_new_session=True)
        lines = done.stdout.decode(errors="replace").splitlines()
        job = lines[0].split(";")[0].strip() if lines else ""
        if done.returncode == 0 and job:
            run.note("submitted", job)
    try:
        sys.stdout.write(done.stdout.decode(errors="replace"))
        sys.stdout.flush()
    except BrokenPipeError:
        # Snakemake was interrupted meanwhile; the job is noted, and the
        # watcher cancels it.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    sys.exit(done.returncode)


if __name__ == "__main__":
    main()
