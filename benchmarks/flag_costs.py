"""What each CPython-internals flag of src/native/fastpaths.hpp buys, in instructions inside the tick
loop (callgrind, deterministic on a loaded machine):

    .venv/bin/python benchmarks/flag_costs.py [--python .venv-next/bin/python] [--flags A,B] [--jobs N]

For the interpreter given (default: the one running this script) it builds one variant per flag
compiled out alone (-C cmake.define.ORVA_FLAGS_OFF=NAME, into build/flags-NAME-<pyver>/), one with
everything on and one with everything compiled out (ORVA_FASTPATHS=OFF), the way
scripts/build_variant.sh does; runs benchmarks/loop_instructions.py empty, orders and counting under
callgrind with each (BENCH_DAYS=2 unless set); and prints a table: instructions per tick (empty) and
per order ((orders - counting) / orders), absolute and against everything on, then one JSON line.

The flags are read from the header; by default only those that are on in an ordinary build for this
interpreter (the others are already off there: compiling them out changes nothing). Builds and
callgrind runs go one at a time under `nice -n 15` unless --build-jobs and --jobs say otherwise (a
variant's runs start as soon as it is built). The build directories are kept, so a second run
rebuilds only what changed, and so are the counts (build/flags-*/counts-KIND.json, with a digest of
the variant's files and the benchmark's): only what changed is counted again.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
HEADER = ROOT / "src" / "native" / "fastpaths.hpp"
LOOP = ROOT / "benchmarks" / "loop_instructions.py"
NICE = ["nice", "-n", "15"]
KINDS = ("empty", "orders", "counting")
ON, OFF = "on", "off"  # the variants with every flag on and with all compiled out


def header_flags(header: pathlib.Path = HEADER) -> list[str]:
    """The header's flag families (ORVA_USE_<NAME>), in the order it defines them."""
    return re.findall(r"^#ifndef ORVA_USE_([A-Z0-9_]+)\s*$", header.read_text(), re.M)


def python_facts(python: str) -> dict:
    code = ("import json, sys, sysconfig; print(json.dumps({'version': '%d.%d' % sys.version_info[:2], "
            "'include': sysconfig.get_paths()['include']}))")
    return json.loads(subprocess.run([python, "-c", code], check=True, capture_output=True, text=True).stdout)


def flags_on_by_default(flags: list[str], include: str) -> list[str]:
    """The flags the header turns on for the interpreter whose headers are in `include`, as the
    preprocessor sees them in an ordinary build."""
    probe = ['#include "fastpaths.hpp"'] + [f"#if ORVA_USE_{f}\nORVA_FLAG_IS_ON {f}\n#endif" for f in flags]
    cxx = os.environ.get("CXX", "c++")
    out = subprocess.run([cxx, "-std=c++17", "-E", "-P", "-I", str(HEADER.parent), "-I", include, "-x", "c++", "-"],
                         input="\n".join(probe) + "\n", check=True, capture_output=True, text=True).stdout
    on = set(re.findall(r"^ORVA_FLAG_IS_ON (\w+)$", out, re.M))
    return [f for f in flags if f in on]


def variant_options(variant: str) -> list[str]:
    if variant == ON:
        return []
    if variant == OFF:
        return ["--config-settings=cmake.define.ORVA_FASTPATHS=OFF"]
    return [f"--config-settings=cmake.define.ORVA_FLAGS_OFF={variant}"]  # -C needs pip 23.1


def site_of(variant: str, version: str) -> pathlib.Path:
    return ROOT / "build" / f"flags-{variant}-{version}" / "site"


def real_cmake() -> str | None:
    """The cmake binary itself, behind any wrapper on PATH (a pyenv shim, the cmake package's script):
    scikit-build-core gives `cmake --version` a few seconds, which a wrapper on a loaded machine can
    take up before the binary starts."""
    with tempfile.TemporaryDirectory() as tmp:
        script = pathlib.Path(tmp) / "where.cmake"
        script.write_text('message("${CMAKE_COMMAND}")\n')
        try:
            proc = subprocess.run(["cmake", "-P", str(script)], capture_output=True, text=True, timeout=300)
        except (OSError, subprocess.TimeoutExpired):
            return None
    path = proc.stderr.strip()
    return path if proc.returncode == 0 and os.path.isfile(path) else None


