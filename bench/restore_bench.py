#!/usr/bin/env python3
"""Restore benchmark: one user's backed-up My Drive, then one user's backed-up mailbox, restored whole
through orvenna.cgi and the tool stand-ins, once per size, against a plain shell loop running the
same upload or insert lines. Run by hand after a build:

    python3 bench/restore_bench.py [--files 2000 20000] [--messages 2500 10000]

(an empty list, "--files" alone, leaves that part out). For each size it prints items or messages
per second, the tool processes the restore started, the restore's time less the shell loop's per
upload or insert beside the shell loop's time per line, the system's own time per item (the
restore's time outside any tool process, less the shell loop's outside any tool, which is the
starting of the tools that both share), and the bytes the worker wrote to its running mission record
(counted at every replace of the record) and to its journal. The shell loop runs against the
simulated mailbox as the restore found it, and in the Drive as the restore left it (its uploads name
the folders the restore made). The system's own cost per item should stay flat
as the size grows."""

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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gmail_bench import busy_ms, read_calls  # noqa: E402

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


def stage(init_args, service_flags):
    """A staged root whose only user holds the generated data, backed up once; (helper, task, domain, user)."""
    Domain.root = qlmtest.stage_root({"GWSSIM_INIT_ARGS": init_args})
    Domain.sid = Domain.nasctl("login", "admin", "admin").strip()
    d = Domain()
    task = d.new_task()
    with open(d.path("var/lib/gwssim/domain.json")) as f:
        domain = json.load(f)
    user = domain["users"][0]["email"]
    subprocess.run([d.cgi_path, "-backup", str(uuid.uuid4()), task, *service_flags],
                   env=dict(d.env(), QLM_SLEEP_SCALE="0"), check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return d, task, domain, user


def timed_restore(d, task, user, switches):
    """Runs a whole restore of user through orvenna.cgi: (seconds, history record, tool calls, record watch,
    journal bytes)."""
    calls = d.path("var/lib/gwssim/calls.jsonl")
    os.unlink(calls)
    missions = d.gws("conf/mission")
    shutil.rmtree(os.path.join(missions, "history_mission"), ignore_errors=True)  # the backup's record
    os.makedirs(os.path.join(missions, "history_mission"))
    watch = RecordWatch(missions)
    start = time.monotonic()
    query = {"act": "restore", "task_id": task, "domain_user_email": user, "localid_list": "ALL"}
    query.update({k + "_enable": "1" if k in switches else "0"
                  for k in ("drive", "shared_drive", "gmail", "calendar", "contact")})
    mission = d.request(query, extra_env={"QLM_SLEEP_SCALE": "0"})["mission_id"]
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
    outside = took - busy_ms(read_calls(calls)) / 1000.0
    return took, record, entries, watch, journal_bytes, outside


def shell_loop(d, domain, grant, lines):
    """The same gam lines through a plain shell loop, with a GAM folder of its own: (seconds, status,
    seconds outside any tool)."""
    gamdir = tempfile.mkdtemp(prefix="qlm-bench-gam-", dir=d.path("root"))
    with open(os.path.join(gamdir, "gam.cfg"), "w") as f:
        f.write("[DEFAULT]\nadmin_email = %s\ncustomer_id = %s\ndomain = %s\nenable_dasa = true\n"
                % (test_tasks.ADMIN, domain["customer_id"], domain["domains"][0]))
    subprocess.run([d.path("usr/local/bin/gwssim"), "key", d.path("var/lib/gwssim"), "--grant", grant,
                    "--out", os.path.join(gamdir, "oauth2service.json")], env=d.env(), check=True,
                   stdout=subprocess.DEVNULL)
    script = os.path.join(gamdir, "loop.sh")
    gam = d.path(qlmtest.APP, "bin/gam")
    with open(script, "w") as f:
        for argv in lines:
            f.write(" ".join("'" + a.replace("'", "'\\''") + "'" for a in [gam] + argv) + " >/dev/null 2>&1\n")
    calls = d.path("var/lib/gwssim/calls.jsonl")
    if os.path.exists(calls):
        os.unlink(calls)
    start = time.monotonic()
    status = subprocess.run(["sh", script], env=dict(d.env(), GAMCFGDIR=gamdir)).returncode
    took = time.monotonic() - start
    return took, status, took - busy_ms(read_calls(calls)) / 1000.0


class SimState:
    """The simulated files of one store (a Drive's or a mailbox's JSON file and its index), kept to
    be put back, so that the shell loop meets the state the restore met."""

    def __init__(self, folder, names):
        self.saved = {}
        for name in names:
            path = os.path.join(folder, name)
            if os.path.exists(path):
                with open(path, "rb") as f:
                    self.saved[path] = f.read()
        self.paths = [os.path.join(folder, n) for n in names]

    def put_back(self):
        for path in self.paths:
            if path in self.saved:
                tmp = path + ".bench-tmp"
                with open(tmp, "wb") as f:
                    f.write(self.saved[path])
                os.replace(tmp, path)
            elif os.path.exists(path):
                os.unlink(path)


def print_own(size, unit, took, outside, loop, loop_outside, n, loop_status):
    print("%6d %s: restore less loop %.2f ms per item  beside the shell loop's %.2f ms per line (%.1f s, status %d)"
          % (size, unit, (took - loop) / n * 1000, loop / n * 1000, loop, loop_status))
    # Outside any tool: starting each gam is in both; the rest of the restore's share is the system's.
    print("%6d %s: outside the tools %.2f ms per item  beside the shell loop's %.2f ms; own %.2f ms per item"
          % (size, unit, outside / n * 1000, loop_outside / n * 1000, (outside - loop_outside) / n * 1000))


def one_size(files):
    t0 = time.monotonic()
    d, task, domain, user = stage("--users 1 --files %d --messages 1 --events 1 --contacts 1 --shared-drives 0"
                                  % files, ["1", "0", "0", "0", "0"])
    try:
        print("%6d files: staged and backed up in %.1f s" % (files, time.monotonic() - t0))
        took, record, entries, watch, journal_bytes, outside = timed_restore(d, task, user, {"drive"})
        uploads = [e["argv"] for e in entries if e.get("tool") == "gam" and "localfile" in e.get("argv", [])]
        n = max(len(uploads), 1)
        print("%6d files: restore %s in %.1f s, %d items (%d uploads), %.1f items/s, %d tool processes"
              % (files, record["backup_status"], took, record["drive_total"], len(uploads),
                 record["drive_total"] / took, len(entries)))
        print("%6d files: mission record written %d times, %d bytes in all; journal %d bytes"
              % (files, watch.writes, watch.bytes, journal_bytes))
        # The uploads name the folders the restore made, so the loop runs in the Drive as the restore
        # left it (a per-item cost that does not depend on the Drive's size).
        loop, loop_status, loop_outside = shell_loop(d, domain, "drive", uploads)
        print_own(files, "files", took, outside, loop, loop_outside, n, loop_status)
    finally:
        shutil.rmtree(Domain.root, ignore_errors=True)


def one_mailbox(messages):
    t0 = time.monotonic()
    d, task, domain, user = stage("--users 1 --files 0 --messages %d --events 0 --contacts 0 --shared-drives 0"
                                  % messages, ["0", "0", "0", "1", "0"])
    try:
        print("%6d messages: staged and backed up in %.1f s" % (messages, time.monotonic() - t0))
        # Both runs insert into the mailbox as it was after the backup.
        state = SimState(d.path("var/lib/gwssim/users", user), ["mail.json", "mail.idx"])
        took, record, entries, watch, journal_bytes, outside = timed_restore(d, task, user, {"gmail"})
        inserts = [e["argv"] for e in entries if e.get("tool") == "gam" and "insert" in e.get("argv", [])]
        n = max(len(inserts), 1)
        print("%6d messages: restore %s in %.1f s, %d messages (%d inserts), %.1f messages/s, %d tool processes"
              % (messages, record["backup_status"], took, record["gmail_total"], len(inserts),
                 record["gmail_total"] / took, len(entries)))
        print("%6d messages: mission record written %d times, %d bytes in all; journal %d bytes"
              % (messages, watch.writes, watch.bytes, journal_bytes))
        state.put_back()
        loop, loop_status, loop_outside = shell_loop(d, domain, "gmail", inserts)
        print_own(messages, "messages", took, outside, loop, loop_outside, n, loop_status)
    finally:
        shutil.rmtree(Domain.root, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--files", type=int, nargs="*", default=[2000, 20000])
    ap.add_argument("--messages", type=int, nargs="*", default=[2500, 10000])
    args = ap.parse_args()
    for files in args.files:
        one_size(files)
    for messages in args.messages:
        one_mailbox(messages)


if __name__ == "__main__":
    main()
