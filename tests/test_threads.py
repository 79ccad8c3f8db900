"""The worker threads: results independent of their number, the interpreter free while they compute,
Ctrl-C honoured, and a forked child served by a pool of its own."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import pytest
from conftest import cluster_ids, simulate

import quorbis

# Not a multiple of any power-of-two block of rows, and many blocks long.
N = 3 * 4096 + 2 * 256 + 37


Y, X = simulate(N, 6, 3, dummy=True)
GROUPS = cluster_ids(N, 500, 4)


@pytest.fixture
def threads():
    before = quorbis.get_num_threads()
    yield quorbis.set_num_threads
    quorbis.set_num_threads(before)


def _run_python(code, timeout=300, **env):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=timeout, env={**os.environ, **env})
    assert result.returncode == 0, result.stderr
    return result.stdout


def _everything(fit_kwargs, chunk_size):
    r = quorbis.fit_probit(Y, X, **fit_kwargs)
    table = quorbis.ame(r, chunk_size=chunk_size)
    # The effects of variables and the predictions with errors, through the kernels behind them.
    derivative = np.array([[1, 1.0, -1], [2, 2.0, 0]])
    sums = quorbis._quorbis._margin_sums(X, r.params, [np.ascontiguousarray(X[:, 1])], [np.zeros((0, 3))], [0],
                                         [(0, derivative)])
    rows = quorbis._quorbis._predict(X, r.params, r.cov_params(), 1.96)
    return r.params, r.cov_params(), r.loglike, r.iterations, table, np.concatenate([*sums[:2], rows], axis=None)


@pytest.mark.parametrize(
    "fit_kwargs, chunk_size",
    [({}, None), ({"robust": True}, 5000), ({"robust": True, "cluster_vars": GROUPS}, 300)],
    ids=["classical", "robust", "clustered"],
)
def test_results_are_bit_identical_for_any_number_of_threads(threads, fit_kwargs, chunk_size):
    runs = []
    for n in (1, 2, 3, 8):
        threads(n)
        runs.append(_everything(fit_kwargs, chunk_size))
    for params, cov, loglike, iterations, table, margins in runs[1:]:
        np.testing.assert_array_equal(params, runs[0][0])
        np.testing.assert_array_equal(cov, runs[0][1])
        assert (loglike, iterations) == runs[0][2:4]
        pd.testing.assert_frame_equal(table, runs[0][4], check_exact=True)
        assert margins.tobytes() == runs[0][5].tobytes()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts the threads in /proc")
def test_the_pool_has_the_threads_set(threads):
    def os_threads():
        return len(os.listdir("/proc/self/task"))

    threads(1)
    quorbis.fit_probit(Y, X)
    alone = os_threads()
    threads(4)
    quorbis.fit_probit(Y, X)
    assert os_threads() == alone + 3


@pytest.mark.parametrize("n, error", [(0, ValueError), (1025, ValueError), (-1, OverflowError), ("2", TypeError)])
def test_set_num_threads_refuses(n, error):
    with pytest.raises(error):
        quorbis.set_num_threads(n)


@pytest.mark.parametrize("value, expected", [("3", 3), ("1", 1), ("5000", 1024), ("zero", None), ("0", None),
                                             ("-1", None), ("+2", None), (" 2", None), ("2 ", None)])
def test_environment_sets_the_default(value, expected):
    code = "import quorbis; print(quorbis.get_num_threads())"
    count = int(_run_python(code, QUORBIS_NUM_THREADS=value))
    # Anything but a positive whole number leaves the default: the CPUs this process may use.
    assert count == expected if expected is not None else count == int(_run_python(code, QUORBIS_NUM_THREADS=""))


@pytest.fixture
def long_switch_interval():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    yield
    sys.setswitchinterval(before)


def test_other_python_threads_run_during_a_fit(threads, long_switch_interval):
    # With a switch interval far longer than the test, this thread gives the interpreter up only where
    # it blocks: the counter's turns between the two reads can only happen while the fit runs unlocked.
    threads(2)
    y, x = simulate(200_000, 10, 3, dummy=True)
    turns, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            turns[0] += 1
            time.sleep(0)  # hands the interpreter back at once

    counter = threading.Thread(target=count)
    counter.start()
    try:
        before = turns[0]
        quorbis.fit_probit(y, x, tol=0.0, max_iter=20)
        during = turns[0] - before
    finally:
        stop.set()
        counter.join()
    assert during > 10


def test_fits_in_two_threads_agree_with_one_in_a_row(threads):
    threads(2)
    expected = _everything({"robust": True, "cluster_vars": GROUPS}, None)
    results = [None, None]

    def fit(i):
        results[i] = _everything({"robust": True, "cluster_vars": GROUPS}, None)

    workers = [threading.Thread(target=fit, args=(i,)) for i in range(2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for got in results:
        np.testing.assert_array_equal(got[0], expected[0])
        np.testing.assert_array_equal(got[1], expected[1])
        pd.testing.assert_frame_equal(got[4], expected[4], check_exact=True)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the resident size from /proc")
def test_ctrl_c_stops_a_fit_and_releases_everything():
    out = _run_python(
        """
        import os, signal, threading
        import numpy as np
        import quorbis

        def resident():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * 4096

        # A shell that starts a job in the background has it ignore SIGINT, and Python keeps that.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        rng = np.random.default_rng(0)
        X = np.column_stack([np.ones(200_000), rng.normal(size=(200_000, 9))])
        y = (X @ rng.normal(size=10) + rng.normal(size=200_000) > 0).astype(float)
        sizes = []
        for _ in range(14):
            threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                quorbis.fit_probit(y, X, tol=0.0, max_iter=10**9, robust=True)
            except KeyboardInterrupt:
                sizes.append(resident())
            else:
                raise SystemExit("not interrupted")
        r = quorbis.fit_probit(y, X)
        assert r.converged
        print(sizes[-1] - sizes[7], X.nbytes)  # after the allocator has settled
        """,
        timeout=120,
    )
    growth, x_bytes = map(int, out.split())
    with open("/proc/self/maps") as maps:
        quarantined = "libasan" in maps.read()  # the sanitizer holds freed memory back
    assert quarantined or growth < x_bytes // 2


def test_a_forked_child_fits():
    if not hasattr(os, "fork"):
        pytest.skip("no fork on this platform")
    _run_python(
        f"""
        import os
        import numpy as np
        import quorbis

        quorbis.set_num_threads(3)
        rng = np.random.default_rng(1)
        X = np.column_stack([np.ones({N}), rng.normal(size=({N}, 3))])
        y = (X @ rng.normal(size=4) + rng.normal(size={N}) > 0).astype(float)
        parent = quorbis.fit_probit(y, X, robust=True)
        pid = os.fork()
        if pid == 0:
            child = quorbis.fit_probit(y, X, robust=True)
            same = np.array_equal(child.params, parent.params) and np.array_equal(child.cov_params(), parent.cov_params())
            os._exit(0 if same else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, status
        """,
        timeout=120,
    )
