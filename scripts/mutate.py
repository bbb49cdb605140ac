#!/usr/bin/env python3
"""Mutation testing of the library: does the suite notice a single wrong change?

Applies the changes of a catalogue (scripts/mutants.ini) to the library one
at a time, rebuilds incrementally, runs the suite with a time limit and
reports each change as killed (a test failed), timed out (a test or the run
hung: detected too), survived (every test passed: a hole, unless the change
is marked equivalent), build failed or not applicable (its text is no longer
found exactly once: refresh the entry).

The working tree is never changed: the tracked and untracked (not ignored)
files are mirrored into build/mutate/w0/src, changed there and rebuilt in
build/mutate/w0/build (tests and tools on, fuzzers, benchmarks and the
GStreamer element off, warnings not errors). An interrupted run leaves at
most that copy changed, and the next run puts it right. Tests run in their
own IPC and mount namespaces when the machine allows it (root, unshare), with
a private /tmp: a killed test leaves no shared-memory segment or temporary
folder behind.

    scripts/mutate.py                 every entry, one after the other
    scripts/mutate.py --list          the catalogue and whether each entry applies
    scripts/mutate.py fmt-tag-near-miss gate-hold-wait
    scripts/mutate.py --file FrameFormat --kind compare
    scripts/mutate.py --ctest "-R Frame" --timeout 20

Takes roughly a quarter of a minute to a minute per change on two cores (a
change to a header rebuilds everything); not part of .ci/run.
"""

import argparse
import configparser
import datetime
import fnmatch
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_CATALOGUE = ROOT / "scripts" / "mutants.ini"
KINDS = ("compare", "bound", "andor", "store", "advance", "mask", "limit", "wait", "negate")
ENTRY_KEYS = {"file", "kind", "from", "to", "why", "equivalent", "hole"}

# Outcomes. Detected: killed, timeout. Excluded from the score: build-failed,
# not-applicable, equivalent (not run unless asked), error (the harness, not
# the change, went wrong: see the log).
KILLED, SURVIVED, TIMEOUT = "killed", "survived", "timeout"
BUILD_FAILED, NOT_APPLICABLE, EQUIVALENT, ERROR = "build-failed", "not-applicable", "equivalent", "error"


# ---------------------------------------------------------------------------
# Catalogue.

@dataclass
class Entry:
    id: str
    file: str
    kind: str
    original: str
    replacement: str
    why: str
    equivalent: str = ""  # reason, when the change cannot alter behaviour
    hole: str = ""        # a survivor the suite is known to miss today

    def pattern(self):
        """The original text as a pattern: any run of white space matches any
        other, and an identifier at either end must not continue a longer
        one (kNodePauseMargin = 5 is not kNodePauseMargin = 50)."""
        words = self.original.split()
        body = r"\s+".join(re.escape(w) for w in words)
        if re.match(r"\w", self.original.lstrip()):
            body = r"(?<![\w])" + body
        if re.search(r"\w$", self.original.rstrip()):
            body = body + r"(?![\w])"
        return re.compile(body)


def load_catalogue(path):
    parser = configparser.RawConfigParser(delimiters=("=",), comment_prefixes=("#",),
                                          inline_comment_prefixes=None, strict=True,
                                          empty_lines_in_values=False)
    parser.optionxform = str  # keys as written
    with open(path, encoding="utf-8") as f:
        parser.read_file(f)
    entries, problems = [], []
    for section in parser.sections():
        values = dict(parser.items(section))
        unknown = set(values) - ENTRY_KEYS
        missing = {"file", "kind", "from", "to", "why"} - set(values)
        if unknown or missing:
            problems.append(f"[{section}]: unknown keys {sorted(unknown)}, missing keys {sorted(missing)}")
            continue
        # A replacement may be empty (a deleted store); "<nothing>" says so visibly.
        to = "" if values["to"].strip() == "<nothing>" else values["to"]
        e = Entry(section, values["file"].strip(), values["kind"].strip(), values["from"], to,
                  " ".join(values["why"].split()), " ".join(values.get("equivalent", "").split()),
                  " ".join(values.get("hole", "").split()))
        if e.kind not in KINDS:
            problems.append(f"[{section}]: kind {e.kind!r} is not one of {', '.join(KINDS)}")
        if not e.original.strip():
            problems.append(f"[{section}]: empty 'from'")
        entries.append(e)
    return entries, problems


