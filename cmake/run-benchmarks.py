#!/usr/bin/env python3
"""Runs every benchmark of a release build, prints one table of figures with
their goals and writes the figures as one JSON object.

usage: run-benchmarks.py BIN_DIR OUT_DIR [--soak-runs N] [--campaign-runs N] [--only NAME ...]

Each benchmark prints its figures last, one "name value" a line, and exits
nonzero when its run failed. The whole upgrade is measured through the bench
program at time scale 1.0: its wall time against the waits the upgrade had to
make (the pauses it takes, the device's poll time-outs, transfer times and
re-enumeration), both accounted by the bench program itself.

Exit status: 0 when every benchmark ran; 1 when one failed or gave no figure.
A goal that is missed is shown in the table, it does not fail the run.
"""
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

# figure -> (goal text, test on the value)
GOALS = {
    "dfu-ratio": ("<= 1.02", lambda v: v <= 1.02),
    "upgrade-overhead": ("<= 1.02", lambda v: v <= 1.02),
    "av7300-overhead": ("<= 1.02", lambda v: v <= 1.02),
    "log-append-median-us": ("<= 2", lambda v: v <= 2.0),
    "log-append-p99-us": ("", None),
    "log-lines-per-s": (">= 1000000", lambda v: v >= 1e6),
    "log-lines-lost": ("0", lambda v: v == 0),
    "bcsp-ratio": (">= 0.75", lambda v: v >= 0.75),
    "bcsp-loss-ratio": (">= 0.5", lambda v: v >= 0.5),
    "peak-rss": ("<= 20480 KiB", lambda v: v <= 20480),
    "s37-ratio": ("", None),
    "soak-runs": ("", None),
    "soak-mismatches": ("0", lambda v: v == 0),
    "soak-hangs": ("0", lambda v: v == 0),
    "soak-max-rss": ("KiB", None),
    "soak-fds-leaked": ("0", lambda v: v == 0),
    "hostapi-calls": ("", None),
    "hostapi-faults": ("", None),
    "hostapi-successes": ("", None),
    "hostapi-false-successes": ("0", lambda v: v == 0),
    "hostapi-false-reads": ("0", lambda v: v == 0),
    "hostapi-unrecoverable": ("0", lambda v: v == 0),
    "cx-false-successes": ("0", lambda v: v == 0),
    "cx-partial-writes": ("0", lambda v: v == 0),
    "cx-patch-ratio": ("<= 1.10", lambda v: v <= 1.10),
    "kernel-upgrade-overhead": ("<= 1.05", lambda v: v <= 1.05),
    "kernel-dfu-ratio": ("", None),
    "kernel-tcg-upgrade-overhead": ("", None),
    "kernel-tcg-dfu-ratio": ("", None),
}
# The campaigns of the Avnera families (bench-soak --family F).
CAMPAIGN_FAMILIES = ("av7300", "av7201", "av6201", "av6302")
for _family in CAMPAIGN_FAMILIES:
    GOALS[_family + "-runs"] = (">= 1000", lambda v: v >= 1000)
    GOALS[_family + "-false-successes"] = ("0", lambda v: v == 0)
    GOALS[_family + "-unrecoverable"] = ("0", lambda v: v == 0)
    GOALS[_family + "-touched"] = ("0", lambda v: v == 0)
    GOALS[_family + "-unexpected-failures"] = ("0", lambda v: v == 0)
    GOALS[_family + "-hangs"] = ("0", lambda v: v == 0)

FIGURE_LINE = re.compile(r"^([a-z][a-z0-9-]*) (-?[0-9]+(?:\.[0-9]+)?)$")


def run(argv, cwd, timeout):
    """Runs one benchmark; returns (exit status, output)."""
    print("== " + " ".join(os.path.basename(a) if i == 0 else a for i, a in enumerate(argv)), flush=True)
    try:
        done = subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout, check=False)
    except FileNotFoundError:
        return 127, "not built: %s\n" % argv[0]
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode("utf-8", "replace") if e.stdout else ""
        return 124, out + "\ntimed out after %d s\n" % timeout
    out = done.stdout.decode("utf-8", "replace")
    return done.returncode, out


def figures_of(output, rename=None):
    """The "name value" lines at the end of a benchmark's output."""
    found = {}
    for line in output.splitlines():
        m = FIGURE_LINE.match(line.strip())
        if m:
            name = m.group(1)
            if rename:
                name = rename.get(name, None)
            if name:
                found[name] = float(m.group(2))
    return found


