#!/usr/bin/env python3
"""Drive export benchmark: one account's Drive backed up as a tree of many files (by default
10 000 files of 16 KiB in 100 folders), exported whole ("ALL") into a NAS share by
export_drive_to_nas, beside `cp -r` of the same files into the same share in the same run. Run by
hand after a build:

    python3 bench/drive_export_bench.py [--folders 100] [--files 100] [--size 16384] [--runs 3]

The demo domain is backed up once by the backup engine (so task, store folder and catalog are
real), then the account's catalog and store are replaced by generated ones of the same schema.
For each run it prints the wall time from the request to the history record (and to the reply,
which comes once the catalog is read and checked), the items (catalog nodes) and files per second,
and the same for cp -r. The activity-log cost per exported item is
measured by bench_export_log (the worker's batched rows against one insert per row)."""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import qlmtest  # noqa: E402
import download_bench  # noqa: E402

USER = download_bench.USER


Setup = download_bench.Setup


def history(folder):
    return set(os.listdir(folder)) if os.path.isdir(folder) else set()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--folders", type=int, default=100)
    ap.add_argument("--files", type=int, default=100)
    ap.add_argument("--size", type=int, default=16 * 1024)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()

    t0 = time.monotonic()
    Setup.setUpClass()
    work = tempfile.mkdtemp(prefix="qlm-bench-export-")
    try:
        s = Setup()
        task, _, tree = download_bench.backed_up_drive(s, work, args.folders, args.files, args.size)
        files = args.folders * args.files
        items = files + args.folders + 1  # the files, their folders and the drive's top
        print("store: %d files, %.2f GB, made in %.1f s (staging and the demo backup included)"
              % (files, files * args.size / 1e9, time.monotonic() - t0))

        share = s.path("share", "Bench")
        os.makedirs(share)
        s.nasctl("share", "add", "Bench", share)
        done = s.gws("conf/mission/history_mission")
        print("%-8s %9s %9s %11s %11s %11s" % ("run", "wall s", "reply s", "items/s", "files/s", "MB/s"))
        ours, theirs = [], []
        for run in range(args.runs):
            before = history(done)
            start = time.monotonic()
            _, _, body = s.run_cgi(dict(act="export_drive_to_nas", task_id=task, nas_path="/Bench", index="ALL",
                                        domain_user_email=USER), sid=s.sid)
            replied = time.monotonic() - start
            reply = json.loads(body)
            if not reply.get("success"):
                raise RuntimeError("export refused: %s" % reply)
            while not history(done) - before:
                time.sleep(0.01)
            took = time.monotonic() - start
            [name] = history(done) - before
            with open(os.path.join(done, name)) as f:
                record = json.load(f)
            if record["backup_status"] != "finish":
                raise RuntimeError("export ended %s" % record)
            ours.append(took)
            print("%-8s %9.2f %9.2f %11.0f %11.0f %11.1f" % ("export %d" % run, took, replied, items / took,
                                                            files / took, files * args.size / 1e6 / took))
            shutil.rmtree(reply["path"])

            target = os.path.join(share, "cp_run")
            start = time.monotonic()
            subprocess.run(["cp", "-r", tree, target], check=True)
            took = time.monotonic() - start
            theirs.append(took)
            print("%-8s %9.2f %9s %11.0f %11.0f %11.1f" % ("cp -r %d" % run, took, "-", items / took, files / took,
                                                            files * args.size / 1e6 / took))
            shutil.rmtree(target)
        print("median wall: export %.2f s, cp -r %.2f s (ratio %.2f)"
              % (statistics.median(ours), statistics.median(theirs), statistics.median(ours) / statistics.median(theirs)))

        log_bench = os.path.join(qlmtest.BINARY_DIR, "bench", "bench_export_log")
        if os.path.exists(log_bench):
            subprocess.run([log_bench, str(files)], env=s.env(), check=True)
        else:
            print("activity-log cost: build bench_export_log to measure it")
    finally:
        shutil.rmtree(work, ignore_errors=True)
        Setup.tearDownClass()


if __name__ == "__main__":
    main()
