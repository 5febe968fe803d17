#!/usr/bin/env python3
"""Times ifa-agent's warm restart of a whole chip and writes its phases.

Usage: bench/agent-restart.py AGENT OUT.json [--profile NAME]

Fills every table of the chip profile (bench/full-chip-config.py), applies
that configuration to a new image in a temporary directory (a cold start),
then applies it again (a warm restart: every row read back, every entry
replayed and matched, nothing purged), both with --json. OUT.json holds the
warm run's phases in microseconds (sync: syncEntries of every table; replay:
the replayed commits; purge: doInitComplete and purgeStaleEntries) with its
totals; bench/report.py puts them in bench/results.md.

The agent runs with its own build's chip plug-in (SIDECAR_PLUGIN_PATH is
dropped from its environment) and the profile given.
"""
import argparse
import datetime
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def apply(agent, config, image, env, create=False):
    extra = ["--create"] if create else []
    run = subprocess.run([agent, "apply", config, "--image", image, "--json"] + extra, env=env,
                         capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"agent-restart: {agent} apply failed ({run.returncode}):\n{run.stderr}")
    report = json.loads(run.stdout)
    if "phases" not in report:
        sys.exit(f"agent-restart: the agent's report has no phases:\n{run.stdout}")
    return report


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("agent")
    parser.add_argument("out")
    parser.add_argument("--profile", default="corvane-sim-a")
    args = parser.parse_args()
    env = {k: v for k, v in os.environ.items()
           if k not in ("SIDECAR_PLUGIN_PATH", "IFA_CHIP_CRASH_AFTER_WRITES", "KIVA_TRACE")}
    env["IFA_CHIP_PROFILE"] = args.profile
    with tempfile.TemporaryDirectory(prefix="ifa-agent-restart.") as tmp:
        config = os.path.join(tmp, "full.conf")
        image = os.path.join(tmp, "chip.img")
        with open(config, "w") as f:
            subprocess.run([sys.executable, os.path.join(HERE, "full-chip-config.py"),
                            "--profile", args.profile], stdout=f, check=True)
        cold = apply(args.agent, config, image, env, create=True)
        warm = apply(args.agent, config, image, env)
    if cold["mode"] != "cold" or warm["mode"] != "warm":
        sys.exit(f"agent-restart: expected a cold start then a warm restart, got "
                 f"{cold['mode']} then {warm['mode']}")
    total = warm["total"]
    if not (total["entries"] == total["readBack"] == total["matched"]) or total["stale"]:
        sys.exit(f"agent-restart: the warm restart did not match every row: {total}")
    out = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "profile": warm["profile"],
        "entries": total["entries"],
        "readBack": total["readBack"],
        "matched": total["matched"],
        "phases": warm["phases"],
        "coldCommitUs": cold["phases"]["replayUs"],
    }
    with open(args.out, "w") as f:
        json.dump(out, f, indent=2)
        f.write("\n")
    p = out["phases"]
    print(f"agent-restart: warm restart of {out['entries']} entries ({out['profile']}): "
          f"sync {p['syncUs']} us, replay {p['replayUs']} us, purge {p['purgeUs']} us "
          f"-> {args.out}")


if __name__ == "__main__":
    main()