def apply_entry(entry, text):
    """(mutated text, None) or (None, reason the entry does not apply)."""
    matches = list(entry.pattern().finditer(text))
    if len(matches) != 1:
        return None, f"'from' found {len(matches)} times, must be exactly once"
    m = matches[0]
    mutated = text[:m.start()] + entry.replacement + text[m.end():]
    if mutated == text:
        return None, "the replacement is the original text"
    return mutated, None


def check_entries(entries, root):
    """Maps id -> reason for every entry that does not apply to the files under `root`."""
    cache, reasons = {}, {}
    for e in entries:
        path = root / e.file
        if e.file not in cache:
            cache[e.file] = path.read_text(encoding="utf-8") if path.is_file() else None
        if cache[e.file] is None:
            reasons[e.id] = f"no file {e.file}"
            continue
        _, reason = apply_entry(e, cache[e.file])
        if reason:
            reasons[e.id] = reason
    return reasons


# ---------------------------------------------------------------------------
# Tree copy, build and test run.

def run_git(*args):
    return subprocess.run(["git", "-C", str(ROOT), *args], capture_output=True, text=True, check=True).stdout


def project_files():
    """Tracked and untracked, not ignored files of the working tree (relative)."""
    out = run_git("ls-files", "-z", "--cached", "--others", "--exclude-standard")
    return sorted({f for f in out.split("\0") if f and (ROOT / f).is_file()})


def mirror(dest):
    """Makes `dest` hold exactly the project's files; a changed file gets a new
    modification time, so that the build sees it. Returns the files copied."""
    files = project_files()
    wanted = set(files)
    copied = []
    for rel in files:
        src, dst = ROOT / rel, dest / rel
        data = src.read_bytes()
        if dst.is_file() and dst.read_bytes() == data:
            continue
        dst.parent.mkdir(parents=True, exist_ok=True)
        dst.write_bytes(data)
        shutil.copymode(src, dst)
        copied.append(rel)
    for dirpath, dirnames, filenames in os.walk(dest, topdown=False):
        for name in filenames:
            rel = os.path.relpath(os.path.join(dirpath, name), dest)
            if rel not in wanted:
                os.remove(os.path.join(dirpath, name))
        if dirpath != str(dest) and not os.listdir(dirpath):
            os.rmdir(dirpath)
    return copied


def namespaces_usable():
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    probe = ["unshare", "--ipc", "--mount", "--propagation", "private", "true"]
    return subprocess.run(probe, capture_output=True).returncode == 0


class Stopped(Exception):
    """The run was interrupted."""


