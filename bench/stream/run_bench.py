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
import re
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PLUGIN_REFERENCE = "plug-in, log level 3"


def parse_args():
    parser = argparse.ArgumentParser(prog="scripts/bench", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=200_000, help="status frames per stream (default 200000)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds, each running every client once; with --scale, runs of the many-printer host (default 3)")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 2000 frames, 1 round, no document (unless --doc is given)")
    parser.add_argument("--doc", help="markdown file to write (default docs/performance.md; 'none' writes nothing)")
    parser.add_argument("--section", default="latest",
                        help="name of the document's section to write, such as before or after; other "
                             "sections are kept (default latest)")
    parser.add_argument("--note", default="", help="a line put under the section's heading, such as what was measured")
    parser.add_argument("--scale", action="store_true",
                        help="instead: many printers on one agent, 4 status updates/s each (see --printers)")
    parser.add_argument("--printers", type=int, default=1000, help="printers of --scale (default 1000)")
    parser.add_argument("--seconds", type=float, default=20.0,
                        help="steady window of --scale in which CPU and latency are measured (default 20)")
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "default"))
    parser.add_argument("--recording", default=str(ROOT / "tests/fixtures/moonraker/klipper_sim_session.jsonl"))
    args = parser.parse_args()
    if args.quick:
        args.frames, args.rounds, args.printers, args.seconds = 2000, 1, 20, 2.0
        args.doc = args.doc or "none"
    args.doc = args.doc or str(ROOT / "docs" / "performance.md")
    if not args.section.replace("-", "").isalnum():
        parser.error("--section takes letters, digits and dashes")
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
        {"name": "floor: Beast, counting only", "kind": "floor", "argv": [bench, "floor", "--port", port]},
        {"name": "Beast + nlohmann DOM, merge", "kind": "fold", "argv": [bench, "dom", "--port", port]},
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


STREAM_TARGETS = [
    # (client the plug-in is held against, least ratio of the plug-in's median to that client's;
    # None: the ratio is given without a target)
    ("Node.js: ws, JSON.parse, merge", 2.0),
    ("floor: Beast, counting only", None),
    ("Python: websockets, json.loads, merge", 4.0),
]


def target_lines(rows):
    medians = {row["name"]: row["median"] for row in rows}
    lines = []
    for name, least in STREAM_TARGETS:
        ratio = medians[PLUGIN_REFERENCE] / medians[name]
        if least is None:
            lines.append(f"- plug-in (log level 3) over {name}: {ratio:.2f}×")
            continue
        verdict = "met" if ratio >= least else "missed"
        lines.append(f"- plug-in (log level 3) over {name}: {ratio:.2f}× (target at least {least:g}×: {verdict})")
    return "\n".join(lines)


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
set terminal pngcairo size 960,460 font ",10"
set bmargin 9
set output "{png}"
set style data histograms
set style fill solid 0.8 border -1
set boxwidth 0.7
set ylabel "frames/s (median)"
set format y "%.0f"
set yrange [0:{max(row['median'] for row in rows) * 1.15:.0f}]
set xtics rotate by 25 right
set grid ytics
unset key
set title "Status stream on loopback: frames per second, higher is better"
plot "{data}" using 2:xtic(1) linecolor rgb "#3a6ea5", "" using 0:2:(sprintf("%.0f", $2)) with labels offset 0,0.7
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    data.unlink()


