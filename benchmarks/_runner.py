"""The benchmark run: times, memory and agreement per size and call, then the report.

Imported by run.py after the thread settings are in the environment, since NumPy's OpenBLAS reads
them when it is loaded.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import importlib.metadata
import os
import platform
import shlex
import statistics
import sys
import time
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np
import quorbis

import _cases
import _checks
import _front
import _memory
import _report
import _threads
import _variables
import _weighted
from _cases import Case, Data
from _report import Row

# the sizes at which the targets apply, and the targets
TARGET_SIZES = {(1_000_000, 10), (200_000, 50)}
FIT_CASES = ("fit", "hc0", "cluster")
# statsmodels time / quorbis time, per thread setting, call kind and size
SPEED_TARGETS = {
    ("default threads", "fit", (1_000_000, 10)): 18.0,
    ("default threads", "fit", (200_000, 50)): 10.0,
    ("default threads", "ame", (1_000_000, 10)): 150.0,
    ("single-threaded", "fit", (200_000, 50)): 8.0,
}
FIT_MEMORY_TARGET = 2.2  # peak growth as a multiple of X.nbytes
CHUNKED_AME_MEMORY_TARGET = 0.05


def speed_target(setting: str, case: str, n: int, k: int) -> float | None:
    kind = "fit" if case in FIT_CASES else case
    return SPEED_TARGETS.get((setting, kind, (n, k)))


def memory_target(case: str, n: int, k: int) -> float | None:
    if (n, k) not in TARGET_SIZES:
        return None
    if case in FIT_CASES:
        return FIT_MEMORY_TARGET
    return CHUNKED_AME_MEMORY_TARGET if case == "ame_chunked" else None


def median_seconds(call: Callable[[], Any], repeats: int) -> tuple[float, float, Any]:
    """Median wall time and median CPU time of call() over repeats runs, and the last result."""
    wall, cpu, result = [], [], None
    for _ in range(repeats):
        result = None  # the previous result is not kept alive during the next run
        gc.collect()
        start_cpu, start = time.process_time(), time.perf_counter()
        result = call()
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return statistics.median(wall), statistics.median(cpu), result


def tight_fit(data: Data, case: str) -> Any:
    return quorbis.fit_probit(data.y, data.X, max_iter=_checks.TIGHT_MAX_ITER, tol=_checks.TIGHT_TOL,
                              **_cases.quorbis_fit_kwargs(case, data))


class SizeRun:
    """All calls at one size, sharing the data, statsmodels' ame result and the tight fit."""

    def __init__(self, arguments: argparse.Namespace, data: Data, setting: str, memory: bool) -> None:
        self.arguments, self.setting, self.memory = arguments, setting, memory
        self.n, self.k = data.X.shape
        self.data = data
        self.statsmodels_done: dict[str, tuple[float, float, Any, int | None]] = {}
        self.tight_classical: Any = None  # the tight quorbis fit behind the ame checks

    def measure(self, case: Case) -> Row:
        data, repeats = self.data, self.arguments.repeats
        prepared = case.prepare_quorbis(data)
        quorbis_seconds, quorbis_cpu, quorbis_result = median_seconds(lambda: case.call_quorbis(data, prepared),
                                                                      repeats)
        del prepared

        shared = case.statsmodels_from in self.statsmodels_done
        if shared:
            statsmodels_seconds, statsmodels_cpu, statsmodels_result, statsmodels_memory = \
                self.statsmodels_done[case.statsmodels_from]
        else:
            prepared = case.prepare_statsmodels(data)
            statsmodels_seconds, statsmodels_cpu, statsmodels_result = median_seconds(
                lambda: case.call_statsmodels(data, prepared), repeats)
            del prepared
            statsmodels_memory = None

        row = Row(n=self.n, k=self.k, case=case.name, title=case.title, x_nbytes=data.X.nbytes,
                  quorbis_seconds=quorbis_seconds, statsmodels_seconds=statsmodels_seconds,
                  quorbis_cpu=quorbis_cpu, statsmodels_cpu=statsmodels_cpu,
                  statsmodels_shared=shared, setting=self.setting,
                  speed_target=speed_target(self.setting, case.name, self.n, self.k),
                  memory_target=memory_target(case.name, self.n, self.k))
        row.agreements = self.agreements(case, quorbis_result, statsmodels_result)
        del quorbis_result
        if self.memory:
            row.quorbis_memory = self.memory_of(case, "quorbis")
            if statsmodels_memory is None:
                statsmodels_memory = self.memory_of(case, "statsmodels")
            row.statsmodels_memory = statsmodels_memory
        if not shared:
            self.statsmodels_done[case.name] = (statsmodels_seconds, statsmodels_cpu, statsmodels_result,
                                                statsmodels_memory)
        return row

    def agreements(self, case: Case, quorbis_result: Any, statsmodels_result: Any) -> list[tuple[str, Any]]:
        """The timed result (quorbis' default tol) and a tight quorbis fit, both against statsmodels."""
        tight_run = f"tol={_checks.TIGHT_TOL:g} fit"
        if case.is_ame:
            if self.tight_classical is None:
                self.tight_classical = tight_fit(self.data, "fit")
            chunk = {} if case.chunk_size is None else {"chunk_size": case.chunk_size}
            timed = _checks.ame_agreement(quorbis_result, statsmodels_result, _checks.LOOSE_BOUND)
            tight = _checks.ame_agreement(quorbis.ame(self.tight_classical, **chunk), statsmodels_result,
                                          _checks.TIGHT_BOUND)
        else:
            fitted = tight_fit(self.data, case.name)
            if case.name == "fit":
                self.tight_classical = fitted
            timed = _checks.fit_agreement(quorbis_result, statsmodels_result, _checks.LOOSE_BOUND)
            tight = _checks.fit_agreement(fitted, statsmodels_result, _checks.TIGHT_BOUND)
        return [("timed call", a) for a in timed] + [(tight_run, a) for a in tight]

    def memory_of(self, case: Case, tool: str) -> int:
        return _memory.measure_in_subprocess({
            "n": self.n, "k": self.k, "groups": self.arguments.groups, "seed": self.arguments.seed,
            "case": case.name, "chunk_size": self.arguments.chunk_size, "tool": tool,
        })