def bench_upgrade(bin_dir, work):
    """A whole Tavik upgrade through the application at time scale 1.0."""
    folder = os.path.join(work, "upgrade")
    os.makedirs(folder, exist_ok=True)
    argv = [os.path.join(bin_dir, "orvohidflash-bench"), "--scenario", "normal", "--time-scale", "1",
            "--appdata", os.path.join(folder, "appdata"), "--firmware-out", os.path.join(folder, "firmware.bin"),
            "/S", "/Ubenchmark"]
    status, out = run(argv, folder, 600)
    figures = {}
    m = re.search(r"bench: run took ([0-9]+) ms, waits it had to make ([0-9]+) ms", out)
    if m and int(m.group(2)) > 0:
        wall, required = int(m.group(1)), int(m.group(2))
        figures["upgrade-overhead"] = round(wall / required, 4)
        out += "wall %d ms, required %d ms\n" % (wall, required)
    m = re.search(r"bench: peak memory ([0-9]+) KiB", out)
    if m:
        figures["peak-rss"] = float(m.group(1))
    return status, out, figures


def bench_av7300(bin_dir, work):
    """A whole AV7300 upgrade (part 31, a 66 KiB image) through the bench program at time scale 1.0."""
    folder = os.path.join(work, "av7300")
    os.makedirs(folder, exist_ok=True)
    image = os.path.join(folder, "image.ff")
    status, out = run([os.path.join(bin_dir, "orvo-imagegen"), "av7300", "--part", "31", "--out", image], folder, 60)
    if status != 0:
        return status, out, {}
    argv = [os.path.join(bin_dir, "orvohidflash-bench"), "--family", "av7300", "--image", image, "--time-scale", "1",
            "--firmware-out", os.path.join(folder, "flash.bin"), "/S", "/Ubenchmark"]
    status, more = run(argv, folder, 900)
    out += more
    figures = {}
    m = re.search(r"bench: run took ([0-9]+) ms, waits it had to make ([0-9]+) ms", out)
    if m and int(m.group(2)) > 0:
        wall, required = int(m.group(1)), int(m.group(2))
        figures["av7300-overhead"] = round(wall / required, 4)
        out += "wall %d ms, required %d ms\n" % (wall, required)
    return status, out, figures


