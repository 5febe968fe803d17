#!/usr/bin/env python3
"""Times ifa-agent run's reloads on a whole chip and writes their latency.

Usage: bench/agent-reload.py AGENT OUT.json [--profile NAME] [--repetitions N]

Fills every table of the chip profile (bench/full-chip-config.py), cold-starts
an image with it, then starts `ifa-agent run` on that image and reloads it
with SIGHUP, alternating between the full configuration and
  - one: the same with one entry changed (one row rewritten), and
  - every: the same with every entry that has a field changed (each row
    rewritten);
each N times. Per reload it records two times:
  - latencyUs, which the agent reports in its status: from the moment it took
    the SIGHUP to its last row write (the reload's reading and validation of
    the file, its lookups and its commits);
  - endToEndUs, measured here: from kill(SIGHUP) to the reload's summary line
    in the agent's log, so also the sync of the image and this script's
    polling (every 0.5 ms).
OUT.json holds the median, minimum and maximum of each, beside the number of
rows each reload wrote.

The agent runs with its own build's chip plug-in (SIDECAR_PLUGIN_PATH is
dropped from its environment) and the profile given.
"""
import argparse
import datetime
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def changed(line):
    """The configuration line with its entry's first field's lowest bit flipped,
    or None for an entry without fields."""
    m = re.match(r"^(\S+ \d+ \S+?\(\w+=)(\d+)(.*)$", line)
    if m:
        return f"{m.group(1)}{int(m.group(2)) ^ 1}{m.group(3)}"
    m = re.match(r"^(\S+ \d+ )(\d+|0x[0-9a-fA-F]+)$", line)
    if m:
        return f"{m.group(1)}{int(m.group(2), 0) ^ 1}"
    return None


def summary(values):
    return {"median": int(statistics.median(values)), "min": min(values), "max": max(values)}


class Agent:
    def __init__(self, agent, config, image, log, env):
        self.log = log
        self.image = image
        self.agent = agent
        self.env = env
        self.proc = subprocess.Popen([agent, "run", config, "--image", image], env=env,
                                     stdout=subprocess.DEVNULL, stderr=open(log, "w"))
        self.wait_for("ifa-agent: ready: ", 1)

    def lines(self, text):
        with open(self.log) as f:
            return f.read().count(text)

    def wait_for(self, text, count):
        deadline = time.monotonic() + 120
        while self.lines(text) < count:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                sys.exit(f"agent-reload: the agent did not log {text!r}:\n" + open(self.log).read())
            time.sleep(0.0005)

    def status(self):
        run = subprocess.run([self.agent, "status", "--json", "--image", self.image], env=self.env,
                             capture_output=True, text=True, check=True)
        return json.loads(run.stdout)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        if self.proc.wait(timeout=120) != 0:
            sys.exit("agent-reload: the agent did not stop with status 0")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("agent")
    parser.add_argument("out")
    parser.add_argument("--profile", default="corvane-sim-a")
    parser.add_argument("--repetitions", type=int, default=20)
    args = parser.parse_args()
    env = {k: v for k, v in os.environ.items()
           if k not in ("SIDECAR_PLUGIN_PATH", "IFA_CHIP_CRASH_AFTER_WRITES",
                        "IFA_CHIP_PAUSE_AFTER_WRITES", "KIVA_TRACE", "NOTIFY_SOCKET")}
    env["IFA_CHIP_PROFILE"] = args.profile
    full = subprocess.run([sys.executable, os.path.join(HERE, "full-chip-config.py"),
                           "--profile", args.profile], capture_output=True, text=True,
                          check=True).stdout.splitlines()
    entries = [i for i, line in enumerate(full) if line and not line.startswith("#")]
    one = list(full)
    one[entries[0]] = changed(full[entries[0]])
    every = [changed(line) or line if i in entries else line for i, line in enumerate(full)]
    rewritten = sum(1 for i in entries if changed(full[i]) is not None)
    out = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "profile": args.profile,
        "entries": len(entries),
        "repetitions": args.repetitions,
    }
    with tempfile.TemporaryDirectory(prefix="ifa-agent-reload.") as tmp:
        image = os.path.join(tmp, "chip.img")
        # The agent watches the link's directory; the file it names is
        # written elsewhere, so that only the SIGHUP reloads it.
        os.mkdir(os.path.join(tmp, "store"))
        store = os.path.join(tmp, "store", "agent.conf")
        config = os.path.join(tmp, "agent.conf")
        os.symlink("store/agent.conf", config)

        def put(lines):
            with open(store, "w") as f:
                f.write("\n".join(lines) + "\n")

        put(full)
        subprocess.run([args.agent, "apply", config, "--create", "--image", image], env=env,
                       check=True, stdout=subprocess.DEVNULL)
        agent = Agent(args.agent, config, image, os.path.join(tmp, "agent.log"), env)
        reloads = 0
        for name, variant, rows in (("oneEntry", one, 1), ("everyEntry", every, rewritten)):
            latency, end_to_end = [], []
            for _ in range(args.repetitions):
                for lines, back in ((variant, False), (full, True)):
                    put(lines)
                    start = time.monotonic_ns()
                    agent.proc.send_signal(signal.SIGHUP)
                    reloads += 1
                    agent.wait_for("ifa-agent: reload (SIGHUP): ", reloads)
                    elapsed = (time.monotonic_ns() - start) // 1000
                    last = agent.status()["lastReload"]
                    if last["summary"]["rewrite"] != rows or last["summary"]["write"] != 0:
                        sys.exit(f"agent-reload: expected {rows} rows rewritten, got {last}")
                    if not back:
                        latency.append(last["latencyUs"])
                        end_to_end.append(elapsed)
            out[name] = {"rowsRewritten": rows, "latencyUs": summary(latency),
                         "endToEndUs": summary(end_to_end)}
        agent.stop()
    with open(args.out, "w") as f:
        json.dump(out, f, indent=2)
        f.write("\n")
    for name in ("oneEntry", "everyEntry"):
        r = out[name]
        print(f"agent-reload: {name} ({r['rowsRewritten']} rows of {out['entries']}, "
              f"{out['profile']}): SIGHUP to last row written {r['latencyUs']['median']} us "
              f"(median), to the logged summary {r['endToEndUs']['median']} us")
    print(f"agent-reload: -> {args.out}")


if __name__ == "__main__":
    main()