def build(python: str, version: str, variant: str, attempts: int = 3) -> float:
    start = time.monotonic()
    # scikit-build-core gives `cmake --version` and `ninja --version` 5 s, 20 s where CI is set; on a
    # loaded machine 5 s run out: CMake is then "not found", and for want of Ninja it picks make for a
    # build directory made with Ninja. Without the fallback the build fails instead, and is tried again.
    env = dict(os.environ, PY=python, CI=os.environ.get("CI") or "1")
    options = [*variant_options(variant), "--config-settings=ninja.make-fallback=false"]
    for attempt in range(attempts):
        proc = subprocess.run(NICE + [str(ROOT / "scripts" / "build_variant.sh"), f"flags-{variant}-{version}",
                                      *options], cwd=ROOT, env=env, capture_output=True, text=True)
        if proc.returncode == 0:
            return time.monotonic() - start
        # A compile error fails again quickly, the build directory being kept.
        print(f"building {variant} for {version} failed (attempt {attempt + 1} of {attempts})", file=sys.stderr)
    raise RuntimeError(f"building {variant} for {version} failed:\n{proc.stdout}{proc.stderr}")


def order_every() -> int:
    text = (ROOT / "benchmarks" / "bench_backtest.py").read_text()
    return int(re.search(r"^ORDER_EVERY = (\d+)", text, re.M).group(1))


def fingerprint(python: str, site: pathlib.Path, days: str) -> str:
    """What a count depends on: the variant's files, the benchmark's, the interpreter, the days."""
    digest = hashlib.sha256(f"{os.path.realpath(python)} {days}".encode())
    files = sorted(p for p in site.rglob("*") if p.is_file() and "__pycache__" not in p.parts)
    for path in files + [LOOP, ROOT / "benchmarks" / "bench_backtest.py"]:
        digest.update(str(path.relative_to(site) if path.is_relative_to(site) else path.name).encode())
        digest.update(path.read_bytes())
    return digest.hexdigest()


def cached_count(python: str, site: pathlib.Path, kind: str, days: str) -> tuple[int, int]:
    """count(), kept beside the variant's build (counts.json) for as long as nothing it depends on
    changed: a run interrupted, or re-run after one variant changed, counts only what is missing."""
    store = site.parent / f"counts-{kind}.json"
    key = fingerprint(python, site, days)
    try:
        kept = json.loads(store.read_text())
        if kept["key"] == key:
            return kept["instructions"], kept["ticks"]
    except (OSError, ValueError, KeyError):
        pass
    instructions, ticks = count(python, site, kind, days)
    store.write_text(json.dumps({"key": key, "instructions": instructions, "ticks": ticks}))
    print(f"counted {site.parent.name} {kind}: {instructions:,} in {ticks:,} ticks", file=sys.stderr)
    return instructions, ticks


def count(python: str, site: pathlib.Path, kind: str, days: str) -> tuple[int, int]:
    """(instructions collected inside the tick loop, ticks) of one callgrind run."""
    with tempfile.TemporaryDirectory(prefix="orva-flag-costs-") as tmp:
        env = dict(os.environ, BENCH_DAYS=days, PYTHONPATH=str(site))
        env.pop("ORVA_MERO_BACKTEST_FASTPATHS", None)
        proc = subprocess.run(
            NICE + ["valgrind", "--tool=callgrind", f"--callgrind-out-file={tmp}/out",
                    "--toggle-collect=orva::engine::tick_loop*", python, str(LOOP), kind],
            cwd=ROOT, env=env, capture_output=True, text=True)
    collected = re.search(r"Collected : (\d+)", proc.stderr)
    ticks = re.search(rf"^{kind}: ([\d,]+) ticks", proc.stdout, re.M)
    if proc.returncode or not collected or not ticks:
        raise RuntimeError(f"callgrind on {kind} with {site} failed:\n{proc.stdout}{proc.stderr[-3000:]}")
    return int(collected.group(1)), int(ticks.group(1).replace(",", ""))


def check_loaded(python: str, site: pathlib.Path) -> None:
    """The variant's modules, not the venv's, are the ones imported from `site`."""
    code = "import orva_mero_backtest.modules.engine.engine as e; print(e.__file__)"
    path = subprocess.run([python, "-c", code], env=dict(os.environ, PYTHONPATH=str(site)),
                          check=True, capture_output=True, text=True).stdout.strip()
    if not path.startswith(str(site)):
        raise RuntimeError(f"{site} is not what loads: {path}")


