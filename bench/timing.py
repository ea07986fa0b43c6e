"""The timing loop every Python benchmark uses: alternating rounds, so that a noisy neighbour on a
shared machine slows both sides of a comparison alike, and medians over the rounds."""

import statistics
import time


def per_call(function, budget):
    """Seconds per call of `function`, from a loop sized to take about `budget` seconds."""
    loops = 1
    while True:
        start = time.perf_counter()
        for _ in range(loops):
            function()
        elapsed = time.perf_counter() - start
        if elapsed >= budget / 4:
            break
        loops *= 4
    loops = max(1, int(loops * budget / max(elapsed, 1e-9)))
    start = time.perf_counter()
    for _ in range(loops):
        function()
    return (time.perf_counter() - start) / loops


def medians(calls, rounds, budget):
    """Median seconds per call of each of `calls`, timed in alternating rounds."""
    times = [[] for _ in calls]
    for _ in range(rounds):
        for series, call in zip(times, calls):
            series.append(per_call(call, budget))
    return [statistics.median(series) for series in times]
