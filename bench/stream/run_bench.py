"""Runs the end-to-end status stream benchmark; scripts/bench is its front door.

One peer (zorim_stream_bench serve) replays a recording's notify_status_update
frames, looped to --frames, to every client that subscribes. Each round runs
every client once against it, in alternating order; then the folded states are
checked against each other and against the plug-in's last record, a table is
printed and, unless told otherwise, docs/performance.md and its chart are
written.
"""
import argparse
import datetime
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PLUGIN_REFERENCE = "plug-in, log level 3"


def parse_args():
    parser = argparse.ArgumentParser(prog="scripts/bench", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=200_000, help="status frames per stream (default 200000)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds, each running every client once (default 3)")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 2000 frames, 1 round, no document (unless --doc is given)")
    parser.add_argument("--doc", help="markdown file to write (default docs/performance.md; 'none' writes nothing)")
    parser.add_argument("--note", default="", help="a line put under the table's heading, such as what was measured")
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "default"))
    parser.add_argument("--recording", default=str(ROOT / "tests/fixtures/moonraker/klipper_sim_session.jsonl"))
    args = parser.parse_args()
    if args.quick:
        args.frames, args.rounds = 2000, 1
        args.doc = args.doc or "none"
    args.doc = args.doc or str(ROOT / "docs" / "performance.md")
    if args.frames < 1 or args.rounds < 1:
        parser.error("--frames and --rounds must be at least 1")
    return args


def clients(args, port):
    build = Path(args.build_dir)
    bench = str(build / "bench" / "zorim_stream_bench")
    plugin = str(build / "plugin" / "libzorim_network.so")
    timeout = 60 + args.frames // 2000
    here = Path(__file__).resolve().parent

    def plugin_client(level):
        log_dir = build / "bench" / "stream-logs" / f"level{level}"
        return {"name": f"plug-in, log level {level}", "kind": "plugin", "log_dir": log_dir,
                "argv": [bench, "plugin", "--port", port, "--lib", plugin, "--log-level", str(level),
                         "--log-dir", str(log_dir), "--timeout", str(timeout)]}

    node_env = dict(os.environ, NODE_PATH=str(build / "bench" / "node" / "node_modules"))
    return [
        plugin_client(3),
        plugin_client(4),
        {"name": "floor: websocketpp, counting only", "kind": "floor", "argv": [bench, "floor", "--port", port]},
        {"name": "websocketpp + nlohmann DOM, merge", "kind": "fold", "argv": [bench, "dom", "--port", port]},
        {"name": "Node.js: ws, JSON.parse, merge", "kind": "fold", "env": node_env,
         "argv": ["node", str(here / "node_client.js"), port]},
        {"name": "Python: websockets, json.loads, merge", "kind": "fold",
         "argv": ["/usr/bin/python3", str(here / "python_client.py"), port]},
    ], timeout


