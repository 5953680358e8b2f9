#!/usr/bin/env python3
"""What a whole Mendrix run costs in time and in bytes written, next to the floor.

    durable_bench.py [options] NAME=OLD,NEW[,PATCH] ...

For every pair (OLD and NEW two files, or two directories) it reports:
  - run: the wall time of `mendrix PATCH target </dev/null`, best of --runs
    runs, each on a fresh copy of OLD (written out by `sync` before the run,
    so that the run's durable batch pays only for what the run writes; its
    page cache is warm, as are the patch's and the program's);
  - batch: the time of the durable batch (syncfs, or fdatasync where syncfs
    fails) and the time up to it, from --strace-runs more runs under
    `strace -f --seccomp-bpf -ttt -T` (only the traced calls stop, so the
    run is barely slowed): "up to batch" is from the execve of mendrix to
    the start of the first syncfs; "after" is the renames, the directory
    fsyncs and the exit. The median batch and the fastest "up to batch" are
    kept;
  - written: the child's ru_oublock from wait4, in bytes (512 a block). The
    kernel counts a page when the process makes it dirty, whether or not it
    reaches the disk later, so work files deleted before any flush count too.
    Beside it: /proc/PID/io's cancelled_write_bytes (dirty pages dropped
    unwritten because their file was deleted or cut), read while the process
    is a zombie (waitid WNOWAIT), and the bytes the disk device took while
    the run lasted (/proc/diskstats: data, journal and metadata, of every
    process; the machine should be idle);
  - the floor, best of --runs + --strace-runs, taken in turn with the
    program's runs: `cat OLD >/dev/null` and `cp NEW x` (for a
    tree: cat of every old file, and cp of every changed new file into a
    fresh directory), timed without and with a following `sync -f x` (one
    syncfs of x's file system, the call mendrix's batch makes; a plain
    `sync` would also write out whatever other programs left dirty on other
    file systems);
  - result: the bytes of the changed results (NEW's size, or for a tree the
    sizes of the new files that differ from the old ones or are new).
and checks three targets: written <= 1.1 x result, up to batch <= 2 x the
floor without sync, run <= 1.5 x the floor with sync.

PATCH defaults to WORK/NAME.pat, made by mendrix-make when it is missing or
older than OLD, NEW or mendrix-make. Every run's result is compared with NEW;
a mismatch stops the script. Prints a Markdown table on standard output and
progress on standard error; --json FILE keeps every measurement.

Options: --build DIR (mendrix, mendrix-make; default build/ of this
repository), --work DIR (scratch, on the file system to measure; default
/tmp/durable-bench), --runs N (5), --strace-runs N (3), --keep, --quiet-wait
S (before each timed run, wait up to S seconds, 120 by default, until the
processor is at least 90% idle: other work on the machine skews the figures),
--nice N (the timed programs run at this niceness change; -20 by default as
root), --settle S (sleep S seconds, 5 by default, before each timed
program), --ready-memory F (then write into and free F times the result's
size of memory, 2 by default, just before the timed program starts). These
matter on a virtual machine whose balloon device reports free memory to the
host (virtio-balloon free page reporting, as on the build machines here:
memory freed is reported within seconds): memory handed back to the host
costs a fault in the host at the first write into each of its pages, so
how fast a large file is written depends on which memory the page cache is
given, and so on what the machine did in the seconds before (a cp of 1.5
GiB took 0.37 to 0.45 s right after a file of that size was removed, 0.78
to 1.07 s when it started 5 s later, 1.34 to 2.17 s after another copy of
that size was made as well). Writing into the memory just before each
timed program gives both the floor and the program memory the host has
backed, as on a machine without a balloon. Besides, the floor is not
measured first and the program after: the two run in turn, a floor before
each run of the program, each after the same steps (a file of the
result's size written: the copy of OLD for the program's next run, or the
floor's copy; the other one's output removed; sync, warm, wait, rest), and
the best of each counts. On a machine
that others use, put WORK on a file system of its own (a loop-mounted ext4
image, say): syncfs then writes out only this run's data, not the other
programs' dirty pages.
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def log(message):
    print(message, file=sys.stderr, flush=True)


def device_of(path):
    """(major, minor) of the block device holding path."""
    st = os.stat(path)
    return os.major(st.st_dev), os.minor(st.st_dev)


def disk_written_bytes(device):
    """Sectors written to the whole device (or its partition), in bytes."""
    major, minor = device
    with open("/proc/diskstats") as stats:
        for line in stats:
            fields = line.split()
            if int(fields[0]) == major and int(fields[1]) == minor:
                return int(fields[9]) * 512
    return 0


def cpu_busy(window=0.25):
    """Share of the machine's processor time not idle over window seconds."""
    def sample():
        with open("/proc/stat") as f:
            values = [int(v) for v in f.readline().split()[1:]]
        return sum(values), values[3] + values[4]  # idle + iowait
    total0, idle0 = sample()
    time.sleep(window)
    total1, idle1 = sample()
    return 1 - (idle1 - idle0) / max(1, total1 - total0)


