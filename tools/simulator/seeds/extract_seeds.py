#!/usr/bin/env python3
"""Builds recorded_seeds.json from the recorded printer traffic.

The simulator starts from what a real printer said: this script picks the
replies and notifications that describe a printer's state (identity, object
list, subscription status, files, history, the process statistics) out of the
recordings and writes them as one JSON document, which the build embeds into
the simulator library. Run it again after the recordings change:

    python3 tools/simulator/seeds/extract_seeds.py \
        tests/fixtures/moonraker tools/simulator/seeds/recorded_seeds.json
"""
import json
import sys
from collections import OrderedDict
from pathlib import Path


def frames(directory, name):
    with open(Path(directory) / f"{name}.jsonl", encoding="utf-8") as f:
        return [json.loads(line, object_pairs_hook=OrderedDict) for line in f if line.strip()]


def requests(directory, name):
    with open(Path(directory) / f"{name}.sent.jsonl", encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def reply_to(directory, name, method, nth=0):
    """The reply to the nth request of the given method in a recording."""
    ids = [r["id"] for r in requests(directory, name) if r["method"] == method]
    wanted = ids[nth]
    for m in frames(directory, name):
        if m.get("id") == wanted and "result" in m:
            return m["result"]
    raise KeyError(f"{name}: no reply to {method}")


def status_diff(base, other):
    """Fields of `other` that differ from `base`, object by object."""
    diff = OrderedDict()
    for obj, fields in other.items():
        if obj not in base:
            diff[obj] = fields
            continue
        changed = OrderedDict((k, v) for k, v in fields.items() if base[obj].get(k) != v)
        if changed:
            diff[obj] = changed
    return diff


# The member order of a job in server.history.list replies.
LIST_JOB_ORDER = ["job_id", "user", "filename", "status", "start_time", "end_time",
                  "print_duration", "total_duration", "filament_used", "metadata",
                  "auxiliary_data", "exists"]


def as_list_job(job):
    return OrderedDict((k, job[k]) for k in LIST_JOB_ORDER if k in job)


def main(directory, out_path):
    session = "klipper_sim_session"
    base_status = reply_to(directory, session, "printer.objects.subscribe")
    seeds = OrderedDict()
    seeds["server_info"] = reply_to(directory, session, "server.info")
    seeds["printer_info"] = reply_to(directory, session, "printer.info")
    seeds["objects"] = reply_to(directory, session, "printer.objects.list")["objects"]
    seeds["eventtime"] = base_status["eventtime"]
    seeds["status"] = base_status["status"]
    seeds["proc_stat"] = next(m["params"][0] for m in frames(directory, session)
                              if m.get("method") == "notify_proc_stat_update")

    # Files: the extended directory listing holds both files with their metadata.
    listing = reply_to(directory, "moonraker_no_klippy", "server.files.get_directory", 1)
    files = []
    for entry in listing["files"]:
        meta = OrderedDict((k, v) for k, v in entry.items()
                           if k not in ("modified", "size", "permissions", "filename",
                                        "print_start_time", "job_id"))
        files.append(OrderedDict([("path", entry["filename"]), ("modified", entry["modified"]),
                                  ("size", entry["size"]), ("permissions", entry["permissions"]),
                                  ("metadata", meta)]))
    files.sort(key=lambda f: f["path"])
    seeds["files"] = files
    seeds["disk_usage"] = listing["disk_usage"]

    # History: every finished job that the recordings show, oldest first.
    jobs = OrderedDict()
    for name in ("failed_stepper_too_far_in_past", session,
                 "klipper_sim_pause_resume_cancel_restart"):
        for m in frames(directory, name):
            if m.get("method") == "notify_history_changed":
                for change in m["params"]:
                    if change.get("action") == "finished":
                        jobs[change["job"]["job_id"]] = as_list_job(change["job"])
            elif isinstance(m.get("result"), dict) and "jobs" in m["result"]:
                for job in m["result"]["jobs"]:
                    jobs[job["job_id"]] = as_list_job(job)
    seeds["history"] = sorted(jobs.values(), key=lambda j: j["start_time"])

    # Each recording's own starting point, as differences from the session.
    recordings = OrderedDict()
    recordings[session] = OrderedDict()
    for name in ("klipper_sim_pause_resume_cancel_restart", "failed_stepper_too_far_in_past",
                 "klippy_mcu_shutdown"):
        status = reply_to(directory, name, "printer.objects.subscribe")
        entry = OrderedDict()
        entry["status"] = status_diff(seeds["status"], status["status"])
        recordings[name] = entry
    for name in ("failed_stepper_too_far_in_past", "klippy_mcu_shutdown"):
        info = reply_to(directory, name, "printer.info")
        recordings[name]["printer_info"] = OrderedDict(
            (k, v) for k, v in info.items() if seeds["printer_info"].get(k) != v)
    recordings["moonraker_no_klippy"] = OrderedDict([("klippy_connected", False), ("empty_history", True)])
    seeds["recordings"] = recordings

    with open(out_path, "w", encoding="utf-8") as f:
        json.dump(seeds, f, indent=1, ensure_ascii=False)
        f.write("\n")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