def warm_up(cases: list[Case], seed: int) -> None:
    """First calls on small data, so that what both tools import lazily is not timed."""
    small = _cases.simulate(2_000, 5, 50, seed)
    for case in cases:
        case.call_quorbis(small, case.prepare_quorbis(small))
        case.call_statsmodels(small, case.prepare_statsmodels(small))


def print_row(row: Row) -> None:
    line = (f"  {row.setting:<16} {row.title:<24} quorbis {row.quorbis_seconds:9.4f} s   statsmodels {row.statsmodels_seconds:9.4f} s"
            f"   ratio {row.ratio:7.1f}x (CPU time {row.cpu_ratio:.1f}x)")
    if row.quorbis_memory is not None:
        line += f"   memory (x X) quorbis {row.quorbis_memory / row.x_nbytes:.3f}"
        if row.statsmodels_memory is not None:
            line += f", statsmodels {row.statsmodels_memory / row.x_nbytes:.3f}"
    worst = max((a.deviation / a.bound for _, a in row.agreements), default=0.0)
    line += f"   agreement {'ok' if all(a.ok for _, a in row.agreements) else 'FAILED'} ({worst:.1e} of bound)"
    print(line, flush=True)


def run(arguments: argparse.Namespace, blas_settings: dict[str, str]) -> int:
    warnings.simplefilter("ignore")  # statsmodels' convergence chatter; agreement is checked instead

    notes: list[str] = []
    all_cases = _cases.all_cases(arguments.chunk_size)
    cases = [all_cases[name] for name in arguments.cases]
    if any(case.is_ame for case in cases) and not _cases.ame_available():
        cases = [case for case in cases if not case.is_ame]
        notes.append("quorbis.ame is not available in the installed build (it raises NotImplementedError): "
                     "the ame calls were skipped.")
        print(f"note: {notes[-1]}")
    memory = not arguments.no_memory and _memory.supported()
    if not arguments.no_memory and not memory:
        notes.append("Peak memory not measured: /proc/self/clear_refs cannot be written here.")
        print(f"note: {notes[-1]}")

    warm_up(cases, arguments.seed)
    load_before = os.getloadavg()
    rows: list[Row] = []
    for n, k in arguments.sizes:
        data = _cases.simulate(n, k, arguments.groups, arguments.seed)
        print(f"\n{_report.size_label(n, k)}: X is {data.X.nbytes / _report.MIB:.1f} MiB, "
              f"{int(data.y.sum()):_} ones, {arguments.groups} clusters", flush=True)
        for index, (setting, threads) in enumerate(_threads.SETTINGS.items()):
            size = SizeRun(arguments, data, setting, memory and index == 0)
            with threads():
                for case in cases:
                    rows.append(size.measure(case))
                    print_row(rows[-1])
            del size
        del data
    scaling = streaming = None
    if arguments.scaling_size:
        scaling = _threads.measure_scaling(_cases.simulate(*arguments.scaling_size, arguments.groups, arguments.seed),
                                           arguments.repeats)
        print(f"\nquorbis plain fit at {_report.size_label(scaling.n, scaling.k)}: 1 thread "
              f"{scaling.seconds[1]:.4f} s, 2 threads {scaling.seconds[2]:.4f} s, speed-up {scaling.speedup:.2f}x",
              flush=True)
    if arguments.large_size:
        streaming = _threads.measure_streaming(
            _cases.simulate(*arguments.large_size, arguments.groups, arguments.seed), min(arguments.repeats, 3))
        print(f"\nplain fit at {_report.size_label(streaming.n, streaming.k)}, default threads: quorbis "
              f"{streaming.quorbis_seconds:.3f} s, statsmodels {streaming.statsmodels_seconds:.3f} s, ratio "
              f"{streaming.ratio:.1f}x; one iteration " + ", ".join(
                  f"{s * 1e3:.1f} ms at {t} thread(s)" for t, s in streaming.iteration_seconds.items())
              + f"; X @ b {streaming.matvec_seconds * 1e3:.1f} ms", flush=True)
    front = None
    if arguments.front_size:
        front = _front.measure_front_door(_cases.simulate(*arguments.front_size, arguments.groups, arguments.seed),
                                          arguments.repeats)
        print(f"\nfront door at {_report.size_label(front.n, front.k)}, default threads: probit {front.front_seconds:.4f} s "
              f"(design {front.design_seconds:.4f} s, fit {front.fit_seconds:.4f} s, the rest "
              f"{front.rest_seconds:.4f} s), fit_probit {front.raw_seconds:.4f} s, ratio {front.ratio:.2f}x",
              flush=True)
    variables = None
    if arguments.variables_rows:
        variables = _variables.measure_variables(arguments.variables_rows, arguments.seed, arguments.repeats, memory)
        growth = "" if variables.growth_bytes is None else \
            f", peak growth {variables.growth_bytes / _report.MIB:.1f} MiB (X {variables.x_bytes / _report.MIB:.0f} MiB)"
        print(f"\neffects of variables at {_report.size_label(variables.n, variables.k)}, default threads: ame() "
              f"{variables.ame_seconds:.4f} s, raw ame {variables.raw_seconds:.4f} s, ratio {variables.ratio:.2f}x"
              f"{growth}; predict(se=True) {variables.predict_seconds:.4f} s", flush=True)
    weighted = None
    if arguments.weights_size:
        weighted = _weighted.measure_weighted(_cases.simulate(*arguments.weights_size, arguments.groups, arguments.seed),
                                              arguments.repeats)
        print(f"\nweights and two-way clusters at {_report.size_label(weighted.n, weighted.k)}, default threads: " +
              "; ".join(f"{p.title} {p.seconds:.4f} s against {p.base_seconds:.4f} s, {p.ratio:.2f}x"
                        for p in weighted.pairs), flush=True)
    load_after = os.getloadavg()

    failures = [f"{_report.size_label(r.n, r.k)} {r.title} [{run}]: {a.what} deviates by {a.deviation:.3e} "
                f"> {a.bound:.1e}" for r in rows for run, a in r.agreements if not a.ok]
    if failures:
        print("\nFAILED: quorbis and statsmodels disagree:", *failures, sep="\n  ", file=sys.stderr)
        print("No report written.", file=sys.stderr)
        return 1
    missed = [f"{_report.size_label(r.n, r.k)} {r.title} ({r.setting})" for r in rows
              if r.speed_met is False or r.memory_met is False]
    if scaling is not None and not scaling.met:
        missed.append(f"{_report.size_label(scaling.n, scaling.k)} fit: 2 threads against 1")
    if streaming is not None and not streaming.met:
        missed.append(f"{_report.size_label(streaming.n, streaming.k)} fit (default threads)")
    if front is not None and front.met is False:
        missed.append(f"{_report.size_label(front.n, front.k)} probit() against fit_probit")
    if variables is not None and variables.met is False:
        missed.append(f"{_report.size_label(variables.n, variables.k)} ame() of variables, predict(se=True)")
    if weighted is not None and weighted.met is False:
        missed.append(f"{_report.size_label(weighted.n, weighted.k)} weighted and two-way clustered fits")
    if missed:
        print("\nTargets not met:", *missed, sep="\n  ")

    write_outputs(arguments, _report.Results(rows, scaling, streaming, front, variables, weighted), notes, blas_settings,
                  (load_before[0], load_after[0]))
    return 2 if missed and arguments.require_targets else 0


