#!/usr/bin/env python
"""Times quorbis against statsmodels on the same simulated probit data, side by side.

For each size and call it prints the median times of both tools and their ratio, measures the
peak resident-memory growth of each call, checks that the two tools give the same numbers (and
fails if they do not), and writes a Markdown report and a bar chart of the ratios.

    python benchmarks/run.py                                   # the default sizes
    python benchmarks/run.py --sizes 20000x10 --repeats 3      # a quick run
    python benchmarks/run.py --cases fit,ame --no-memory
    python benchmarks/run.py --quick                           # a smoke test of the script, no report
    python benchmarks/run.py --panel                           # fixed effects: firm and year effects

Every call is timed twice: single-threaded (the BLAS under statsmodels capped at 1 thread with
threadpoolctl, quorbis set to 1 thread) and at default threads (both tools as installed). Then
quorbis' plain fit on 1 against 2 threads (--scaling-size), a plain fit on data beyond the cache
(--large-size) with the time of one pass beside NumPy's X @ b, the front door, probit() with a
formula on a DataFrame, against fit_probit on the same rows (--front-size), and the effects of a
formula's variables against the per-column effects, with predictions and their errors
(--variables-rows), and weighted and two-way clustered fits against those without (--weights-size).
On machines that set
OPENBLAS_CORETYPE or OPENBLAS_L2_SIZE, run it with both unset in this command only, so that
NumPy's OpenBLAS picks its own kernel for the CPU:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/run.py

The chart needs matplotlib and the thread settings threadpoolctl (pip install -r
benchmarks/requirements.txt); without matplotlib the script still measures and writes the report.
"""

from __future__ import annotations

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_SIZES = "100000x10,1000000x10,200000x50"
CASE_NAMES = ("fit", "hc0", "cluster", "ame", "ame_chunked")
BLAS_VARIABLES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
QUICK = ["--sizes", "20000x5", "--repeats", "1", "--no-memory", "--scaling-size", "20000x5", "--large-size",
         "50000x10", "--front-size", "20000x5", "--variables-rows", "20000", "--weights-size", "20000x5", "--results", "",
         "--plot", ""]


def parse_sizes(text: str) -> list[tuple[int, int]]:
    sizes = []
    for item in text.split(","):
        try:
            n, k = (int(float(part)) for part in item.lower().split("x"))
        except ValueError:
            raise argparse.ArgumentTypeError(f"size {item!r} is not of the form NxK, e.g. 100000x10") from None
        if n < 10 or k < 3:
            raise argparse.ArgumentTypeError(f"size {item!r}: need n >= 10 and k >= 3")
        sizes.append((n, k))
    return sizes


def parse_size_or_none(text: str) -> tuple[int, int] | None:
    return parse_sizes(text)[0] if text else None


def parse_cases(text: str) -> list[str]:
    cases = [case.strip() for case in text.split(",") if case.strip()]
    unknown = [case for case in cases if case not in CASE_NAMES]
    if unknown or not cases:
        raise argparse.ArgumentTypeError(f"cases must be a comma-separated subset of {','.join(CASE_NAMES)}")
    return cases


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--sizes", type=parse_sizes, default=DEFAULT_SIZES,
                        help="comma-separated NxK: rows x columns (1e6x10 works too)")
    # Five runs: on a shared machine one or two runs of a call may be slowed by the neighbours.
    parser.add_argument("--repeats", type=int, default=5, help="timed runs per call; the median is kept")
    parser.add_argument("--cases", type=parse_cases, default=",".join(CASE_NAMES),
                        help="comma-separated subset of the calls to time")
    parser.add_argument("--groups", type=int, default=500, help="number of clusters")
    parser.add_argument("--chunk-size", type=int, default=10_000, help="chunk_size of the chunked ame")
    parser.add_argument("--seed", type=int, default=20240601, help="seed of the simulated data")
    parser.add_argument("--scaling-size", type=parse_size_or_none, default="1000000x10",
                        help="NxK of quorbis' fit on 1 and 2 threads ('' to skip)")
    parser.add_argument("--large-size", type=parse_size_or_none, default="10000000x10",
                        help="NxK of the plain fit beyond the cache ('' to skip)")
    parser.add_argument("--front-size", type=parse_size_or_none, default="1000000x10",
                        help="NxK of probit() with a formula against fit_probit ('' to skip)")
    parser.add_argument("--variables-rows", type=int, default=1_000_000,
                        help="rows of ame() of a formula's variables against the per-column ame (0 to skip)")
    parser.add_argument("--weights-size", type=parse_size_or_none, default="1000000x10",
                        help="NxK of probit() with weights and two-way clusters against without ('' to skip)")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke test on small data: " + " ".join(QUICK) + " (later options win)")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurements")
    parser.add_argument("--require-targets", action="store_true",
                        help="exit with status 2 when a speed or memory target is not met")
    parser.add_argument("--results", default=os.path.join(HERE, "RESULTS.md"),
                        help="Markdown report to write ('' for none)")
    parser.add_argument("--plot", default=os.path.join(HERE, "ratios.png"),
                        help="PNG chart of the speed ratios ('' for none)")
    panel = parser.add_argument_group("fixed effects (--panel times these instead of the plain fits)")
    panel.add_argument("--panel", action="store_true", help="time probits with firm and year effects")
    panel.add_argument("--panel-size", type=lambda t: _panel_shape(t), default="1000000x9:10000x20",
                       help="NxK:FIRMSxYEARS, against pyfixest's feglm when installed, with the peak memory")
    panel.add_argument("--panel-large", type=lambda t: _panel_shape(t), default="10000000x9:100000x20",
                       help="NxK:FIRMSxYEARS of one more fit ('' to skip)")
    panel.add_argument("--panel-results", default=os.path.join(HERE, "fixed_effects.md"),
                       help="Markdown file of the fixed-effects rows ('' for none)")
    arguments = parser.parse_args(QUICK + argv if "--quick" in argv else argv)
    if min(arguments.repeats, arguments.groups, arguments.chunk_size) < 1:
        parser.error("--repeats, --groups and --chunk-size must be at least 1")
    return arguments


def _panel_shape(text: str) -> tuple[int, int, int, int] | None:
    sys.path.insert(0, HERE)
    import _panel

    return _panel.parse_panel(text)


def main(argv: list[str]) -> int:
    arguments = parse_arguments(argv)
    if arguments.panel:
        sys.path.insert(0, HERE)
        import _panel

        return _panel.run(arguments)
    blas_settings = {variable: os.environ[variable] for variable in BLAS_VARIABLES if variable in os.environ}
    if blas_settings:
        print(f"warning: {', '.join(f'{k}={v}' for k, v in blas_settings.items())} set: NumPy's OpenBLAS runs a "
              "slower kernel than this CPU allows. For a fair comparison run\n"
              f"  env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python {' '.join(sys.argv)}", file=sys.stderr)
    sys.path.insert(0, HERE)
    import _runner

    return _runner.run(arguments, blas_settings)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
