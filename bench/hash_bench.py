#!/usr/bin/env python3
"""Speed and memory of the "hash" command.

1. A 256 MiB page-cached file of source-like text with mixed line endings:
   whole-process time of `run("hash", ...)` against `openssl dgst -sha256`,
   run alternately so that a busy machine slows both alike (target: within
   1.10x by the median wall time; processor time and the spread of the runs
   are printed beside it), and peak resident memory above a process that only
   imports the module and hashes an empty file (target: at most 16 MiB more).
2. A 100-byte file hashed many times from Python, against the stdlib
   equivalent (target: at least 1.5x faster per call).

Run after a build: PYTHONPATH=build python3 bench/hash_bench.py
"""
import hashlib
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import time

SIZE = 256 * 1024 * 1024
ROUNDS = 7


def make_source_text(path):
    random.seed(1)
    words = ["def", "return", "self", "value", "for", "in", "range", "if", "else", "class",
             "λ", "größe", "naïve", "→", "0x1F", "(", ")", ":", "=", "+"]
    endings = ["\n"] * 6 + ["\r\n"] * 3 + ["\r"]
    lines = []
    for _ in range(4096):
        line = "    " * random.randrange(4) + " ".join(random.choice(words) for _ in range(random.randrange(3, 12)))
        lines.append(line + random.choice(endings))
    block = "".join(lines).encode()
    with open(path, "wb") as out:
        written = 0
        while written < SIZE:
            piece = block[: SIZE - written]
            out.write(piece)
            written += len(piece)
    # Cutting the block may split a character; make the end valid.
    with open(path, "r+b") as f:
        f.seek(-4, os.SEEK_END)
        f.write(b"end\n")


# The child reports VmHWM, its own peak: ru_maxrss would also carry the
# parent's peak from before the exec.
CHILD = r"""
import json, sys, time
import brightloom_index_native as native
start = time.perf_counter()
reply = native.run("hash", json.dumps({"path": sys.argv[1]}))
seconds = time.perf_counter() - start
peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(json.dumps({"reply": json.loads(reply), "seconds": seconds, "peak_kib": peak}))
"""


def timed_process(command):
    """Wall and processor seconds of a child process, and its output."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    out = subprocess.run(command, capture_output=True, text=True, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
    return wall, cpu, out.stdout


def run_child(path):
    wall, cpu, out = timed_process([sys.executable, "-c", CHILD, path])
    result = json.loads(out)
    result["process_seconds"] = wall
    result["process_cpu"] = cpu
    return result


def spread(values):
    """Median, and the half-width of the middle of the runs as a share of it."""
    ordered = sorted(values)
    median = ordered[len(ordered) // 2]
    low, high = ordered[len(ordered) // 4], ordered[(3 * len(ordered)) // 4]
    return median, (high - low) / 2 / median if median else 0.0


def best_of(count, action):
    return min(action() for _ in range(count))


def main():
    import brightloom_index_native as native

    with tempfile.TemporaryDirectory() as folder:
        big = os.path.join(folder, "big.txt")
        empty = os.path.join(folder, "empty.txt")
        make_source_text(big)
        open(empty, "wb").close()
        with open(big, "rb") as warm:  # into the page cache
            while warm.read(1 << 24):
                pass

        module_runs, openssl_walls, openssl_cpus = [], [], []
        for _ in range(ROUNDS):
            module_runs.append(run_child(big))
            wall, cpu, _ = timed_process(["openssl", "dgst", "-sha256", big])
            openssl_walls.append(wall)
            openssl_cpus.append(cpu)
        module, module_noise = spread([r["process_seconds"] for r in module_runs])
        module_cpu, module_cpu_noise = spread([r["process_cpu"] for r in module_runs])
        openssl, openssl_noise = spread(openssl_walls)
        openssl_cpu, openssl_cpu_noise = spread(openssl_cpus)
        baseline_kib = min(run_child(empty)["peak_kib"] for _ in range(3))
        big_kib = max(r["peak_kib"] for r in module_runs)

        data = open(big, "rb").read()
        expected = hashlib.sha256(data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")).hexdigest()
        assert module_runs[0]["reply"]["hash"] == expected, "digest differs from hashlib"
        del data

        print(f"256 MiB file, median of {ROUNDS} alternating runs: module process {module:.3f} s "
              f"(±{module_noise:.0%}), openssl dgst {openssl:.3f} s (±{openssl_noise:.0%}), "
              f"ratio {module / openssl:.2f}x (target <= 1.10x)")
        print(f"  processor time {module_cpu:.3f} s (±{module_cpu_noise:.0%}) vs {openssl_cpu:.3f} s "
              f"(±{openssl_cpu_noise:.0%}): {module_cpu / openssl_cpu:.2f}x; load average "
              f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} processors")
        print(f"  peak RSS {big_kib / 1024:.1f} MiB vs empty-file baseline {baseline_kib / 1024:.1f} MiB: "
              f"+{(big_kib - baseline_kib) / 1024:.1f} MiB (target <= 16 MiB)")

        small = os.path.join(folder, "small.py")
        with open(small, "wb") as out:
            out.write(b"def f(x):\r\n    return x + 1\r\n\r\nclass A:\r\n    pass\r\n" + b"#" * 44 + b"\n")
        payload = json.dumps({"path": small})
        calls = 20000

        def module_loop():
            start = time.perf_counter()
            for _ in range(calls):
                native.run("hash", payload)
            return time.perf_counter() - start

        def stdlib_loop():
            start = time.perf_counter()
            for _ in range(calls):
                with open(small, "rb") as f:
                    text = f.read().decode("utf-8")
                hashlib.sha256(text.replace("\r\n", "\n").replace("\r", "\n").encode()).hexdigest()
            return time.perf_counter() - start

        module_small = best_of(5, module_loop) / calls
        stdlib_small = best_of(5, stdlib_loop) / calls
        print(f"100-byte file: module {module_small * 1e6:.2f} us/call, stdlib {stdlib_small * 1e6:.2f} us/call, "
              f"speed-up {stdlib_small / module_small:.2f}x (target >= 1.5x)")


if __name__ == "__main__":
    main()
