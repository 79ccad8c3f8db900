"""The benchmark's outputs: a Markdown report and a bar chart of the speed ratios."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Any

from _checks import Agreement

MIB = 1024.0 * 1024.0


@dataclass
class Row:
    n: int
    k: int
    case: str
    title: str
    x_nbytes: int
    quorbis_seconds: float
    statsmodels_seconds: float
    quorbis_cpu: float
    statsmodels_cpu: float
    statsmodels_shared: bool  # statsmodels' time and memory are another row's (same call)
    setting: str = "single-threaded"  # a key of _threads.SETTINGS
    quorbis_memory: int | None = None  # peak growth in bytes
    statsmodels_memory: int | None = None
    speed_target: float | None = None  # required ratio, where a target applies
    memory_target: float | None = None  # allowed quorbis growth as a multiple of X.nbytes
    agreements: list[tuple[str, Agreement]] = field(default_factory=list)  # (which run, result)

    @property
    def ratio(self) -> float:
        return self.statsmodels_seconds / self.quorbis_seconds if self.quorbis_seconds > 0 else float("inf")

    @property
    def cpu_ratio(self) -> float:
        return self.statsmodels_cpu / self.quorbis_cpu if self.quorbis_cpu > 0 else float("inf")

    @property
    def speed_met(self) -> bool | None:
        return None if self.speed_target is None else self.ratio >= self.speed_target

    @property
    def memory_met(self) -> bool | None:
        if self.memory_target is None or self.quorbis_memory is None:
            return None
        return self.quorbis_memory <= self.memory_target * self.x_nbytes


@dataclass
class Results:
    rows: list[Row]
    scaling: Any = None  # _threads.Scaling, when measured
    streaming: Any = None  # _threads.Streaming, when measured
    front: Any = None  # _front.FrontDoor, when measured
    variables: Any = None  # _variables.Variables, when measured
    weighted: Any = None  # _weighted.Weighted, when measured


def size_label(n: int, k: int) -> str:
    return f"n={n:_}, k={k}"


def _seconds(value: float) -> str:
    return f"{value:.4f}" if value < 1.0 else f"{value:.3f}"


def _memory(value: int | None, x_nbytes: int) -> str:
    if value is None:
        return "n/a"
    return f"{value / MIB:.1f} MiB ({value / x_nbytes:.3f}× X)"


def _verdict(met: bool | None, text: str) -> str:
    if met is None:
        return "–"
    return f"{text}: {'met' if met else 'NOT met'}"


def _threads_sections(results: Results) -> list[str]:
    lines = []
    scaling, streaming = results.scaling, results.streaming
    if scaling is not None:
        lines += [
            "",
            "## quorbis on 1 and 2 threads",
            "",
            "| size | call | 1 thread (s) | 2 threads (s) | speed-up | target |",
            "|---|---|---:|---:|---:|---|",
            f"| {size_label(scaling.n, scaling.k)} | fit | {_seconds(scaling.seconds[1])} "
            f"| {_seconds(scaling.seconds[2])} | {scaling.speedup:.2f}× | {_verdict(scaling.met, '≥ 1.7×')} |",
        ]
    if streaming is not None:
        iterations = ", ".join(f"{seconds * 1e3:.1f} ms on {threads} thread(s) "
                               f"({seconds * 1e9 / streaming.n:.1f} ns a row)"
                               for threads, seconds in streaming.iteration_seconds.items())
        lines += [
            "",
            f"## Beyond the cache: {size_label(streaming.n, streaming.k)} "
            f"(X is {streaming.x_nbytes / MIB:.0f} MiB), plain fit, default threads",
            "",
            "| quorbis (s) | statsmodels (s) | ratio | target | one iteration of quorbis | NumPy X @ b |",
            "|---:|---:|---:|---|---|---:|",
            f"| {_seconds(streaming.quorbis_seconds)} | {_seconds(streaming.statsmodels_seconds)} "
            f"| {streaming.ratio:.1f}× | {_verdict(streaming.met, '≥ 12×')} | {iterations} "
            f"| {streaming.matvec_seconds * 1e3:.1f} ms |",
            "",
            "One iteration is one pass over X for the log-likelihood and its gradient (the difference of fits "
            "stopped after 3 and after 1 iterations, halved); X @ b reads the same Fortran-ordered X once, the "
            "floor for any pass.",
        ]
    front = results.front
    if front is not None:
        lines += [
            "",
            f"## The front door: `probit(\"y ~ x1 + … + x{front.k - 1}\", df)` against `fit_probit(y, X)`, "
            f"{size_label(front.n, front.k)}, default threads",
            "",
            "| fit_probit (s) | probit (s) | ratio | target | of probit: design | fit | checks and result |",
            "|---:|---:|---:|---|---:|---:|---:|",
            f"| {_seconds(front.raw_seconds)} | {_seconds(front.front_seconds)} | {front.ratio:.2f}× "
            f"| {_verdict(front.met, '≤ 1.3×')} | {_seconds(front.design_seconds)} | {_seconds(front.fit_seconds)} "
            f"| {_seconds(front.rest_seconds)} |",
            "",
            "probit builds the design matrix from the DataFrame's columns once, in the layout the fit reads in place "
            "(fit_probit copies the caller's X), and polishes the estimate with Newton steps to the maximum; the "
            "design and the fit are timed alone beside it, the rest is the checks after the fit and the result "
            f"object. The two estimates agree to {front.agreement:.1e} standard errors (fit_probit stops at its "
            "tolerance).",
        ]
    return lines + _variables_section(results.variables) + _weighted_section(results.weighted)


def _weighted_section(weighted: Any) -> list[str]:
    if weighted is None:
        return []
    lines = ["", f"## Weights and two-way clusters: `probit(\"y ~ x1 + … + x{weighted.k - 1}\", df, ...)`, "
             f"{size_label(weighted.n, weighted.k)}, default threads", "",
             "| fits | without (s) | with (s) | ratio | target | iterations without, with | ratio per iteration |",
             "|---|---:|---:|---:|---|---:|---:|"]
    for pair in weighted.pairs:
        met = None if (weighted.n, weighted.k) != (1_000_000, 10) else pair.ratio <= pair.target
        lines.append(f"| {pair.title} | {_seconds(pair.base_seconds)} | {_seconds(pair.seconds)} | {pair.ratio:.2f}× "
                     f"| {_verdict(met, f'≤ {pair.target:g}×')} | {pair.base_iterations}, {pair.iterations} "
                     f"| {pair.iteration_ratio:.2f}× |")
    lines += ["", "The same formula and rows each time; the weights are uniform on [0.5, 2] (probability) or "
              "whole numbers 1 to 3 (frequency), the second clustering dimension 20 years beside the 500 firms. "
              "A weighted fit maximises another log-likelihood, Σw/n times as large, under the same absolute "
              "tolerance on its change, so it may take another iteration; the last column divides that out."]
    return lines


def _variables_section(variables: Any) -> list[str]:
    if variables is None:
        return []
    growth = "–" if variables.growth_bytes is None else f"{variables.growth_bytes / MIB:.1f} MiB"
    return [
        "",
        f"## Effects of variables: `ame()` of `y ~ x1 + … + x9 + I(x1**2) + x2:x3 + C(g)` (5 levels), "
        f"{size_label(variables.n, variables.k)}, default threads",
        "",
        "| raw `ame` (s) | `ame()` (s) | ratio | peak growth of `ame()` | X | `predict(se=True)` (s) | targets |",
        "|---:|---:|---:|---:|---:|---:|---|",
        f"| {_seconds(variables.raw_seconds)} | {_seconds(variables.ame_seconds)} | {variables.ratio:.2f}× "
        f"| {growth} | {variables.x_bytes / MIB:.0f} MiB | {_seconds(variables.predict_seconds)} "
        f"| {_verdict(variables.met, '≤ 3×, ≤ 0.05 X + 16 MiB, ≤ 0.1 s')} |",
        "",
        "The raw `ame` gives one row per column of the same design matrix; `ame()` one per variable (x1 through "
        "its square, x2 and x3 through their product, a contrast per level of g), reading the DataFrame again in "
        "chunks of 65,536 rows. `predict(se=True)` gives Φ(x·b), its delta-method error and interval per fitted row.",
    ]


def markdown(meta: dict[str, Any], results: Results, notes: list[str]) -> str:
    rows = results.rows
    lines = [
        "# quorbis against statsmodels: speed, memory and agreement",
        "",
        f"Produced by `{meta['command']}` on {meta['date']}, in one process run "
        f"(memory in one child process per measured call). Median of {meta['repeats']} run(s) per call. "
        "The ratio is statsmodels' time divided by quorbis' time (how many times faster quorbis is).",
        "",
        *([f"![speed ratios]({meta['chart']})", ""] if meta.get("chart") else []),
        "## Machine and software",
        "",
    ]
    lines += [f"- {key}: {value}" for key, value in meta["machine"].items()]
    lines += ["", "## Environment", ""]
    lines += [f"- {item}" for item in meta["environment"]]
    if notes:
        lines += ["", "## Notes", ""]
        lines += [f"- {note}" for note in notes]

    lines += [
        "",
        "## Speed",
        "",
        "| threads | size | call | quorbis (s) | statsmodels (s) | ratio | CPU-time ratio | target |",
        "|---|---|---|---:|---:|---:|---:|---|",
    ]
    for row in rows:
        statsmodels = _seconds(row.statsmodels_seconds) + (" (same call as ame)" if row.statsmodels_shared else "")
        target = _verdict(row.speed_met, f"≥ {row.speed_target:g}×") if row.speed_target else "–"
        lines.append(
            f"| {row.setting} | {size_label(row.n, row.k)} | {row.title} | {_seconds(row.quorbis_seconds)} "
            f"| {statsmodels} | {row.ratio:.1f}× | {row.cpu_ratio:.1f}× | {target} |"
        )
    lines += _threads_sections(results)

    lines += [
        "",
        "## Peak memory growth of one call",
        "",
        "| size | call | X.nbytes | quorbis | statsmodels | target |",
        "|---|---|---:|---:|---:|---|",
    ]
    for row in (row for row in rows if row.quorbis_memory is not None):
        statsmodels = _memory(row.statsmodels_memory, row.x_nbytes)
        if row.statsmodels_shared:
            statsmodels += " (same call as ame)"
        target = _verdict(row.memory_met, f"≤ {row.memory_target:g}× X") if row.memory_target else "–"
        lines.append(
            f"| {size_label(row.n, row.k)} | {row.title} | {row.x_nbytes / MIB:.1f} MiB "
            f"| {_memory(row.quorbis_memory, row.x_nbytes)} | {statsmodels} | {target} |"
        )

    lines += [
        "",
        "## Agreement with statsmodels",
        "",
        "| size | call | quorbis run | quantity | largest deviation | bound | |",
        "|---|---|---|---|---:|---:|---|",
    ]
    for row in rows:
        for run, agreement in row.agreements:
            lines.append(
                f"| {size_label(row.n, row.k)} | {row.title} ({row.setting}) | {run} | {agreement.what} "
                f"| {agreement.deviation:.2e} | {agreement.bound:.1e} | {'ok' if agreement.ok else 'FAILED'} |"
            )

    lines += ["", "## How it is measured", ""]
    lines += [f"- {item}" for item in meta["method"]]
    for command, text in meta.get("companions", []):
        lines += ["", *_demoted(text).splitlines(), "", f"(Recorded by `{command}`; copied here when this file was written.)"]
    return "\n".join(lines) + "\n"


def _demoted(markdown_text: str) -> str:
    """Another report's Markdown with each heading one level lower, to sit under this one's title."""
    return re.sub(r"^#", "##", markdown_text.strip(), flags=re.MULTILINE)


def plot(path: str, rows: list[Row]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    settings = list(dict.fromkeys(row.setting for row in rows))
    titles = list(dict.fromkeys(row.title for row in rows))
    figure, panels = plt.subplots(len(settings), 1, figsize=(max(7.5, 1.9 * len(titles)), 4.0 * len(settings)),
                                  layout="constrained", squeeze=False)
    for setting, axes in zip(settings, panels[:, 0]):
        _plot_panel(axes, [row for row in rows if row.setting == setting], titles)
        axes.set_title(f"How many times faster quorbis is than statsmodels, {setting}", fontsize=10)
    figure.savefig(path, dpi=120)
    plt.close(figure)


def _plot_panel(axes: Any, rows: list[Row], titles: list[str]) -> None:
    sizes = list(dict.fromkeys((row.n, row.k) for row in rows))
    width = 0.8 / len(sizes)

    def position(row: Row) -> float:
        return titles.index(row.title) + (sizes.index((row.n, row.k)) - (len(sizes) - 1) / 2) * width

    for size in sizes:
        bars_rows = [row for row in rows if (row.n, row.k) == size]
        bars = axes.bar([position(row) for row in bars_rows], [row.ratio for row in bars_rows], width,
                        label=size_label(*size))
        axes.bar_label(bars, labels=[f"{row.ratio:.1f}×" for row in bars_rows], fontsize=7, padding=2)
    targeted = [row for row in rows if row.speed_target]
    for index, row in enumerate(targeted):  # a target applies to a call at some sizes only
        axes.hlines(row.speed_target, position(row) - width / 2, position(row) + width / 2, colors="black",
                    linestyles="--", linewidth=1.2, label="target" if index == 0 else None)
    axes.axhline(1.0, color="black", linewidth=0.8)
    axes.set_yscale("log")
    axes.set_xticks(range(len(titles)), titles, fontsize=8)
    axes.set_ylabel("statsmodels time / quorbis time (log scale)")
    axes.legend(fontsize=8)