def run_client(client, timeout):
    if "log_dir" in client:
        shutil.rmtree(client["log_dir"], ignore_errors=True)
        client["log_dir"].mkdir(parents=True)
    try:
        done = subprocess.run(client["argv"], env=client.get("env"), capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        sys.exit(f"bench: {client['name']} did not finish within {timeout} s")
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        sys.exit(f"bench: {client['name']} failed (exit {done.returncode}):\n{done.stderr.strip()}")
    result = json.loads(lines[-1])
    if "reports" in result:
        result["frames"] = result["reports"] / 2  # see check()
    return result


def normalised(value):
    """Numbers as floats, so that 25 (JavaScript) and 25.0 (Python) agree."""
    if isinstance(value, dict):
        return {k: normalised(v) for k, v in value.items()}
    if isinstance(value, list):
        return [normalised(v) for v in value]
    if isinstance(value, int) and not isinstance(value, bool):
        return float(value)
    return value


def digest(state):
    text = json.dumps(normalised(state), sort_keys=True, separators=(",", ":"))
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def compare_record(record, folded, path=""):
    """Compares the record's members with the folded fields of the same names.
    Returns (members compared, members the fold lacks or holds as null, mismatches)."""
    compared, absent, mismatches = 0, 0, []
    for key, mine in record.items():
        name = f"{path}.{key}" if path else key
        theirs = folded.get(key) if isinstance(folded, dict) else None
        if theirs is None:
            absent += 1
        elif isinstance(mine, dict):
            c, a, m = compare_record(mine, theirs, name)
            compared, absent, mismatches = compared + c, absent + a, mismatches + m
        elif isinstance(mine, list):
            compared += 1
            if not isinstance(theirs, list) or normalised(mine[:len(theirs)]) != normalised(theirs[:len(mine)]):
                mismatches.append(f"{name}: record {mine}, folded {theirs}")
        else:
            compared += 1
            if normalised(mine) != normalised(theirs):
                mismatches.append(f"{name}: record {mine!r}, folded {theirs!r}")
    return compared, absent, mismatches


def check(results, frames):
    """Every client saw the whole stream, every fold ends the same, and the
    plug-in's last record agrees with it."""
    digests = {}
    folded = None
    for name, runs in results.items():
        for run in runs:
            if run["frames"] != frames:
                sys.exit(f"bench: {name} saw {run['frames']} frames, not {frames}")
            if "reports" in run and run["reports"] != 2 * frames:
                # The subscription reply and each [status, eventtime] element of
                # the frames before the end frame, then the end frame's first.
                sys.exit(f"bench: {name} made {run['reports']} reports, not {2 * frames}")
            if "state" in run:
                digests.setdefault(digest(run["state"]), set()).add(name)
                folded = run["state"]
    if len(digests) != 1:
        sys.exit("bench: the folding clients disagree: " + "; ".join(
            f"{d}: {', '.join(sorted(names))}" for d, names in digests.items()))
    summary = {"digest": next(iter(digests)), "objects": len(folded)}
    for name, runs in results.items():
        for run in runs:
            if "record" not in run:
                continue
            compared, absent, mismatches = compare_record(run["record"], folded)
            if mismatches:
                sys.exit(f"bench: {name}'s last record differs from the fold:\n  " + "\n  ".join(mismatches))
            summary["compared"], summary["absent"] = compared, absent
    return summary


def table(results, frames):
    rows = []
    reference = statistics.median(frames / r["seconds"] for r in results[PLUGIN_REFERENCE])
    for name, runs in results.items():
        rates = [frames / r["seconds"] for r in runs]
        cpu = statistics.median(r["cpu_seconds"] * 1e6 / frames for r in runs)
        rows.append({"name": name, "median": statistics.median(rates), "rounds": rates, "cpu_us": cpu,
                     "ratio": statistics.median(rates) / reference})
    return rows


def markdown_table(rows):
    lines = ["| client | frames/s (median) | frames/s per round | CPU µs per frame | ratio to the plug-in |",
             "|---|---:|---:|---:|---:|"]
    for row in rows:
        rounds = " · ".join(f"{r:,.0f}" for r in row["rounds"])
        lines.append(f"| {row['name']} | {row['median']:,.0f} | {rounds} | {row['cpu_us']:.2f} | "
                     f"{row['ratio']:.2f} |")
    return "\n".join(lines)


def chart(rows, png):
    """A bar chart of the median rates, drawn by gnuplot."""
    data = png.with_suffix(".dat")
    data.write_text("".join(f"\"{row['name']}\" {row['median']:.0f}\n" for row in rows))
    script = f"""
set terminal pngcairo size 900,420 font ",10"
set output "{png}"
set style data histograms
set style fill solid 0.8 border -1
set boxwidth 0.7
set ylabel "frames/s (median)"
set format y "%.0f"
set yrange [0:*]
set xtics rotate by -20 left
set grid ytics
unset key
set title "Status stream on loopback: frames per second, higher is better"
plot "{data}" using 2:xtic(1) linecolor rgb "#3a6ea5", "" using 0:2:(sprintf("%.0f", $2)) with labels offset 0,0.7
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    data.unlink()


def write_doc(path, args, rows, summary, started):
    doc = Path(path)
    png = doc.with_name("performance.png")
    chart(rows, png)
    commit = subprocess.run(["git", "-C", str(ROOT), "log", "-1", "--format=%h %s"], capture_output=True,
                            text=True).stdout.strip()
    note = f"{args.note}\n\n" if args.note else ""
    doc.write_text(f"""# Performance

`scripts/bench` measures the status path end to end. A peer on 127.0.0.1 answers the opening requests
with recorded replies and then streams the notify_status_update frames of
`tests/fixtures/moonraker/klipper_sim_session.jsonl`, looped to {args.frames:,} frames and closed by one end
frame, to every client that subscribes, never holding more than 1 MiB unsent. Each round runs every
client once, in alternating order ({args.rounds} rounds here). The clients:

- **plug-in**: `libzorim_network.so` loaded as a host loads it (`dlopen`, exports by name), one printer,
  a machine-status callback that counts reports and keeps the last record; at log levels 3 (info) and
  4 (debug). The plug-in reports twice per frame (the status object and the event time).
- **floor**: a websocketpp client that only counts frames: what the transport alone costs.
- **websocketpp + nlohmann DOM**, **Node.js** (npm `ws`, `JSON.parse`) and **Python** (Debian's
  python3-websockets, `json.loads`): each parses every frame and folds it into one status object,
  per object and per field, as web and screen clients of these printers do.

Frames per second count the frames from the subscription reply to the end frame over that wall time;
CPU µs per frame is the client process's CPU time (all its threads) over the same window divided by
the frames. The peer runs beside the client and its CPU is not counted. Before the table is written,
every folding client must have seen every frame and ended with the same folded state, and the
plug-in's last record must match that state on every member it carries, so no client can look fast
by skipping work.

## Results

{note}Run of {started:%Y-%m-%d %H:%M} UTC on `{commit}`; 2 cores shared with other work (load average
{os.getloadavg()[0]:.1f} at the end), so single rounds vary widely: compare figures within one run only.

{markdown_table(rows)}

![frames per second](performance.png)

Folded state: {summary['objects']} objects, digest `{summary['digest']}`, the same in every folding client
and round; the plug-in's last record matched it on {summary['compared']} members ({summary['absent']} more
that the stream never set or sets to null were not compared).
""")
    print(f"bench: wrote {doc} and {png}")


def main():
    args = parse_args()
    started = datetime.datetime.now(datetime.timezone.utc)
    bench = Path(args.build_dir) / "bench" / "zorim_stream_bench"
    server = subprocess.Popen([str(bench), "serve", "--recording", args.recording, "--frames", str(args.frames)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        port = server.stdout.readline().strip()
        if not port.isdigit():
            sys.exit("bench: the stream peer did not start")
        roster, timeout = clients(args, port)
        results = {c["name"]: [] for c in roster}
        for round_index in range(args.rounds):
            order = roster if round_index % 2 == 0 else list(reversed(roster))
            for client in order:
                run = run_client(client, timeout)
                results[client["name"]].append(run)
                print(f"round {round_index + 1}: {client['name']}: {run['frames']} frames "
                      f"in {run['seconds']:.3f} s, {run['cpu_seconds']:.3f} s CPU", flush=True)
    finally:
        server.stdin.close()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
    frames = args.frames + 1  # the end frame is folded too
    summary = check(results, frames)
    rows = table(results, frames)
    print()
    print(markdown_table(rows))
    print(f"\nfold check: {summary['objects']} objects, digest {summary['digest']} everywhere; plug-in record "
          f"matched on {summary['compared']} members ({summary['absent']} absent or null in the stream)")
    if args.doc != "none":
        write_doc(args.doc, args, rows, summary, started)


if __name__ == "__main__":
    main()