def costs(counts: dict[str, tuple[int, int]], every: int) -> dict[str, float]:
    """Per tick (the empty strategy) and per order (orders less counting, over the orders placed:
    one every `every` ticks)."""
    empty, ticks = counts["empty"]
    orders_ir, order_ticks = counts["orders"]
    counting_ir, _ = counts["counting"]
    orders = order_ticks // every
    return {"per_tick": empty / ticks, "per_order": (orders_ir - counting_ir) / orders,
            "ticks": ticks, "orders": orders}


def table(version: str, results: dict[str, dict[str, float]]) -> str:
    base = results[ON]
    lines = [f"Python {version}: instructions inside the tick loop ({base['ticks']:,} ticks, {base['orders']:,} orders)",
             f"{'variant':<24} {'per tick':>10} {'vs on':>8} {'per order':>11} {'vs on':>9}"]
    for variant, r in results.items():
        label = {ON: "all on", OFF: "all off (FASTPATHS=OFF)"}.get(variant, f"{variant} off")
        if variant == ON:
            lines.append(f"{label:<24} {r['per_tick']:>10,.0f} {'':>8} {r['per_order']:>11,.0f} {'':>9}")
        else:
            lines.append(f"{label:<24} {r['per_tick']:>10,.0f} {r['per_tick'] - base['per_tick']:>+8,.0f} "
                         f"{r['per_order']:>11,.0f} {r['per_order'] - base['per_order']:>+9,.0f}")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", default=sys.executable, help="the interpreter (a venv's python) to build and measure for")
    parser.add_argument("--flags", help="comma-separated flag names (without ORVA_USE_); default: those on for this interpreter")
    parser.add_argument("--jobs", type=int, default=1, help="callgrind runs at a time (default 1)")
    parser.add_argument("--build-jobs", type=int, default=1, help="variants built at a time (default 1)")
    parser.add_argument("--no-build", action="store_true", help="measure the variants already in build/flags-*")
    args = parser.parse_args(argv)
    if not shutil.which("valgrind"):
        parser.error("valgrind is not on PATH")
    started = time.monotonic()
    if not os.environ.get("CMAKE_EXECUTABLE") and (cmake := real_cmake()):
        os.environ["CMAKE_EXECUTABLE"] = cmake  # read by scikit-build-core
    args.python = os.path.abspath(args.python)  # not resolved: a venv's python is a link to its base
    known = header_flags()
    facts = python_facts(args.python)
    version = facts["version"]
    applying = flags_on_by_default(known, facts["include"])
    if args.flags:
        flags = [f.strip().upper().removeprefix("ORVA_USE_") for f in args.flags.split(",") if f.strip()]
        unknown = [f for f in flags if f not in known]
        if unknown:
            parser.error(f"unknown flags {', '.join(unknown)}; known: {', '.join(known)}")
        for f in flags:
            if f not in applying:
                print(f"note: {f} is off for Python {version} already: its variant equals all on", file=sys.stderr)
    else:
        flags = applying
    variants = [ON, *flags, OFF]
    days = os.environ.get("BENCH_DAYS", "2")
    print(f"Python {version} ({args.python}); flags on by default: {', '.join(applying)}", file=sys.stderr)
    every = order_every()

    def build_one(variant: str) -> str:
        if not args.no_build:
            print(f"built {variant}: {build(args.python, version, variant):.0f} s", file=sys.stderr)
        check_loaded(args.python, site_of(variant, version))
        return variant

    # Each variant's runs start as soon as it is built, beside the other builds.
    runs: dict[tuple[str, str], concurrent.futures.Future] = {}
    with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as run_pool, \
            concurrent.futures.ThreadPoolExecutor(max(1, args.build_jobs)) as build_pool:
        for built in concurrent.futures.as_completed([build_pool.submit(build_one, v) for v in variants]):
            variant = built.result()
            for kind in KINDS:
                runs[variant, kind] = run_pool.submit(cached_count, args.python, site_of(variant, version), kind, days)
        counted = {v: {k: runs[v, k].result() for k in KINDS} for v in variants}
    results = {v: costs(counted[v], every) for v in variants}
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True, text=True).stdout.strip()
    dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no", "src", "CMakeLists.txt"],
                           cwd=ROOT, capture_output=True, text=True).stdout.strip()
    print(table(version, results))
    print(json.dumps({
        "python": version, "commit": commit + ("+changes" if dirty else ""), "bench_days": int(days),
        "ticks": results[ON]["ticks"], "orders": results[ON]["orders"],
        "instructions": {v: {"per_tick": round(r["per_tick"]), "per_order": round(r["per_order"])}
                         for v, r in results.items()},
        "seconds": round(time.monotonic() - started),
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main())