INTRO = """# Performance

`scripts/bench` measures the status path end to end. A peer on 127.0.0.1 answers the opening requests
with recorded replies and then streams the notify_status_update frames of
`tests/fixtures/moonraker/klipper_sim_session.jsonl`, looped to N frames and closed by one end frame, to
every client that subscribes, never holding more than 1 MiB unsent. Each round runs every client once,
in alternating order. The clients:

- **plug-in**: `libzorim_network.so` loaded as a host loads it (`dlopen`, exports by name), one printer,
  a machine-status callback that counts reports and keeps the last record; at log levels 3 (info) and
  4 (debug). The plug-in reports twice per frame (the status object and the event time).
- **floor**: a Boost.Beast client that only counts frames: what the transport alone costs (its
  reading of every frame, UTF-8 check included, and nothing else). Sections measured before the move
  to Beast used a websocketpp client here, whose reading cost four times as much per frame: ratios
  to the floor are comparable only within one kind of floor.
- **Beast + nlohmann DOM**, **Node.js** (npm `ws`, `JSON.parse`) and **Python** (Debian's
  python3-websockets, `json.loads`): each parses every frame and folds it into one status object,
  per object and per field, as web and screen clients of these printers do.

Frames per second count the frames from the subscription reply to the end frame over that wall time;
CPU µs per frame is the client process's CPU time (all its threads) over the same window divided by
the frames; the ratio is the median frames per second over the plug-in's at log level 3. The peer runs
beside the client and its CPU is not counted. Before anything is written, every client must have seen
every frame (the plug-in: exactly two reports per frame), every folding client must end with the same
folded state, and the plug-in's last record must match that state on every member it carries, so no
client can look fast by skipping work.

The machine has 2 cores shared with other work: while they are busy, wall-clock rates swing by a
factor of two or more between rounds and CPU µs per frame is the steadier figure. Compare figures
within one section (one run) only.

Each run writes one section (`--section NAME`, default `latest`) and keeps the others.
"""


def section_text(name, args, rows, summary, started, png):
    commit = subprocess.run(["git", "-C", str(ROOT), "log", "-1", "--format=%h"], capture_output=True,
                            text=True).stdout.strip()
    note = f"{args.note}\n\n" if args.note else ""
    return f"""<!-- section {name} -->
## {name.capitalize()}

{note}{args.frames:,} frames, {args.rounds} rounds; run of {started:%Y-%m-%d %H:%M} UTC on commit `{commit}`,
load average {os.getloadavg()[0]:.1f} at the end.

{markdown_table(rows)}

{target_lines(rows)}

![frames per second, {name}]({png.name})

Folded state: {summary['objects']} objects, digest `{summary['digest']}`, the same in every folding client
and round; the plug-in's last record matched it on {summary['compared']} members ({summary['absent']} more
that the stream never sets, or sets to null, were not compared).
<!-- end {name} -->
"""


def write_doc(path, args, rows, summary, started):
    doc = Path(path)
    png = doc.with_name(f"{doc.stem}-{args.section}.png")
    chart(rows, png)
    sections = []  # (name, text) in the order they first appeared
    if doc.exists():
        sections = re.findall(r"(<!-- section ([\w-]+) -->.*?<!-- end \2 -->\n)", doc.read_text(), re.S)
        sections = [(name, text) for text, name in sections]
    mine = section_text(args.section, args, rows, summary, started, png)
    if any(name == args.section for name, _ in sections):
        sections = [(name, mine if name == args.section else text) for name, text in sections]
    else:
        sections.append((args.section, mine))
    doc.write_text(INTRO + "".join("\n" + text for _, text in sections))
    print(f"bench: wrote the {args.section} section of {doc} and {png}")


def stop_peer(server):
    """Ends a peer: it stops when its standard input closes, or is killed after 10 s."""
    server.stdin.close()
    try:
        server.wait(timeout=10)
    except subprocess.TimeoutExpired:
        server.kill()
        server.wait()


SCALE_TARGETS = [
    # (figure, how it reads, target, met)
    ("cpu_share_of_one_core", "plug-in CPU, share of one core", "under 5 %", lambda v: v < 0.05),
    ("rss_per_printer_bytes", "RSS per printer", "under 64 KiB", lambda v: v < 64 * 1024),
    ("latency_p50_ms", "frame to callback, p50", "", None),
    ("latency_p99_ms", "frame to callback, p99", "under 2 ms", lambda v: v < 2.0),
    ("latency_max_ms", "frame to callback, max", "", None),
    ("connect_seconds", "connect time, all printers", "", None),
    ("reconnect_seconds", "reconnect after all links drop at once", "within two keep-alive passes (20 s)",
     lambda v: v <= 20.0),
    ("destroy_seconds", "zorim_network_destroy_agent with all printers open", "under 2 s", lambda v: v < 2.0),
]