def write_outputs(arguments: argparse.Namespace, results: _report.Results, notes: list[str],
                  blas_settings: dict[str, str], load: tuple[float, float]) -> None:
    for path in (arguments.plot, arguments.results):
        if path:
            os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    if arguments.plot:
        try:
            _report.plot(arguments.plot, results.rows)
            print(f"wrote {arguments.plot}")
        except ImportError:
            notes.append("No chart: matplotlib is not installed (pip install -r benchmarks/requirements.txt).")
            print(f"note: {notes[-1]}", file=sys.stderr)
    if arguments.results:
        meta = {
            "command": "python benchmarks/run.py" + "".join(" " + shlex.quote(a) for a in sys.argv[1:]),
            "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
            "repeats": arguments.repeats,
            "machine": machine_info(),
            "environment": environment_notes(arguments, blas_settings, load),
            "method": method_notes(arguments),
            "chart": os.path.relpath(arguments.plot, os.path.dirname(os.path.abspath(arguments.results)))
            if arguments.plot and os.path.exists(arguments.plot) else None,
            "companions": companion_reports(),
        }
        with open(arguments.results, "w") as out:
            out.write(_report.markdown(meta, results, notes))
        print(f"wrote {arguments.results}")


# Reports that other commands write beside this one, copied into it so that one file holds every figure.
COMPANIONS = (("python benchmarks/run.py --panel", "fixed_effects.md"),
              ("python benchmarks/monte_carlo.py", "monte_carlo.md"))


