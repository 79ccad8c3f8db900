"""A cluster-robust probit fit and its average marginal effects on data larger than any worker's memory.

A distributed.LocalCluster of 2 worker processes with 1 thread each, each limited to --worker-memory
bytes, fits rows that are generated lazily, block by block, on the workers (never stored anywhere), and
reports the time per pass over the rows, the total time, the workers' peak resident memory and, when the
data fit in memory (--in-memory-max), the ratio to the in-memory fit of the same rows.

    python benchmarks/dask_scale.py                 # 5e7 x 10, 4 GB of regressors
    python benchmarks/dask_scale.py --rows 2e6      # a quick check

Pointing the same code at a real cluster changes only the Client: distributed.Client("tcp://scheduler:8786").
The recorded runs are in benchmarks/dask_scale.md, which the documentation includes.
"""

import argparse
import resource
import time

import dask
import dask.array as da
import distributed
import numpy as np

import quorbis
import quorbis.dask as qd

K = 10
CLUSTERS = 10_000


def lazy_data(rows, block_rows, seed=1):
    """y, X (an intercept and K - 1 normal columns) and a cluster id per row, none of it computed yet."""
    rng = da.random.default_rng(seed)
    chunks = (block_rows, -1)
    X = da.concatenate([da.ones((rows, 1), chunks=chunks), rng.standard_normal((rows, K - 1), chunks=chunks)], axis=1)
    X = X.rechunk({0: block_rows, 1: -1})
    y = ((X @ np.linspace(-0.4, 0.4, K) + rng.standard_normal(rows, chunks=block_rows)) > 0).astype(float)
    groups = da.floor(rng.uniform(0, CLUSTERS, size=(rows, 1), chunks=chunks))
    return y, X, groups


class PassTimer:
    """Times each Dask computation of the driver: one per pass of the fit over the rows."""

    def __init__(self):
        self.times = []
        self._reduce = qd._reduce

    def __enter__(self):
        def timed(*args):
            start = time.perf_counter()
            try:
                return self._reduce(*args)
            finally:
                self.times.append(time.perf_counter() - start)

        qd._reduce = timed
        return self

    def __exit__(self, *exc):
        qd._reduce = self._reduce


def peak_rss(dask_worker=None):
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # kilobytes on Linux


def in_memory_seconds(y, X, groups):
    yn, Xn, gn = dask.compute(y, X, groups)
    start = time.perf_counter()
    result = quorbis.fit_probit(yn, Xn, robust=True, cluster_vars=gn)
    quorbis.ame(result)
    return time.perf_counter() - start, result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=float, default=5e7, help="rows of data (default 5e7: 4 GB of regressors)")
    parser.add_argument("--block-rows", type=float, default=1e6, help="rows per Dask block (default 1e6: 80 MB)")
    parser.add_argument("--worker-memory", default="1.5GiB", help="memory limit of each worker (default 1.5GiB)")
    parser.add_argument("--in-memory-max", type=float, default=1e9,
                        help="compare with the in-memory fit when X has at most this many bytes (default 1e9)")
    args = parser.parse_args()
    rows, block_rows = int(args.rows), int(args.block_rows)
    y, X, groups = lazy_data(rows, block_rows)

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit=args.worker_memory,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        client.run(lambda: quorbis.set_num_threads(1))
        start = time.perf_counter()
        with PassTimer() as passes:
            result = qd.fit_probit(y, X, robust=True, cluster_vars=groups)
            fitted = time.perf_counter() - start
            effects = qd.ame(result)
        total = time.perf_counter() - start
        peaks = client.run(peak_rss)
        start = time.perf_counter()
        dask.compute(y.sum(), X.sum(), groups.sum())
        generation = time.perf_counter() - start

    print(f"rows: {rows:.3g} x {K} ({X.nbytes / 1e9:.2f} GB of regressors) in blocks of {block_rows:.3g} rows, "
          f"{CLUSTERS} clusters; 2 workers x 1 thread, {args.worker_memory} each")
    print()
    print("| measure | value |")
    print("|---|---|")
    print(f"| passes of the fit (incl. the covariance's) | {len(passes.times)} (+1 for ame, +1 for its dummy check) |")
    print(f"| time per pass, median (min-max) | {np.median(passes.times):.2f} s "
          f"({min(passes.times):.2f}-{max(passes.times):.2f}) |")
    print(f"| generating the rows alone, once | {generation:.2f} s |")
    print(f"| fit with cluster-robust covariance | {fitted:.1f} s |")
    print(f"| fit + ame total | {total:.1f} s |")
    print(f"| workers' peak resident memory | {', '.join(f'{p / 2**20:.0f} MiB' for p in peaks.values())} |")
    if X.nbytes <= args.in_memory_max:
        seconds, in_memory = in_memory_seconds(y, X, groups)
        print(f"| in-memory fit + ame, same rows (all cores) | {seconds:.1f} s |")
        print(f"| ratio Dask / in-memory (with / without generating the rows each pass) | {total / seconds:.1f} / "
              f"{(total - (len(passes.times) + 2) * generation) / seconds:.1f} |")
        print(f"| largest relative difference of the estimates | "
              f"{np.max(np.abs(result.params - in_memory.params) / np.abs(in_memory.params)):.1e} |")
    else:
        print("| in-memory fit | not run: X is larger than --in-memory-max |")
    print()
    print(effects.round(5).to_string())


if __name__ == "__main__":
    main()