def wait_for_quiet(limit, threshold=0.10):
    """Waits up to limit seconds for a quiet machine; returns the last busy share."""
    deadline = time.monotonic() + limit
    while True:
        busy = cpu_busy()
        if busy <= threshold or time.monotonic() >= deadline:
            return busy
        time.sleep(1)


NICE = 0  # priority change of the timed programs (--nice)


def spawn(argv, stdout=None, cwd=None):
    """Runs argv with standard input from /dev/null, its output to the
    descriptor stdout (default /dev/null). Returns a dict: wall
    seconds, rusage figures, /proc/PID/io of the zombie; raises on failure."""
    devnull = os.open(os.devnull, os.O_RDONLY)
    out = stdout if stdout is not None else os.open(os.devnull, os.O_WRONLY)
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        try:
            if NICE:
                try:
                    os.nice(NICE)
                except OSError:
                    pass
            if cwd:
                os.chdir(cwd)
            os.dup2(devnull, 0)
            os.dup2(out, 1)
            os.dup2(out, 2)
            os.execvp(argv[0], argv)
        finally:
            os._exit(127)
    os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
    wall = time.perf_counter() - start
    io = {}
    try:
        with open(f"/proc/{pid}/io") as f:
            for line in f:
                key, value = line.split(":")
                io[key] = int(value)
    except OSError:
        pass
    _, status, usage = os.wait4(pid, 0)
    os.close(devnull)
    if stdout is None:
        os.close(out)
    if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
        raise RuntimeError(f"failed ({status}): {' '.join(argv)[:300]}")
    return {
        "wall": wall,
        "cpu": usage.ru_utime + usage.ru_stime,
        "oublock_bytes": usage.ru_oublock * 512,
        "maxrss_kib": usage.ru_maxrss,
        "write_bytes": io.get("write_bytes"),
        "cancelled_write_bytes": io.get("cancelled_write_bytes"),
    }


def run(argv, **kwargs):
    subprocess.run(argv, check=True, stdin=subprocess.DEVNULL, **kwargs)


def files_under(root):
    """Relative names of the regular files below root (links left out)."""
    found = []
    for directory, _, names in os.walk(root):
        for name in names:
            path = os.path.join(directory, name)
            if os.path.isfile(path) and not os.path.islink(path):
                found.append(os.path.relpath(path, root))
    return sorted(found)