def scale(args, started):
    build = Path(args.build_dir)
    bench = str(build / "bench" / "zorim_scale_bench")
    log_dir = build / "bench" / "stream-logs" / "scale"
    shutil.rmtree(log_dir, ignore_errors=True)
    log_dir.mkdir(parents=True)
    runs = []
    for run in range(args.rounds):
        # A fresh peer and host each run: one run's links cannot slow the next.
        server = subprocess.Popen([bench, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            port = server.stdout.readline().strip()
            if not port.isdigit():
                sys.exit("bench: the scale peer did not start")
            host = {"name": "scale host", "argv": [bench, "host", "--port", port, "--lib", str(build / "plugin" /
                    "libzorim_network.so"), "--printers", str(args.printers), "--seconds", str(args.seconds),
                    "--log-dir", str(log_dir)]}
            result = run_client(host, 300 + int(args.seconds))
        finally:
            stop_peer(server)
        for key, value in result.pop("latency_ms").items():
            result[f"latency_{key}_ms"] = value
        expected = 4.0 * args.printers
        if not 0.8 * expected <= result["updates_per_second"] <= 1.2 * expected:
            sys.exit(f"bench: {result['updates_per_second']:.0f} updates/s reached the host, not about {expected:.0f}")
        print(f"scale run {run + 1}: CPU {result['cpu_share_of_one_core'] * 100:.2f} %, "
              f"p99 {result['latency_p99_ms']:.3f} ms", flush=True)
        runs.append(result)

    def shown(key, value):
        if key == "cpu_share_of_one_core":
            return f"{value * 100:.2f} %"
        if key == "rss_per_printer_bytes":
            return f"{value / 1024:.1f} KiB"
        return f"{value:.3f} ms" if key.endswith("_ms") else f"{value:.2f} s"

    result = {key: statistics.median(run[key] for run in runs) for key in runs[0]}
    lines = [f"| figure ({args.printers:,} printers, 4 updates/s each) | median | per run | target |",
             "|---|---:|---:|---|"]
    for key, label, target, met in SCALE_TARGETS:
        value = result[key]
        each = " · ".join(shown(key, run[key]) for run in runs)
        verdict = "" if met is None else (" (met)" if met(value) else " (missed)")
        lines.append(f"| {label} | {shown(key, value)} | {each} | {target}{verdict} |")
    table_text = "\n".join(lines)
    print(table_text)
    if args.doc != "none":
        doc = Path(args.doc)
        text = doc.read_text() if doc.exists() else INTRO
        # The scale run's own section, unless one is named (such as scale-before).
        name = "scale" if args.section == "latest" else args.section
        note = f"\n{args.note}\n" if args.note else ""
        section = f"""<!-- section {name} -->
## Many printers{"" if name == "scale" else ", " + name.removeprefix("scale-")}
{note}
`scripts/bench --scale`: {args.printers:,} printers on one agent, all connected to one peer on 127.0.0.1
(open-file limit raised for the run), each sent 4 status updates per second that carry the peer's
monotonic clock in `toolhead.estimated_print_time`; the host's callback takes the difference to its
own clock. Each of {len(runs)} runs starts a fresh peer and host; the table gives the median and
every run, since this machine's CPU accounting swings by a quarter between runs. CPU share and
latency come from a steady window of {args.seconds:g} s, about
{result['updates_per_second']:,.0f} updates/s in it; RSS per printer is the host process's growth from
before the first connect to the end of that window, divided by the printers. The reconnect time runs
from dropping every link at once at the peer (TCP shutdown, no close frame) until every printer has
reported a status over a new link. Run of {started:%Y-%m-%d %H:%M} UTC, load average
{os.getloadavg()[0]:.1f} at the end.

{table_text}
<!-- end {name} -->
"""
        pattern = re.compile(rf"<!-- section {name} -->.*?<!-- end {name} -->\n", re.S)
        text = pattern.sub(lambda _: section, text) if pattern.search(text) else text + "\n" + section
        doc.write_text(text)
        print(f"bench: wrote the {name} section of {doc}")


def main():
    args = parse_args()
    started = datetime.datetime.now(datetime.timezone.utc)
    if args.scale:
        scale(args, started)
        return
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
        stop_peer(server)
    frames = args.frames + 1  # the end frame is folded too
    summary = check(results, frames)
    rows = table(results, frames)
    print()
    print(markdown_table(rows))
    print()
    print(target_lines(rows))
    print(f"\nfold check: {summary['objects']} objects, digest {summary['digest']} everywhere; plug-in record "
          f"matched on {summary['compared']} members ({summary['absent']} absent or null in the stream)")
    if args.doc != "none":
        write_doc(args.doc, args, rows, summary, started)


if __name__ == "__main__":
    main()
