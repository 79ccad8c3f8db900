"""The benchmark's outputs: a Markdown report and a bar chart of the speed ratios."""

from __future__ import annotations

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


def markdown(meta: dict[str, Any], rows: list[Row], notes: list[str]) -> str:
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
        "| size | call | quorbis (s) | statsmodels (s) | ratio | CPU-time ratio | target |",
        "|---|---|---:|---:|---:|---:|---|",
    ]
    for row in rows:
        statsmodels = _seconds(row.statsmodels_seconds) + (" (same call as ame)" if row.statsmodels_shared else "")
        target = _verdict(row.speed_met, f"≥ {row.speed_target:g}×") if row.speed_target else "–"
        lines.append(
            f"| {size_label(row.n, row.k)} | {row.title} | {_seconds(row.quorbis_seconds)} | {statsmodels} "
            f"| {row.ratio:.1f}× | {row.cpu_ratio:.1f}× | {target} |"
        )

    lines += [
        "",
        "## Peak memory growth of one call",
        "",
        "| size | call | X.nbytes | quorbis | statsmodels | target |",
        "|---|---|---:|---:|---:|---|",
    ]
    for row in rows:
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
                f"| {size_label(row.n, row.k)} | {row.title} | {run} | {agreement.what} "
                f"| {agreement.deviation:.2e} | {agreement.bound:.1e} | {'ok' if agreement.ok else 'FAILED'} |"
            )

    lines += ["", "## How it is measured", ""]
    lines += [f"- {item}" for item in meta["method"]]
    return "\n".join(lines) + "\n"


def plot(path: str, rows: list[Row]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    titles = list(dict.fromkeys(row.title for row in rows))
    sizes = list(dict.fromkeys((row.n, row.k) for row in rows))
    width = 0.8 / len(sizes)

    def position(row: Row) -> float:
        return titles.index(row.title) + (sizes.index((row.n, row.k)) - (len(sizes) - 1) / 2) * width

    figure, axes = plt.subplots(figsize=(max(7.5, 1.9 * len(titles)), 4.5), layout="constrained")
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
    axes.set_title("How many times faster quorbis is than statsmodels, single-threaded", fontsize=10)
    axes.legend(fontsize=8)
    figure.savefig(path, dpi=120)
    plt.close(figure)