def main():
    args = sys.argv[1:]
    if len(args) < 2:
        print(__doc__)
        return 2
    bin_dir, out_dir = os.path.abspath(args[0]), os.path.abspath(args[1])
    soak_runs = 300
    campaign_runs = 1000
    only = []
    rest = args[2:]
    while rest:
        if rest[0] == "--soak-runs" and len(rest) > 1:
            soak_runs = int(rest[1])
            rest = rest[2:]
        elif rest[0] == "--campaign-runs" and len(rest) > 1:
            campaign_runs = int(rest[1])
            rest = rest[2:]
        elif rest[0] == "--only" and len(rest) > 1:
            only.append(rest[1])
            rest = rest[2:]
        else:
            print("unknown argument " + rest[0])
            return 2
    os.makedirs(out_dir, exist_ok=True)
    work = tempfile.mkdtemp(prefix="work-", dir=out_dir)

    def program(exe, rename, timeout=600):
        def runner():
            status, out = run([os.path.join(bin_dir, exe)], work, timeout)
            return status, out, figures_of(out, rename)
        return runner

    benchmarks = [
        ("dfu", program("bench-dfu-engine", {"dfu-ratio": "dfu-ratio"})),
        ("upgrade", lambda: bench_upgrade(bin_dir, work)),
        ("av7300", lambda: bench_av7300(bin_dir, work)),
        ("log", program("bench-log-append", {k: k for k in GOALS if k.startswith("log-")})),
        ("bcsp", program("bench-bcsp-dfu", {"ratio": "bcsp-ratio", "loss-ratio": "bcsp-loss-ratio"}, 1800)),
        ("s37", program("bench-cx-s37", {"ratio": "s37-ratio"})),
        ("soak", lambda: bench_soak(bin_dir, work, soak_runs)),
        ("hostapi", lambda: bench_hostapi(bin_dir, work)),
        ("cx", lambda: bench_cx(bin_dir, work)),
        ("kernel", lambda: bench_kernel(bin_dir, work)),
    ]
    for family in CAMPAIGN_FAMILIES:
        benchmarks.append(("campaign-" + family, (lambda f: lambda: bench_campaign(bin_dir, work, f, campaign_runs))(family)))

    results = {}
    failed = []
    started = time.time()
    for name, runner in benchmarks:
        if only and name not in only:
            continue
        status, out, figures = runner()
        sys.stdout.write(out if out.endswith("\n") else out + "\n")
        if status != 0 or not figures:
            failed.append("%s (exit %d)" % (name, status))
        results.update(figures)

    print()
    print("%-30s %14s  %-14s %s" % ("figure", "value", "goal", ""))
    for name, (goal, test) in GOALS.items():
        if name not in results:
            if not only:
                print("%-30s %14s  %-14s %s" % (name, "-", goal, "not measured"))
            continue
        value = results[name]
        verdict = "" if test is None else ("met" if test(value) else "MISSED")
        shown = ("%.0f" % value) if value.is_integer() else ("%.4g" % value)
        print("%-30s %14s  %-14s %s" % (name, shown, goal, verdict))
    path = os.path.join(out_dir, "results.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(results, f, indent=2, sort_keys=True)
        f.write("\n")
    print("\nwrote %s (%.0f s)" % (path, time.time() - started))
    if failed:
        print("failed: " + ", ".join(failed) + "; their files are in " + work)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return 0


def bench_kernel(bin_dir, work):
    """A Tavik upgrade and a 1 MiB DFU download through the real kernel in the QEMU guest
    (tests/kernel/bench.sh), with this build's Debian package installed."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.dirname(bin_dir)
    debs = sorted(glob.glob(os.path.join(build, "packages", "orvohidflash_*.deb")), key=os.path.getmtime)
    if not debs:
        return 1, "no Debian package in %s/packages\n" % build, {}
    argv = [os.path.join(root, "tests", "kernel", "vm"), "--package", debs[-1], "--",
            os.path.join(root, "tests", "kernel", "bench.sh"), build]
    status, out = run(argv, work, 900)
    return status, out, figures_of(out, {"kernel-upgrade-overhead": "kernel-upgrade-overhead",
                                         "kernel-dfu-ratio": "kernel-dfu-ratio",
                                         "kernel-tcg-upgrade-overhead": "kernel-tcg-upgrade-overhead",
                                         "kernel-tcg-dfu-ratio": "kernel-tcg-dfu-ratio"})


def bench_soak(bin_dir, work, runs):
    argv = [os.path.join(bin_dir, "bench-soak"), "--runs", str(runs), "--seed", "1", "--time-scale", "0.01",
            "--bench", os.path.join(bin_dir, "orvohidflash-bench"), "--work", os.path.join(work, "soak")]
    status, out = run(argv, work, 3600)
    figures = {}
    m = re.search(r"runs ([0-9]+), mismatches ([0-9]+), hangs ([0-9]+), max-rss ([0-9]+), fds-leaked ([0-9]+)", out)
    if m:
        for key, value in zip(("soak-runs", "soak-mismatches", "soak-hangs", "soak-max-rss", "soak-fds-leaked"),
                              m.groups()):
            figures[key] = float(value)
    return status, out, figures


def bench_hostapi(bin_dir, work):
    """The host interface's faulted campaign: 50,000 calls, the bench adapter library on the search path."""
    env = dict(os.environ)
    lib = os.path.join(os.path.dirname(bin_dir), "lib", "bench")
    env["LD_LIBRARY_PATH"] = lib + (os.pathsep + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
    argv = [os.path.join(bin_dir, "bench-hostapi"), "--calls", "50000", "--seed", "1", "--time-scale", "0.002"]
    print("== " + " ".join(os.path.basename(a) if i == 0 else a for i, a in enumerate(argv)), flush=True)
    try:
        done = subprocess.run(argv, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=3600,
                              check=False, env=env)
    except FileNotFoundError:
        return 127, "not built: %s\n" % argv[0], {}
    except subprocess.TimeoutExpired:
        return 124, "timed out after 3600 s\n", {}
    out = done.stdout.decode("utf-8", "replace")
    return done.returncode, out, figures_of(out, {k: k for k in GOALS if k.startswith("hostapi-")})


def bench_cx(bin_dir, work):
    """The cxaudio campaign (1,000 faulted patch runs) and an 8 KiB write with verification at time scale 1.0."""
    exe = os.path.join(bin_dir, "bench-cx-soak")
    status, out = run([exe, "--runs", "1000", "--seed", "1", "--work", os.path.join(work, "cx-soak")], work, 3600)
    more_status, more = run([exe, "--ratio", "--work", os.path.join(work, "cx-ratio")], work, 600)
    out += more
    figures = figures_of(out, {k: k for k in GOALS if k.startswith("cx-")})
    return status or more_status, out, figures


def bench_campaign(bin_dir, work, family, runs):
    """The campaign of an Avnera family: seeded, faulted runs of the bench program (AvneraCampaign.h)."""
    argv = [os.path.join(bin_dir, "bench-soak"), "--family", family, "--runs", str(runs), "--seed", "1",
            "--time-scale", "0.01", "--bench", os.path.join(bin_dir, "orvohidflash-bench"),
            "--work", os.path.join(work, "campaign-" + family)]
    status, out = run(argv, work, 4 * 3600)
    keys = ("runs", "false-successes", "unrecoverable", "touched", "unexpected-failures", "hangs")
    return status, out, figures_of(out, {family + "-" + k: family + "-" + k for k in keys})


if __name__ == "__main__":
    sys.exit(main())