@dataclass
class Worker:
    number: int
    base: Path
    jobs: int
    opts: argparse.Namespace
    isolate: bool
    stop: threading.Event
    proc: subprocess.Popen = None
    lock: threading.Lock = field(default_factory=threading.Lock)

    @property
    def src(self):
        return self.base / f"w{self.number}" / "src"

    @property
    def build(self):
        return self.base / f"w{self.number}" / "build"

    @property
    def tmp(self):
        return self.base / f"w{self.number}" / "tmp"

    def run(self, cmd, log, timeout):
        """Runs `cmd` in its own process group, output to `log`. Returns
        (exit status or None on timeout, seconds)."""
        if self.stop.is_set():
            raise Stopped()
        start = time.monotonic()
        with open(log, "w") as out:
            with self.lock:
                self.proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT,
                                             stdin=subprocess.DEVNULL, start_new_session=True)
                if self.stop.is_set():  # stopped between the check above and the start
                    os.killpg(self.proc.pid, signal.SIGKILL)
            try:
                rc = self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.kill()
                self.proc.wait()
                rc = None
            finally:
                with self.lock:
                    proc, self.proc = self.proc, None
        if self.stop.is_set():
            raise Stopped()
        return rc, time.monotonic() - start

    def kill(self):
        """Ends the process group this worker started, if one runs."""
        with self.lock:
            if self.proc is not None and self.proc.poll() is None:
                try:
                    os.killpg(self.proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def configure(self, log):
        gen = ["-G", "Ninja"] if shutil.which("ninja") else []
        cmd = ["cmake", "-S", str(self.src), "-B", str(self.build), *gen,
               "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
               # the optimisation of CI, without debug information (faster links)
               "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG", "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG",
               "-DMSSP_WERROR=OFF", "-DMSSP_BUILD_TESTS=ON", "-DMSSP_BUILD_TOOLS=ON",
               "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
               "-DMSSP_BUILD_FUZZ=OFF", "-DMSSP_BUILD_BENCH=OFF", "-DMSSP_SANITIZE=",
               f"-DMSSP_BUILD_GST={'ON' if self.opts.gst else 'OFF'}",
               f"-DMSSP_TEST_TIMEOUT={self.opts.timeout}"]
        rc, _ = self.run(cmd, log, 600)
        return rc == 0

    def compile(self, log):
        rc, seconds = self.run(["cmake", "--build", str(self.build), "-j", str(self.jobs)], log,
                               self.opts.build_timeout)
        return rc == 0, seconds

    def explain(self, failed, log):
        """A test that its own watchdog aborted hung: its reason becomes
        Timeout. The end of each failed test's output goes into `log`."""
        last = self.build / "Testing" / "Temporary" / "LastTest.log"
        if not failed or not last.is_file():
            return failed
        outputs = test_outputs(last.read_text(errors="replace"))
        result = []
        with open(log, "a") as out:
            for name, reason in failed:
                text = outputs.get(name, "")
                if reason != "Timeout" and WATCHDOG in text:
                    reason = "Timeout"
                result.append((name, reason))
                tail = "\n".join(text.strip().splitlines()[-40:])
                out.write(f"\n===== end of the output of {name} ({reason})\n{tail}\n")
        return result

    def test(self, log, budget, whole):
        """Runs the test selection; returns (outcome, failed tests, seconds)."""
        if self.tmp.exists():
            shutil.rmtree(self.tmp)
        self.tmp.mkdir(parents=True)
        self.tmp.chmod(0o1777)
        cmd = ["ctest", "--test-dir", str(self.build), "-j", str(self.jobs), "--timeout",
               str(self.opts.timeout), "--no-tests=error", *shlex.split(self.opts.ctest)]
        if not whole:
            cmd.append("--stop-on-failure")
        if self.isolate:
            # Private SysV IPC and /tmp: both disappear with the namespace.
            cmd = ["unshare", "--ipc", "--mount", "--propagation", "private", "sh", "-c",
                   'mount --bind "$0" /tmp && exec "$@"', str(self.tmp), *cmd]
        rc, seconds = self.run(cmd, log, budget)
        failed = failed_tests(Path(log).read_text(errors="replace"))
        shutil.rmtree(self.tmp, ignore_errors=True)
        failed = self.explain(failed, log)
        if rc is None:
            return TIMEOUT, failed + [("(whole run)", f"over the budget of {budget:.0f} s")], seconds
        if any(reason not in ("Timeout", "Not Run") for _, reason in failed):
            return KILLED, failed, seconds
        if any(reason == "Timeout" for _, reason in failed):
            return TIMEOUT, failed, seconds
        # A test not run, or ctest failing without a failed test: the harness.
        return (SURVIVED if rc == 0 and not failed else ERROR), failed, seconds


def syntax_commands(worker):
    """Compile commands of the library's sources, each made a syntax-only check
    (no object, no dependency file written)."""
    with open(worker.build / "compile_commands.json") as f:
        commands = json.load(f)
    lib = str(worker.src / "libcommon" / "mssp" / "src") + os.sep
    result = {}
    for c in commands:
        if not c["file"].startswith(lib):
            continue
        args, out, skip = shlex.split(c["command"]), [], 0
        for a in args:
            if skip:
                skip -= 1
            elif a in ("-o", "-MT", "-MF"):
                skip = 1
            elif a not in ("-c", "-MD", "-MMD"):
                out.append(a)
        out.insert(1, "-fsyntax-only")
        result[os.path.relpath(c["file"], worker.src)] = (c["directory"], out)
    return result


def compiles(worker, entry, commands):
    """(True, "") when the changed file (a header: every library source)
    still compiles, else (False, the compiler's first error)."""
    path = worker.src / entry.file
    original = path.read_text(encoding="utf-8")
    mutated, reason = apply_entry(entry, original)
    if reason:
        return False, reason
    units = [entry.file] if entry.file in commands else sorted(commands)
    try:
        path.write_text(mutated, encoding="utf-8")
        for unit in units:
            directory, args = commands[unit]
            r = subprocess.run(args, cwd=directory, capture_output=True, text=True)
            if r.returncode != 0:
                first = next((l for l in r.stderr.splitlines() if "error" in l), r.stderr.strip()[:200])
                return False, first
        return True, ""
    finally:
        path.write_text(original, encoding="utf-8")


WATCHDOG = "no progress within"  # tests/support/Watchdog.h, printed before it aborts a hung test
TEST_BLOCK = re.compile(r"^\d+/\d+ Testing: (.+)$", re.M)


def test_outputs(text):
    """Each test's output in ctest's LastTest.log, by test name."""
    marks = list(TEST_BLOCK.finditer(text))
    return {m.group(1).strip(): text[m.end():(marks[k + 1].start() if k + 1 < len(marks) else len(text))]
            for k, m in enumerate(marks)}


FAILED_LINE = re.compile(r"^\s*\d+ - (.+?) \(([^()]+)\)\s*$")


def failed_tests(output):
    """(name, reason) of each test ctest lists as failed."""
    tail = output.split("The following tests FAILED:", 1)
    if len(tail) < 2:
        return []
    result = []
    for line in tail[1].splitlines():
        m = FAILED_LINE.match(line)
        if m:
            result.append((m.group(1), m.group(2)))
        elif line.strip() and not line.startswith((" ", "\t")):
            break
    return result


# ---------------------------------------------------------------------------
# The run.

def select(entries, opts):
    chosen = []
    for e in entries:
        if opts.ids and not any(fnmatch.fnmatch(e.id, pat) for pat in opts.ids):
            continue
        if opts.file and not any(f in e.file for f in opts.file):
            continue
        if opts.kind and e.kind not in opts.kind:
            continue
        chosen.append(e)
    return chosen


def print_catalogue(entries, reasons):
    width = max(len(e.id) for e in entries)
    for e in entries:
        state = "NOT APPLICABLE: " + reasons[e.id] if e.id in reasons else "applies"
        marks = (" [equivalent]" if e.equivalent else "") + (" [known hole]" if e.hole else "")
        print(f"{e.id:<{width}}  {Path(e.file).name:<26} {e.kind:<8} {state}{marks}")
    print()
    for title, key in (("by file", lambda e: Path(e.file).name), ("by kind", lambda e: e.kind)):
        counts = {}
        for e in entries:
            counts[key(e)] = counts.get(key(e), 0) + 1
        print(f"{title}: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))))
    print(f"{len(entries)} entries, {len(entries) - len(reasons)} apply, "
          f"{sum(1 for e in entries if e.equivalent)} marked equivalent, "
          f"{sum(1 for e in entries if e.hole)} known holes")


def mutate_one(worker, entry, logs, budget):
    """Builds and tests one change in the worker's copy; the copy is put back
    whatever happens."""
    path = worker.src / entry.file
    original = path.read_text(encoding="utf-8")
    mutated, reason = apply_entry(entry, original)
    record = {"id": entry.id, "file": entry.file, "kind": entry.kind, "why": entry.why}
    if reason:
        return {**record, "outcome": NOT_APPLICABLE, "detail": reason}
    build_log, test_log = logs / f"{entry.id}.build.log", logs / f"{entry.id}.test.log"
    try:
        path.write_text(mutated, encoding="utf-8")
        ok, build_s = worker.compile(build_log)
        record["build_s"] = round(build_s, 1)
        if not ok:
            return {**record, "outcome": BUILD_FAILED, "log": str(build_log)}
        outcome, failed, test_s = worker.test(test_log, budget, worker.opts.whole)
        record["test_s"] = round(test_s, 1)
        return {**record, "outcome": outcome, "failed": [f"{n} ({r})" for n, r in failed[:10]],
                "log": str(test_log)}
    finally:
        path.write_text(original, encoding="utf-8")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog="\n\n".join(__doc__.split("\n\n")[1:]))
    ap.add_argument("ids", nargs="*", help="entry ids to run (shell patterns); default all")
    ap.add_argument("--catalogue", type=Path, default=DEFAULT_CATALOGUE)
    ap.add_argument("--file", action="append", help="only entries whose file contains this text (repeatable)")
    ap.add_argument("--kind", action="append", choices=KINDS, help="only entries of this kind (repeatable)")
    ap.add_argument("--list", action="store_true", help="list the entries and whether they apply, then stop")
    ap.add_argument("--check", action="store_true",
                    help="exit 1 unless every selected entry applies; nothing is built")
    ap.add_argument("--compile-check", action="store_true",
                    help="only check that each selected change compiles (syntax only, one core, "
                         "a few seconds per change); nothing is linked or tested")
    ap.add_argument("--ctest", default="-LE gst", metavar="ARGS",
                    help="test selection passed to ctest (default '-LE gst'; '' for everything)")
    ap.add_argument("--gst", action="store_true",
                    help="build the GStreamer element too (for a --ctest selection that runs its tests)")
    ap.add_argument("--timeout", type=int, default=30, help="time limit of each test, seconds (default 30)")
    ap.add_argument("--budget", type=float,
                    help="time limit of one change's whole test run, seconds "
                         "(default 3 x the unchanged run + the test time limit + 30)")
    ap.add_argument("--build-timeout", type=float, default=1800, help="time limit of one build (default 1800 s)")
    ap.add_argument("--whole", action="store_true",
                    help="run the whole selection for every change (default: stop at the first failing test)")
    ap.add_argument("--run-equivalent", action="store_true", help="run the entries marked equivalent too")
    ap.add_argument("--workers", type=int, default=1,
                    help="changes built and tested side by side, each in its own copy and build "
                         "(needs two cores per worker; default 1)")
    ap.add_argument("--dir", type=Path, default=ROOT / "build" / "mutate", help="work folder (default build/mutate)")
    ap.add_argument("--results", type=Path, help="JSON-lines result file (default DIR/results-DATE.jsonl)")
    opts = ap.parse_args()

    entries, problems = load_catalogue(opts.catalogue)
    if problems:
        print("catalogue errors:\n  " + "\n  ".join(problems), file=sys.stderr)
        return 1
    ids = [e.id for e in entries]
    unknown = [pat for pat in opts.ids if not any(fnmatch.fnmatch(i, pat) for i in ids)]
    if unknown:
        print(f"no entry matches: {' '.join(unknown)}", file=sys.stderr)
        return 1
    chosen = select(entries, opts)
    if not chosen:
        print("no entry selected", file=sys.stderr)
        return 1
    reasons = check_entries(chosen, ROOT)
    if opts.list or opts.check:
        print_catalogue(chosen, reasons)
        return 1 if (opts.check and reasons) else 0

    cores = os.cpu_count() or 1
    if opts.workers < 1 or opts.workers * 2 > max(cores, 2):
        print(f"{opts.workers} workers need {2 * opts.workers} cores; this machine has {cores}", file=sys.stderr)
        return 1
    jobs = max(1, min(cores // opts.workers, 2 if opts.workers > 1 else cores))

    # The state of what is mutated, for the record.
    commit = run_git("rev-parse", "--short", "HEAD").strip()
    dirty_lib = subprocess.run(["git", "-C", str(ROOT), "diff", "--quiet", "HEAD", "--",
                                "libcommon/mssp"]).returncode != 0
    dirty_any = bool(run_git("status", "--porcelain", "--untracked-files=normal").strip())
    if dirty_lib:
        print("note: the library has uncommitted changes; the catalogue is applied to them as they are")

    opts.dir.mkdir(parents=True, exist_ok=True)
    logs = opts.dir / "logs"
    logs.mkdir(exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    results_path = opts.results or opts.dir / f"results-{stamp}.jsonl"
    isolate = namespaces_usable()
    if not isolate:
        print("note: no private IPC and mount namespace here (needs root and unshare): "
              "a test killed by a change may leave a shared-memory segment or a /tmp folder behind")

    stop = threading.Event()
    workers = [Worker(n, opts.dir, jobs, opts, isolate, stop) for n in range(opts.workers)]
    if opts.compile_check:
        w = workers[0]
        w.src.mkdir(parents=True, exist_ok=True)
        mirror(w.src)
        if not w.configure(logs / "w0.configure.log"):
            print(f"configure failed: {logs / 'w0.configure.log'}", file=sys.stderr)
            return 2
        commands = syntax_commands(w)
        bad = 0
        for e in chosen:
            ok, detail = compiles(w, e, commands)
            if not ok:
                bad += 1
                print(f"{e.id}: does not compile: {detail}", flush=True)
        print(f"{len(chosen) - bad} of {len(chosen)} changes compile")
        return 1 if bad else 0

    runnable = [e for e in chosen if e.id not in reasons and (opts.run_equivalent or not e.equivalent)]
    results = []
    results_lock = threading.Lock()
    header = {"record": "run", "date": datetime.datetime.now().isoformat(timespec="seconds"),
              "commit": commit, "library_uncommitted": dirty_lib, "tree_uncommitted": dirty_any,
              "catalogue": str(opts.catalogue), "selected": len(chosen), "ctest": opts.ctest,
              "timeout": opts.timeout, "whole": opts.whole, "workers": opts.workers, "isolated": isolate}

    def say(text):
        print(text, flush=True)

    def setup(worker):
        """Mirror, configure, build and run the unchanged tree; returns the test time."""
        worker.src.mkdir(parents=True, exist_ok=True)
        copied = mirror(worker.src)
        say(f"[w{worker.number}] copy of the tree up to date ({len(copied)} files changed); building")
        if not worker.configure(logs / f"w{worker.number}.configure.log"):
            raise RuntimeError(f"configure failed: {logs / f'w{worker.number}.configure.log'}")
        ok, build_s = worker.compile(logs / f"w{worker.number}.baseline.build.log")
        if not ok:
            raise RuntimeError(f"the unchanged tree does not build: {logs / f'w{worker.number}.baseline.build.log'}")
        outcome, failed, test_s = worker.test(logs / f"w{worker.number}.baseline.test.log", 3600, True)
        if outcome != SURVIVED:
            names = ", ".join(f"{n} ({r})" for n, r in failed[:10]) or "see the log"
            raise RuntimeError(f"the unchanged tree does not pass its tests: {names}; "
                               f"{logs / f'w{worker.number}.baseline.test.log'}")
        say(f"[w{worker.number}] unchanged tree: build {build_s:.0f} s, tests pass in {test_s:.1f} s")
        return test_s

    queue = list(runnable)
    errors = []

    def work(worker, budget):
        while not stop.is_set():
            with results_lock:
                if not queue:
                    return
                entry = queue.pop(0)
            try:
                rec = mutate_one(worker, entry, logs, budget)
            except Stopped:
                return
            except Exception as exc:  # the harness failed, not the change
                rec = {"id": entry.id, "file": entry.file, "kind": entry.kind, "why": entry.why,
                       "outcome": ERROR, "detail": repr(exc)}
            rec.update({k: v for k, v in (("equivalent", entry.equivalent), ("hole", entry.hole)) if v})
            with results_lock:
                results.append(rec)
                n = len(results)
                with open(results_path, "a") as f:
                    f.write(json.dumps(rec) + "\n")
            took = rec.get("build_s", 0) + rec.get("test_s", 0)
            first = f"  {rec['failed'][0]}" if rec.get("failed") else ""
            mark = " [marked equivalent]" if entry.equivalent else ""
            say(f"[{n:3}/{len(runnable)}] {rec['outcome']:<14} {entry.id:<28} {took:5.0f} s{first}{mark}")

    def in_threads(target, args_list):
        # Not daemon threads: a worker always gets to put its copy back.
        threads = [threading.Thread(target=target, args=a) for a in args_list]
        for t in threads:
            t.start()
        try:
            while any(t.is_alive() for t in threads):
                for t in threads:
                    t.join(0.2)
        except KeyboardInterrupt:
            # A second Ctrl-C (or the group-wide signal of `timeout`) must not
            # cut the clean-up short.
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            signal.signal(signal.SIGTERM, signal.SIG_IGN)
            stop.set()
            for w in workers:
                w.kill()
            for t in threads:
                t.join()
            raise

    # SIGTERM ends the run like Ctrl-C: the copies are put back either way.
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    interrupted = False
    start = time.monotonic()
    with open(results_path, "w") as f:
        f.write(json.dumps(header) + "\n")
    try:
        baseline = {}

        def prepare(w):
            try:
                baseline[w.number] = setup(w)
            except Stopped:
                pass
            except Exception as exc:
                errors.append(str(exc))

        say(f"{len(chosen)} entries selected, {len(runnable)} to run; results in {results_path}")
        in_threads(prepare, [(w,) for w in workers])
        if errors or stop.is_set():
            for e in errors:
                print("error: " + e, file=sys.stderr)
            return 2
        base_s = max(baseline.values())
        budget = opts.budget or 3 * base_s + opts.timeout + 30
        say(f"budget per change: {budget:.0f} s for the tests, {opts.timeout} s per test"
            + ("" if opts.whole else "; stops at the first failing test"))
        in_threads(work, [(w, budget) for w in workers])
    except KeyboardInterrupt:
        interrupted = True
    finally:
        # Whatever happened, each copy leaves the run as the tree's text.
        for w in workers:
            put_back = mirror(w.src) if w.src.is_dir() else []
            if put_back:
                print(f"[w{w.number}] copy put back to the tree's text: {' '.join(put_back)}")
    if interrupted:
        print("\ninterrupted; results so far:")
    elapsed = time.monotonic() - start

    # Summary.
    for e in chosen:
        if e.id in reasons:
            results.append({"id": e.id, "file": e.file, "kind": e.kind, "why": e.why,
                            "outcome": NOT_APPLICABLE, "detail": reasons[e.id]})
        elif e.equivalent and not opts.run_equivalent:
            results.append({"id": e.id, "file": e.file, "kind": e.kind, "why": e.why,
                            "outcome": EQUIVALENT, "equivalent": e.equivalent})
    with open(results_path, "a") as f:
        for rec in results:
            if rec["outcome"] in (NOT_APPLICABLE, EQUIVALENT):
                f.write(json.dumps(rec) + "\n")
    by_id = {e.id: e for e in entries}
    # Equivalent entries count as equivalent only, run or not: they are out of the score.
    is_eq = lambda r: bool(by_id[r["id"]].equivalent) and r["outcome"] != NOT_APPLICABLE
    count = lambda o: sum(1 for r in results if r["outcome"] == o and not is_eq(r))
    k, s, t, b, n, err = (count(KILLED), count(SURVIVED), count(TIMEOUT), count(BUILD_FAILED),
                          count(NOT_APPLICABLE), count(ERROR))
    eq = sum(1 for r in results if is_eq(r))
    m = len(chosen)
    denominator = m - n - b - eq - err - (m - len(results))  # entries not reached when interrupted
    score = f"{100.0 * (k + t) / denominator:.1f}%" if denominator > 0 else "n/a"
    print()
    print(f"killed {k}, survived {s}, timed out {t}, build failed {b}, not applicable {n}, "
          f"equivalent {eq}" + (f", harness errors {err}" if err else "") + f" of {m}; "
          f"score = (K+T)/(M-N-B-equivalent) = {k + t}/{denominator} = {score}")
    print(f"{elapsed / 60:.1f} min, commit {commit}" + (" with uncommitted changes" if dirty_any else "")
          + f"; results {results_path}")
    if interrupted:
        print(f"(interrupted: {m - len(results)} entries not run)")
    survivors = [r for r in results if r["outcome"] == SURVIVED and not by_id[r["id"]].equivalent]
    if survivors:
        print("\nsurvivors (the suite does not notice these changes):")
        for r in survivors:
            e = by_id[r["id"]]
            print(f"  {e.id} ({Path(e.file).name}, {e.kind}): {e.why}" + (f" [known hole: {e.hole}]" if e.hole else ""))
    for title, outcome in (("build failed", BUILD_FAILED), ("not applicable (refresh these entries)", NOT_APPLICABLE),
                           ("harness errors", ERROR)):
        rows = [r for r in results if r["outcome"] == outcome]
        if rows:
            print(f"\n{title}:")
            for r in rows:
                print(f"  {r['id']} ({Path(r['file']).name}): {r.get('detail') or r.get('log', '')}")
    detected_eq = [r for r in results if by_id[r["id"]].equivalent and r["outcome"] in (KILLED, TIMEOUT)]
    if detected_eq:
        print("\nmarked equivalent but detected (the mark is wrong):")
        for r in detected_eq:
            print(f"  {r['id']}: {r['outcome']}")
    return 130 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
