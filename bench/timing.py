"""What every Python benchmark shares: the timing loop, in alternating rounds so that a noisy
neighbour on a shared machine slows both sides of a comparison alike, with medians over the rounds;
and the name of the processor the figures were taken on."""

import os
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


def processor():
    """The model name and vector extensions, from /proc/cpuinfo."""
    name, flags = "unknown processor", set()
    with open("/proc/cpuinfo") as info:
        for line in info:
            key, _, value = line.partition(":")
            if key.strip() == "model name":
                name = value.strip()
            elif key.strip() == "flags":
                flags = set(value.split())
                break
    vector = "AVX-512" if "avx512f" in flags else "AVX2" if "avx2" in flags else "no AVX2"
    return f"{name}, {len(os.sched_getaffinity(0))} processors, {vector}"