def same_bytes(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def changed_files(old, new):
    """Relative names of the files of tree new that differ from tree old."""
    changed = []
    for name in files_under(new):
        o, n = os.path.join(old, name), os.path.join(new, name)
        if os.path.islink(n):
            continue
        if not os.path.isfile(o) or os.path.getsize(o) != os.path.getsize(n) or \
                not same_bytes(o, n):
            changed.append(name)
    return changed


def warm(paths):
    for path in paths:
        if os.path.isdir(path):
            for name in files_under(path):
                warm([os.path.join(path, name)])
        elif os.path.isfile(path):
            with open(path, "rb") as f:
                while f.read(1 << 20):
                    pass


def clear_directory(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def ready_memory(size):
    """Writes into size bytes of memory (at most half of what is available)
    and frees them, so that the program started right after finds that much
    free memory the host has backed (see --ready-memory in the header)."""
    with open("/proc/meminfo") as f:
        available = next(int(line.split()[1]) * 1024 for line in f
                         if line.startswith("MemAvailable:"))
    size = min(size, available // 2)
    if size <= 0:
        return
    block = bytearray(size)
    # A store into every page, whether or not bytearray zeroed them itself.
    block[::4096] = bytes(len(range(0, size, 4096)))
    del block


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


def same_result(target, new):
    if os.path.isdir(new):
        return subprocess.run(["diff", "-r", "--no-dereference", "-x", "Backup", target, new],
                              stdout=subprocess.DEVNULL).returncode == 0
    return same_bytes(target, new)


SYSCALL = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+(\w+)\((.*?)\)\s+=\s+(-?\d+).*<(\d+\.\d+)>\s*$")
EXIT = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+exit_group\(")


def parse_strace(path):
    """Start, first syncfs start, and the times of the calls of one traced run."""
    start = None
    end = None
    batch_start = None
    batch_end = None
    batch = 0.0
    dir_sync = 0.0
    renames = 0.0
    counts = {}
    with open(path) as f:
        for line in f:
            m = SYSCALL.match(line)
            if m:
                _, at, name, _, result, took = m.groups()
                at, took = float(at), float(took)
                counts[name] = counts.get(name, 0) + 1
                if name == "execve" and result == "0" and start is None:
                    start = at
                elif name in ("syncfs", "fdatasync"):
                    batch += took
                    if batch_start is None:
                        batch_start = at
                    batch_end = at + took
                elif name == "fsync":
                    dir_sync += took
                elif name.startswith("rename"):
                    renames += took
                continue
            m = EXIT.match(line)
            if m:
                end = float(m.group(2))
    if start is None or end is None or batch_start is None:
        raise RuntimeError(f"no execve, syncfs or exit_group in {path}")
    return {
        "up_to_batch": batch_start - start,
        "batch": batch,
        "after_batch": end - batch_end,
        "dir_fsync": dir_sync,
        "renames": renames,
        "traced_wall": end - start,
        "calls": counts,
    }


class Bench:
    def __init__(self, args):
        self.args = args
        build = os.path.abspath(args.build)
        self.mendrix = os.path.join(build, "mendrix")
        self.make = os.path.join(build, "mendrix-make")
        self.work = os.path.abspath(args.work)
        self.tmp = os.path.join(self.work, "tmp")
        os.makedirs(self.tmp, exist_ok=True)
        self.device = device_of(self.work)
        self.busy = []  # busy share of the machine before each timed run
        self.floor_out = None  # the floor's last copy, not yet removed
        for tool in ("strace", "cmp", "diff", "cp", "cat", "sync"):
            if not shutil.which(tool):
                sys.exit(f"durable_bench.py: {tool} is missing (apt-get install {tool})")

    def patch_for(self, name, old, new, patch):
        if patch:
            return os.path.abspath(patch)
        patch = os.path.join(self.work, name + ".pat")
        newest = max(os.path.getmtime(p) for p in (old, new, self.make))
        if not os.path.exists(patch) or os.path.getmtime(patch) < newest:
            log(f"{name}: mendrix-make")
            run([self.make, "-quiet", patch, old, new], stdout=subprocess.DEVNULL)
        return patch

    def floor_commands(self, old, new, changed):
        out = os.path.join(self.work, "floor")
        if os.path.isdir(old):
            old_files = [os.path.join(old, f) for f in files_under(old)]
            cat = ["sh", "-c", 'exec cat "$@" >/dev/null', "cat"] + old_files
            copy = ["sh", "-c", 'cd "$1" && shift && exec cp --parents -- "$@" "$OUT"', "cp",
                    new] + changed
        else:
            cat = ["sh", "-c", 'exec cat "$1" >/dev/null', "cat", old]
            copy = ["cp", new, out]
        return out, cat, copy

    def floor_once(self, old, new, changed, floor):
        """One cat + cp, and the same with sync, added to floor."""
        out, cat, copy = self.floor_commands(old, new, changed)
        # Memory freed just before, as the program's run gets (fresh_target):
        # the previous run's result.
        remove(out)
        remove(os.path.join(self.work, "target"))
        if os.path.isdir(old):
            os.makedirs(out)
        run(["sync"])
        warm([old, new])
        os.environ["OUT"] = out
        self.busy.append(wait_for_quiet(self.args.quiet_wait))
        self.settle()
        t_cat = spawn(cat)["wall"]
        c = spawn(copy)
        t_sync = spawn(["sync", "-f", out])["wall"]
        floor["floor_runs"].append(t_cat + c["wall"])
        floor["floor_sync_runs"].append(t_cat + c["wall"] + t_sync)
        floor["cp_written"] = c["oublock_bytes"]
        # The copy stays until the next run of the program is prepared.
        self.floor_out = out

    def end_floor(self):
        if self.floor_out:
            remove(self.floor_out)
            self.floor_out = None

    def settle(self):
        """Rest (--settle), then memory made ready for the timed program."""
        time.sleep(self.args.settle)
        ready_memory(int(self.args.ready_memory * self.result_bytes))

    def copy_old(self, old):
        """The copy of OLD the next run will patch, made before that round's
        floor: so each of the two timed commands comes after the same steps,
        a copy of the result's size made (the floor's or this one), another
        removed, sync, warm, wait. Made between the floor and the run, as it
        was before, it left the run with less of the memory just freed than
        the floor had (see "Memory made ready" in the README)."""
        fresh = os.path.join(self.work, "target.fresh")
        remove(fresh)
        clear_directory(self.tmp)
        if os.path.isdir(old):
            run(["cp", "-a", old, fresh])
        else:
            run(["cp", "--preserve=timestamps", old, fresh])

    def fresh_target(self, patch):
        # The floor's copy is removed just before the run, as the program's
        # previous result was before the floor (see floor_once).
        target = os.path.join(self.work, "target")
        remove(target)
        self.end_floor()
        os.rename(target + ".fresh", target)
        run(["sync"])
        warm([target, patch, self.mendrix])
        return target

    def apply_runs(self, name, old, new, patch, changed, floor):
        env_tmp = os.environ.get("TMPDIR")
        os.environ["TMPDIR"] = self.tmp
        runs = []
        try:
            for _ in range(self.args.runs):
                self.copy_old(old)
                self.floor_once(old, new, changed, floor)
                target = self.fresh_target(patch)
                busy = wait_for_quiet(self.args.quiet_wait)
                self.busy.append(busy)
                self.settle()
                before = disk_written_bytes(self.device)
                r = spawn([self.mendrix, patch, target])
                r["busy_before"] = busy
                r["disk_bytes"] = disk_written_bytes(self.device) - before
                if not same_result(target, new):
                    sys.exit(f"durable_bench.py: the result of {patch} differs from {new}")
                runs.append(r)
            traced = []
            for i in range(self.args.strace_runs):
                self.copy_old(old)
                self.floor_once(old, new, changed, floor)
                target = self.fresh_target(patch)
                trace = os.path.join(self.work, f"{name}.strace.{i}.txt")
                self.busy.append(wait_for_quiet(self.args.quiet_wait))
                self.settle()
                spawn(["strace", "-f", "--seccomp-bpf", "-ttt", "-T", "-o", trace, "-e",
                       "trace=execve,syncfs,fsync,fdatasync,rename,renameat,renameat2,"
                       "exit_group", self.mendrix, patch, target])
                if not same_result(target, new):
                    sys.exit(f"durable_bench.py: the traced result of {patch} differs")
                traced.append(parse_strace(trace))
            remove(os.path.join(self.work, "target"))
            self.end_floor()
            run(["sync"])
        finally:
            if env_tmp is None:
                os.environ.pop("TMPDIR", None)
            else:
                os.environ["TMPDIR"] = env_tmp
        return runs, traced

    def pair(self, name, old, new, patch):
        old, new = os.path.abspath(old), os.path.abspath(new)
        patch = self.patch_for(name, old, new, patch)
        if os.path.isdir(new):
            changed = changed_files(old, new)
            result = sum(os.path.getsize(os.path.join(new, f)) for f in changed)
        else:
            changed = []
            result = os.path.getsize(new)
        self.result_bytes = result
        log(f"{name}: floor and mendrix runs, in turn")
        floor = {"floor_runs": [], "floor_sync_runs": [], "cp_written": 0}
        runs, traced = self.apply_runs(name, old, new, patch, changed, floor)
        floor["floor"] = min(floor["floor_runs"])
        floor["floor_sync"] = min(floor["floor_sync_runs"])
        best = min(runs, key=lambda r: r["wall"])
        batch = statistics.median(t["batch"] for t in traced)
        up_to = min(t["up_to_batch"] for t in traced)
        after = statistics.median(t["after_batch"] for t in traced)
        return {
            "name": name, "result": result, "changed_files": len(changed) or 1,
            "patch": os.path.getsize(patch), "runs": runs, "traced": traced,
            "run": best["wall"], "cpu": best["cpu"], "written": best["oublock_bytes"],
            "written_max": max(r["oublock_bytes"] for r in runs),
            "cancelled": best["cancelled_write_bytes"], "disk": best["disk_bytes"],
            "batch": batch, "up_to_batch": up_to, "after_batch": after,
            "wall_minus_batch": best["wall"] - batch, **floor,
        }


def table(results):
    lines = [
        "| pair | result bytes | written bytes (÷ result) | of it dropped unwritten | disk took | "
        "run s | up to batch s | batch s | after batch s | floor s (cat + cp) | "
        "floor + sync s | up to batch ÷ floor | run ÷ floor + sync |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in results:
        ratio_w = r["written_max"] / r["result"]
        ratio_u = r["up_to_batch"] / r["floor"]
        ratio_r = r["run"] / r["floor_sync"]
        mark = lambda ok: "" if ok else " **over**"
        lines.append(
            f"| {r['name']} | {r['result']:,} | "
            f"{r['written_max']:,} ({ratio_w:.3f}{mark(ratio_w <= 1.1)}) | "
            f"{r['cancelled'] or 0:,} | {r['disk']:,} | {r['run']:.3f} | {r['up_to_batch']:.3f} | "
            f"{r['batch']:.3f} | {r['after_batch']:.3f} | {r['floor']:.3f} | "
            f"{r['floor_sync']:.3f} | {ratio_u:.2f}{mark(ratio_u <= 2)} | "
            f"{ratio_r:.2f}{mark(ratio_r <= 1.5)} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "..", "build"))
    parser.add_argument("--work", default="/tmp/durable-bench")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--strace-runs", type=int, default=3)
    parser.add_argument("--quiet-wait", type=float, default=120,
                        help="seconds to wait before each timed run for the other "
                             "processes' load to drop under 10%% (default 120)")
    parser.add_argument("--nice", type=int, default=-20 if os.geteuid() == 0 else 0,
                        help="niceness change of the timed programs (default -20 as "
                             "root: ahead of other work on the machine)")
    parser.add_argument("--settle", type=float, default=5,
                        help="seconds to rest before each timed program (default 5)")
    parser.add_argument("--ready-memory", type=float, default=2,
                        help="after the rest, write into and free this many times the "
                             "result's size of memory just before each timed program "
                             "(default 2; 0: not at all; see above)")
    parser.add_argument("--json")
    parser.add_argument("--keep", action="store_true", help="keep WORK (patches, traces)")
    parser.add_argument("pairs", nargs="+", metavar="NAME=OLD,NEW[,PATCH]")
    args = parser.parse_args()
    global NICE
    NICE = args.nice
    bench = Bench(args)
    results = []
    try:
        for pair_arg in args.pairs:
            name, _, paths = pair_arg.partition("=")
            parts = paths.split(",")
            if len(parts) not in (2, 3):
                sys.exit(f"durable_bench.py: bad pair {pair_arg}")
            results.append(bench.pair(name, parts[0], parts[1],
                                      parts[2] if len(parts) == 3 else None))
            if args.json:
                with open(args.json, "w") as f:
                    json.dump(results, f, indent=1)
    finally:
        if not args.keep:
            shutil.rmtree(bench.work, ignore_errors=True)
    print(table(results))
    if bench.busy:
        log(f"machine busy before the timed runs: at most {max(bench.busy):.0%}, "
            f"median {statistics.median(bench.busy):.0%}")


if __name__ == "__main__":
    main()
