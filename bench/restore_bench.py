#!/usr/bin/env python3
"""Restore benchmark: one user's backed-up My Drive restored whole through orvenna.cgi and the tool
stand-ins, once per size, against a plain shell loop running the same upload lines. Run by hand
after a build:

    python3 bench/restore_bench.py [--files 2000 20000]

For each size it prints items per second, the tool processes the restore started, the system's own
time per item (the restore's time less the shell loop's, per upload) beside the shell loop's time per
upload, and the bytes the worker wrote to its running mission record (counted at every replace of
the record) and to its journal. The system's own cost per item should stay flat as the size grows."""

import argparse
import ctypes
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import qlmtest  # noqa: E402
import test_tasks  # noqa: E402

IN_MOVED_TO, IN_CLOSE_WRITE = 0x80, 0x8


class RecordWatch:
    """Counts the replaces of one running record and the bytes each one put there (inotify)."""

    def __init__(self, folder):
        self.libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK)
        self.libc.inotify_add_watch(self.fd, folder.encode(), IN_MOVED_TO | IN_CLOSE_WRITE)
        self.folder, self.writes, self.bytes = folder, 0, 0

    def poll(self, name):
        try:
            data = os.read(self.fd, 65536)
        except BlockingIOError:
            return
        at = 0
        while at < len(data):
            _, mask, _, length = struct.unpack_from("iIII", data, at)
            event = data[at + 16:at + 16 + length].rstrip(b"\0").decode()
            at += 16 + length
            if event == name and mask & IN_MOVED_TO:
                self.writes += 1
                try:
                    self.bytes += os.path.getsize(os.path.join(self.folder, name))
                except OSError:
                    pass


class Domain(test_tasks.TaskCase):
    """A staged root whose only user holds the generated files."""


def one_size(files):
    t0 = time.monotonic()
    Domain.root = qlmtest.stage_root({"GWSSIM_INIT_ARGS": "--users 1 --files %d --messages 1 --events 1 "
                                                          "--contacts 1 --shared-drives 0" % files})
    Domain.sid = Domain.nasctl("login", "admin", "admin").strip()
    d = Domain()
    try:
        task = d.new_task()
        with open(d.path("var/lib/gwssim/domain.json")) as f:
            domain = json.load(f)
        user = domain["users"][0]["email"]
        env = dict(d.env(), QLM_SLEEP_SCALE="0")
        subprocess.run([d.cgi_path, "-backup", str(uuid.uuid4()), task, "1", "0", "0", "0", "0"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print("%6d files: staged and backed up in %.1f s" % (files, time.monotonic() - t0))

        calls = d.path("var/lib/gwssim/calls.jsonl")
        os.unlink(calls)
        missions = d.gws("conf/mission")
        shutil.rmtree(os.path.join(missions, "history_mission"), ignore_errors=True)  # the backup's record
        os.makedirs(os.path.join(missions, "history_mission"))
        watch = RecordWatch(missions)
        start = time.monotonic()
        reply = d.request({"act": "restore", "task_id": task, "domain_user_email": user, "localid_list": "ALL",
                           "drive_enable": "1", "shared_drive_enable": "0", "gmail_enable": "0",
                           "calendar_enable": "0", "contact_enable": "0"}, extra_env={"QLM_SLEEP_SCALE": "0"})
        mission = reply["mission_id"]
        journal_bytes = 0
        while not os.listdir(os.path.join(missions, "history_mission")):
            watch.poll(mission)
            try:
                journal_bytes = os.path.getsize(os.path.join(missions, mission + ".journal"))
            except OSError:
                pass
            time.sleep(0.01)
        took = time.monotonic() - start
        watch.poll(mission)
        [name] = os.listdir(os.path.join(missions, "history_mission"))
        with open(os.path.join(missions, "history_mission", name)) as f:
            record = json.load(f)
        with open(calls) as f:
            entries = [json.loads(line) for line in f if line.strip()]
        entries = [e for e in entries if "tool" in e]  # one start line per tool process
        uploads = [e["argv"] for e in entries if e.get("tool") == "gam" and "localfile" in e.get("argv", [])]

        n = max(len(uploads), 1)
        print("%6d files: restore %s in %.1f s, %d items (%d uploads), %.1f items/s, %d tool processes"
              % (files, record["backup_status"], took, record["drive_total"], len(uploads),
                 record["drive_total"] / took, len(entries)))
        print("%6d files: mission record written %d times, %d bytes in all; journal %d bytes"
              % (files, watch.writes, watch.bytes, journal_bytes))

        # The same uploads through a plain shell loop, with a GAM folder of its own.
        gamdir = tempfile.mkdtemp(prefix="qlm-bench-gam-", dir=d.path("root"))
        with open(os.path.join(gamdir, "gam.cfg"), "w") as f:
            f.write("[DEFAULT]\nadmin_email = %s\ncustomer_id = %s\ndomain = %s\nenable_dasa = true\n"
                    % (test_tasks.ADMIN, domain["customer_id"], domain["domains"][0]))
        subprocess.run([d.path("usr/local/bin/gwssim"), "key", d.path("var/lib/gwssim"), "--grant", "drive",
                        "--out", os.path.join(gamdir, "oauth2service.json")], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        script = os.path.join(gamdir, "loop.sh")
        gam = d.path(qlmtest.APP, "bin/gam")
        with open(script, "w") as f:
            for argv in uploads:
                f.write(" ".join("'" + a.replace("'", "'\\''") + "'" for a in [gam] + argv) + " >/dev/null 2>&1\n")
        start = time.monotonic()
        loop_status = subprocess.run(["sh", script], env=dict(env, GAMCFGDIR=gamdir)).returncode
        loop = time.monotonic() - start
        print("%6d files: own time per item %.2f ms  beside the shell loop's %.2f ms per upload (%.1f s, status %d)"
              % (files, (took - loop) / n * 1000, loop / n * 1000, loop, loop_status))
    finally:
        shutil.rmtree(Domain.root, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--files", type=int, nargs="+", default=[2000, 20000])
    for files in ap.parse_args().files:
        one_size(files)


if __name__ == "__main__":
    main()
