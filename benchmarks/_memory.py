"""Peak resident-memory growth of one call, measured in a fresh process.

quorbis allocates its working memory with aligned_alloc, which tracemalloc does not see, so the
measure is the kernel's: the resident-set high-water mark (VmHWM) is reset to the current resident
size through /proc/self/clear_refs, the call runs, and the growth is VmHWM minus the resident size
before the call. The result of the call stays alive until VmHWM is read, so what it keeps counts.

Each measured call runs in its own process so that memory freed by earlier calls and kept by the
allocator cannot be reused silently; the child also fixes glibc's mmap threshold so that large
blocks always come from mmap and go back to the kernel when freed (glibc otherwise raises the
threshold after the first large free and keeps later blocks in its heap).

Run as a script, this file is that child: it reads one JSON description of the call from argv and prints
one JSON line.
"""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
from collections.abc import Callable
from typing import Any

_STATUS = "/proc/self/status"
_CLEAR_REFS = "/proc/self/clear_refs"
_WARM_UP_ROWS = 2_000


def _status_bytes(field: str) -> int:
    with open(_STATUS) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024  # the kernel reports kB
    raise RuntimeError(f"{field} not found in {_STATUS}")


def supported() -> bool:
    try:
        _status_bytes("VmHWM")
        with open(_CLEAR_REFS, "w") as clear:
            clear.write("5")
    except OSError:
        return False
    return True


def peak_growth(call: Callable[[], Any]) -> int:
    gc.collect()
    before = _status_bytes("VmRSS")
    with open(_CLEAR_REFS, "w") as clear:
        clear.write("5")  # resets VmHWM to the current resident size
    result = call()
    peak = _status_bytes("VmHWM")
    del result
    return max(peak - before, 0)


def measure_in_subprocess(request: dict[str, Any]) -> int:
    """Runs this file as a child on request; returns the peak growth in bytes."""
    env = dict(os.environ)
    env["MALLOC_MMAP_THRESHOLD_"] = "65536"
    env["MALLOC_TRIM_THRESHOLD_"] = "131072"
    done = subprocess.run(
        [sys.executable, os.path.abspath(__file__), json.dumps(request)],
        env=env,
        capture_output=True,
        text=True,
        check=False,  # a failure is reported below with the child's error output
    )
    if done.returncode != 0:
        raise RuntimeError(f"memory child failed for {request}:\n{done.stderr}")
    return int(json.loads(done.stdout.strip().splitlines()[-1])["growth"])


def _child(request: dict[str, Any]) -> None:
    import warnings

    import _cases

    warnings.simplefilter("ignore")
    case = _cases.all_cases(request["chunk_size"])[request["case"]]
    if request["tool"] == "quorbis":
        prepare, call = case.prepare_quorbis, case.call_quorbis
    else:
        prepare, call = case.prepare_statsmodels, case.call_statsmodels

    # A first call on small data imports what the call imports lazily (pandas, scipy parts), so
    # that one-off module loading is not counted against the measured call.
    small = _cases.simulate(_WARM_UP_ROWS, request["k"], min(request["groups"], 50), request["seed"])
    call(small, prepare(small))
    del small

    data = _cases.simulate(request["n"], request["k"], request["groups"], request["seed"])
    prepared = prepare(data)
    growth = peak_growth(lambda: call(data, prepared))
    print(json.dumps({"growth": growth}))


if __name__ == "__main__":
    _child(json.loads(sys.argv[1]))
