"""The jobs that one snakemake run submitted to SLURM, noted in a folder of
the run's own, and the watcher that cancels those that have not ended once
snakemake has exited.

The folder is .snakemake/seamline-slurm/PID-START in the working directory,
PID and START being snakemake's process id and start time, so that two runs
never share one. It holds `submitted` and `ended` (job ids, one a line),
`lock` (held shared by each submission, and taken whole by the watcher,
which so waits for a submission under way) and `watcher` (made by the one
submission that starts the watcher). The watcher removes the folder when it
is done."""
import contextlib
import fcntl
import os
import shutil
import subprocess
import sys
import time

SHELLS = {"sh", "bash", "dash", "zsh", "ksh"}
# Job ids per scancel call, and how long one may take.
CANCEL_BATCH = 100
CANCEL_TIMEOUT = 120


def process(pid):
    """The command name, parent and start time of a process, or None."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            text = stat.read()
    except OSError:
        return None
    # The name stands in parentheses and may hold spaces or parentheses.
    name = text[text.index("(") + 1:text.rindex(")")]
    fields = text[text.rindex(")") + 2:].split()
    return name, int(fields[1]), fields[19]


class Run:
    def __init__(self, pid, start):
        self.pid, self.start = pid, start
        self.folder = os.path.join(".snakemake", "seamline-slurm", "%d-%s" % (pid, start))

    @classmethod
    def of_snakemake(cls):
        """The run of the snakemake that runs this script: the first of its
        ancestors that is not a shell (snakemake runs its cluster commands
        through one)."""
        pid = os.getppid()
        while True:
            found = process(pid)
            if found is None:
                return cls(os.getppid(), "unknown")
            name, parent, start = found
            if name not in SHELLS or parent <= 1:
                return cls(pid, start)
            pid = parent

    def alive(self):
        found = process(self.pid)
        if found is None:
            return self.start == "unknown" and pid_exists(self.pid)
        return found[2] == self.start

    def path(self, name):
        return os.path.join(self.folder, name)

    @contextlib.contextmanager
    def submitting(self):
        os.makedirs(self.folder, exist_ok=True)
        with open(self.path("lock"), "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_SH)
            yield

    def note(self, kind, job):
        """Adds a job id to `submitted` or `ended`; ended jobs of a folder
        that does not exist (no job of this run noted) are not noted."""
        if kind != "submitted" and not os.path.isdir(self.folder):
            return
        fd = os.open(self.path(kind), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        try:
            os.write(fd, (job + "\n").encode())
        finally:
            os.close(fd)

    def start_watcher(self):
        """Starts the watcher unless a submission before has."""
        try:
            os.mkdir(self.path("watcher"))
        except FileExistsError:
            return
        with open(os.devnull, "r+b") as null:
            subprocess.Popen([sys.executable, os.path.abspath(__file__), "watch",
                              os.path.abspath(self.folder), str(self.pid), self.start],
                             stdin=null, stdout=null, stderr=null, start_new_session=True,
                             close_fds=True)

    def jobs(self, kind):
        try:
            with open(self.path(kind)) as f:
                return [line.strip() for line in f if line.strip()]
        except OSError:
            return []

    def watch(self):
        """Waits for snakemake to exit, then for the submissions under way;
        cancels the jobs that have not ended and removes the folder."""
        while self.alive():
            time.sleep(1)
        with open(self.path("lock"), "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            ended = set(self.jobs("ended"))
            left = [job for job in dict.fromkeys(self.jobs("submitted")) if job not in ended]
            for i in range(0, len(left), CANCEL_BATCH):
                # A job that ended meanwhile makes scancel complain; the
                # others are cancelled all the same.
                try:
                    subprocess.run(["scancel"] + left[i:i + CANCEL_BATCH],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, timeout=CANCEL_TIMEOUT)
                except (OSError, subprocess.TimeoutExpired):
                    pass
        shutil.rmtree(self.folder, ignore_errors=True)


def pid_exists(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "watch":
        run = Run(int(sys.argv[3]), sys.argv[4])
        run.folder = sys.argv[2]
        run.watch()