def companion_reports() -> list[tuple[str, str]]:
    here = os.path.dirname(os.path.abspath(__file__))
    found = []
    for command, name in COMPANIONS:
        path = os.path.join(here, name)
        if os.path.exists(path):
            with open(path) as report:
                found.append((command, report.read()))
    return found


def blas_description() -> str:
    try:
        import threadpoolctl
    except ImportError:
        blas = np.show_config(mode="dicts")["Build Dependencies"]["blas"]
        return (f"NumPy built with {blas.get('name')} {blas.get('version')} (install threadpoolctl to see the "
                "kernel and thread count in use)")
    import scipy.linalg  # noqa: F401  (loads SciPy's own BLAS, which statsmodels also uses)

    described = []
    for library in threadpoolctl.threadpool_info():
        owner = os.path.basename(os.path.dirname(library["filepath"])).removesuffix(".libs")
        described.append(
            f"{library['internal_api']} {library['version']} loaded by {owner}: kernel "
            f"{library.get('architecture') or '?'}, {library.get('threading_layer') or '?'} threading, "
            f"{library['num_threads']} thread(s)")
    return "; ".join(described) or "no BLAS library reported by threadpoolctl"


def machine_info() -> dict[str, str]:
    cpu = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            cpu = next(line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    versions = []
    for package in ("quorbis", "numpy", "scipy", "pandas", "statsmodels"):
        try:
            versions.append(f"{package} {importlib.metadata.version(package)}")
        except importlib.metadata.PackageNotFoundError:
            versions.append(f"{package} (no metadata)")
    return {
        "CPU": f"{cpu}, {os.cpu_count()} logical cores",
        "OS": platform.platform(),
        "Python": f"{platform.python_implementation()} {platform.python_version()}",
        "Packages": ", ".join(versions),
        "BLAS of NumPy and SciPy (so of statsmodels)": blas_description(),
    }


def environment_notes(arguments: argparse.Namespace, blas_settings: dict[str, str],
                      load: tuple[float, float]) -> list[str]:
    notes = ["Two settings. Single-threaded: the BLAS thread pools under NumPy and SciPy (so statsmodels') are "
             "capped at 1 with threadpoolctl and quorbis runs with `set_num_threads(1)`. Default threads: "
             f"quorbis at its default ({_threads.DEFAULT_QUORBIS_THREADS} threads here, from the CPUs the process "
             "may use) and the BLAS at its own default."]
    if blas_settings:
        notes.append(f"Run with {', '.join(f'{k}={v}' for k, v in blas_settings.items())} set, which makes NumPy's "
                     "OpenBLAS run a slower kernel: statsmodels' times here are pessimistic.")
    else:
        notes.append("OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE were not set for the run, so OpenBLAS picked its "
                     "kernel for this CPU itself (shown under BLAS above). Where a machine sets them, they slow "
                     "NumPy's OpenBLAS: run the benchmark as `env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "
                     "python benchmarks/run.py`, which unsets both for that command only; tests and CI keep the "
                     "machine's settings.")
    notes.append(f"Load average (1 min) {load[0]:.2f} before and {load[1]:.2f} after the timed runs "
                 f"({os.cpu_count()} cores; a figure near 1 means the benchmark ran alone).")
    if max(load) > 1.5:
        notes.append("Other work shared the cores during this run, which stretches wall-clock times unevenly: "
                     "the CPU-time ratios are the steadier figures here.")
    return notes


def method_notes(arguments: argparse.Namespace) -> list[str]:
    return [
        "Data: an intercept, one 0/1 dummy column (P = 0.4) and k − 2 standard normal columns, C-contiguous "
        "float64; the outcome from a latent normal model with a N(0, 0.3²) effect per cluster; "
        f"{arguments.groups} clusters, ids drawn uniformly; seed {arguments.seed}.",
        "quorbis: `fit_probit(y, X)`, `fit_probit(y, X, robust=True)`, `fit_probit(y, X, robust=True, "
        f"cluster_vars=g[:, None].astype(float))`, `ame(r)` and `ame(r, chunk_size={arguments.chunk_size})` "
        "with r the result of `fit_probit(y, X)`; defaults otherwise.",
        "statsmodels: `Probit(y, X).fit(disp=0)`, `.fit(disp=0, cov_type=\"HC0\")` and `.fit(disp=0, "
        "cov_type=\"cluster\", cov_kwds={\"groups\": g, \"use_correction\": False})`, model construction "
        "included; `res.get_margeff(at=\"overall\", method=\"dydx\", dummy=True).summary_frame()` with res the "
        "classical fit (the fit not timed, as for quorbis' ame).",
        f"Time: wall clock (`time.perf_counter`) of each call, {arguments.repeats} runs, median kept, with a "
        "garbage collection before each run; both tools are called once on small data first so that lazy "
        "imports are not timed. The ratio of the median CPU times (`time.process_time`) is shown beside: with "
        "both tools single-threaded it equals the wall-clock ratio on an idle machine, and it is the steadier "
        "figure when other work shares the cores (with several threads it counts all of them).",
        "Memory: the peak growth of the resident set during one call, in a fresh child process per tool and "
        "call: VmHWM reset through /proc/self/clear_refs, minus VmRSS before the call, with glibc's mmap "
        "threshold fixed so that freed blocks cannot be reused unseen. It counts all memory, also what "
        "tracemalloc cannot see (quorbis' aligned buffers), and what the result keeps (a fit keeps a copy of X).",
        "Agreement: the timed results (quorbis at its default tol=1e-6) must match statsmodels to "
        f"{_checks.LOOSE_BOUND:.1e}, and a quorbis fit with tol={_checks.TIGHT_TOL:g} and "
        f"max_iter={_checks.TIGHT_MAX_ITER} (and ame on it) to {_checks.TIGHT_BOUND:.1e}; coefficients and "
        "effects in units of statsmodels' standard errors, standard errors relatively (about 3·√(2·tol): how far "
        "from the maximum a fit that stops on a log-likelihood change below tol can be). The ame rows compared "
        "are statsmodels' rows: quorbis names the columns x0, x1, … and so also reports the intercept column x0 "
        "as a 0/1 column, which statsmodels leaves out as the constant.",
    ]
