"""tlxup benchmarks: each figure is measured in this run beside its bound
or target. Run through bench/run.sh, which builds the release preset."""
import json
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from harness import Screen, SilentPort, Sim  # noqa: E402

BIN = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "release", "bin")
TLXUP = os.path.join(BIN, "tlxup")
SHIM = os.path.join(BIN, "libtlx_alloc_count.so")
IMAGE = os.path.join(ROOT, "firmware", "images", "VEL2346-2.57.img")
QUESTION = "(Y,N) "
PROMPT = "Press any key to exit..."
os.environ["TLXSIM"] = os.path.join(BIN, "tlxsim")
WORK = tempfile.mkdtemp(prefix="tlxbench.")
rows = []


def row(name, value, target=""):
    rows.append((name, value, target))
    print("%-58s %-26s %s" % (name, value, target), flush=True)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def update(sim_options, env_extra=None, monitor=None):
    """One whole update; returns (report, screen process info)."""
    sim = Sim(WORK, "bench", list(sim_options), image=IMAGE)
    env = dict(os.environ, TLXUP_PORTS=sim.path, **(env_extra or {}))
    screen = Screen([TLXUP, "1"], env=env)
    try:
        if not screen.wait_for(QUESTION, 60):
            raise RuntimeError("no question: " + screen.text()[-500:])
        info = {}
        if monitor == "question":
            start = cpu_seconds(screen.proc.pid)
            time.sleep(5)
            info["question_cpu"] = (cpu_seconds(screen.proc.pid) - start) / 5
        screen.type("y")
        if monitor == "silence":
            if not screen.wait_for("Complete = 100%", 120):
                raise RuntimeError("no DSP progress")
            start_cpu, start = cpu_seconds(screen.proc.pid), time.monotonic()
            screen.wait_for(PROMPT, 40)
            info["monitor_cpu"] = (cpu_seconds(screen.proc.pid) - start_cpu) / (time.monotonic() - start)
        if not screen.wait_for(PROMPT, 300):
            raise RuntimeError("no end: " + screen.text()[-500:])
        info["peak_rss_kb"] = peak_rss_kb(screen.proc.pid)
        screen.type("q")
        screen.wait_exit(10)
        return sim.stop(), info
    finally:
        screen.kill()
        sim.stop()


def download_phase(latency):
    report, _ = update(["--pace", "--latency-ms", str(latency), "--dsp-banks", "0"])
    ph = report["downloadPhase"]
    wire_ms = (ph["bytesIn19200"] + ph["bytesOut19200"]) * 10000.0 / 19200 + \
              (ph["bytesIn115200"] + ph["bytesOut115200"]) * 10000.0 / 115200
    bound = wire_ms + 1000 + ph["turnarounds"] * latency
    measured = ph["endMs"] - ph["startMs"]
    return measured, bound, report


print("tlxup benchmarks on %s, %d cores" % (os.uname().machine, os.cpu_count()))
print("%-58s %-26s %s" % ("figure", "measured", "target / bound"))

for latency in (0, 1, 16):
    measured, bound, report = download_phase(latency)
    row("download phase, paced, adapter latency %2d ms" % latency,
        "%.0f ms / %.0f ms = %.3f" % (measured, bound, measured / bound), "ratio <= 1.02")
    if latency == 0:
        records = [p for p in report["packets"] if p["command"] == 0x24]
        statuses = [p for p in report["packets"] if p["command"] == 0x23]
        per_record_out = (sum(p["length"] + 2 for p in records) + sum(p["length"] + 2 for p in statuses)) / len(records)
        row("bytes out per record (record packet + status request)", "%.2f" % per_record_out,
            "239 + 3 for a 236-byte record (%.2f avg)" % ((656 * 242 + 78) / 657))
        ph = report["downloadPhase"]
        row("turnarounds per record", "%.2f" % (ph["turnarounds"] / len(records)), "2 (ACK, then ACK + status)")

report, info = update(["--dsp-banks", "1", "--no-ready"], monitor="question")
row("CPU at the question (share of one core)", "%.2f%%" % (100 * info["question_cpu"]), "< 1%")
report, info = update(["--dsp-banks", "1", "--no-ready", "--dsp-step-ms", "10"], monitor="silence")
row("CPU during 30 s of monitoring (share of one core)", "%.2f%%" % (100 * info["monitor_cpu"]), "< 1%")
row("peak resident memory of tlxup", "%d KiB" % info["peak_rss_kb"], "")

if os.path.exists(SHIM):
    log = os.path.join(WORK, "allocs")
    env = {"LD_PRELOAD": SHIM, "TLX_ALLOC_LOG": log}
    subprocess.run([TLXUP, "3", "4"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   env=dict(os.environ, **env), check=False)
    update(["--dsp-banks", "1"], env_extra=env)
    counts = [int(x) for x in open(log).read().split()]
    row("heap allocations: start-up and exit only (usage text)", "%d" % counts[0], "")
    row("heap allocations: whole update", "%d" % counts[1], "")
    row("heap allocations after start (difference)", "%d" % (counts[1] - counts[0]), "0")


def timed(argv, env, stdin=subprocess.DEVNULL):
    start = time.monotonic()
    subprocess.run(argv, stdin=stdin, stdout=subprocess.DEVNULL, env=env, check=False)
    return (time.monotonic() - start) * 1000


base_env = dict(os.environ)
usage = min(timed([TLXUP, "3", "4"], base_env) for _ in range(5))
scan = min(timed([TLXUP], dict(base_env, TLXUP_PORTS="")) for _ in range(5))
row("scan of COM1-COM16, no ports present (beyond start-up)", "%.2f ms" % (scan - usage), "< 10 ms")
silent = SilentPort()
one = timed([TLXUP], dict(base_env, TLXUP_PORTS=silent.path))
silent.close()
row("scan of COM1-COM16, one silent port", "%.0f ms" % (one - usage), "8000 ms of read waits")

starts = []
for _ in range(5):
    start = time.monotonic()
    proc = subprocess.Popen([TLXUP, "3", "4"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    proc.stdout.read(1)
    starts.append((time.monotonic() - start) * 1000)
    proc.communicate()
row("start-up to banner", "%.2f ms" % min(starts), "")
row("binary size of tlxup", "%d bytes" % os.path.getsize(TLXUP), "")
