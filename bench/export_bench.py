#!/usr/bin/env python3
"""Export benchmark: backed-up data exported to a NAS share by orvenna.cgi's export workers, beside
a baseline of the same run. Run by hand after a build:

    python3 bench/export_bench.py [--mails 10000] [--contacts 10000] [--runs 2] [--only mailbox]

Sections (each prints its own table):
- mailbox: one account's Gmail store of --mails EML files exported whole ("ALL") into the share,
  timed from the request to the history record, beside `cp -r` of the same store folder into the
  same share. Twice: with the mails in the account's catalog (their subjects, read by the backup,
  name the files) and without (each mail's subject is read by one emlsift header run, so that
  figure is mostly the tool's start-up).
- log: one account's --contacts contacts exported as one CSV file, which writes one activity-log
  row per contact (in transactions of many rows), beside the same number of rows inserted into a
  copy of the log one transaction per row and in one transaction, through the sqlite3 module with
  the log's own settings (rollback journal, synchronous FULL). The export's cost per item beside
  those two gives the log's share of it.

- drive: one account's Drive of --drive-files files of --drive-size bytes (100 to a folder)
  exported whole ("ALL"), timed from the request to the history record, in catalog nodes (files,
  folders and the drive's top) and files per second, beside `cp -r` of the same tree into the same
  share; then the activity-log cost per exported file, measured by bench_export_log (the export
  worker's batched rows beside one insert per row)."""

import argparse
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import qlmtest  # noqa: E402
import test_tasks  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import download_bench  # noqa: E402

USER = "alice@example.test"
BENCH_USER = "bench.user@example.test"


class Setup(test_tasks.TaskCase):
    """The test fixture's staging, session and task, used outside a test run."""

    def runTest(self):
        pass


class Bench:
    """The staged root with one backed-up task and a share "Bench"."""

    def __init__(self, work):
        Setup.setUpClass()
        self.s = Setup()
        self.task = self.s.new_task()
        # Drive, Shared Drives, Gmail and Contacts of the demo domain, for the catalogs' schemas.
        subprocess.run([self.s.cgi_path, "-backup", str(uuid.uuid4()), self.task, "1", "1", "0", "1", "1"],
                       env=self.s.env(QLM_SLEEP_SCALE="0"), check=True, capture_output=True)
        self.work = work
        self.share = os.path.join(work, "share")
        os.makedirs(self.share)
        self.s.nasctl("share", "add", "Bench", self.share)

    def export(self, act, **params):
        """Runs one export to its end; (wall seconds from the request to the history record, reply)."""
        hist = self.s.gws("conf/mission/history_mission")
        before = set(os.listdir(hist)) if os.path.isdir(hist) else set()
        query = dict(act=act, task_id=self.task, nas_path="/Bench", **params)
        start = time.monotonic()
        status, _, body = self.s.run_cgi(query, sid=self.s.sid)
        reply = self.s.json_body(body)
        if status != 0 or not reply.get("success"):
            raise RuntimeError("export refused: %s" % reply)
        marker = self.s.gws("conf/mission/progress_mission", reply["mission_id"])
        while True:
            now = set(os.listdir(hist)) if os.path.isdir(hist) else set()
            if now - before and not os.path.exists(marker):
                return time.monotonic() - start, reply
            time.sleep(0.005)

    def close(self):
        Setup.tearDownClass()


def files_below(folder):
    return {os.path.join(d, f) for d, _, names in os.walk(folder) for f in names}


def timed(cmd):
    start = time.monotonic()
    subprocess.run(cmd, check=True)
    return time.monotonic() - start


def bench_mailbox(b, args):
    store = b.s.gws("backup/gmail", b.task, BENCH_USER)
    os.makedirs(store)
    body = ("Lorem ipsum dolor sit amet. " * 60 + "\r\n") * 4
    subjects = []
    for n in range(args.mails):
        # One subject in ten is shared, so the name clashes are part of the run.
        subject = "Report" if n % 10 == 0 else "Bench mail %06d" % n
        localid = str(uuid.UUID(int=n + 1))
        subjects.append((localid, subject))
        with open(os.path.join(store, localid), "w", newline="") as f:
            f.write("From: Bench <bench@example.test>\r\nTo: %s\r\nSubject: %s\r\nDate: Mon, 08 Jan 2024 "
                    "09:00:00 +0000\r\nMessage-ID: <bench%d@example.test>\r\nMIME-Version: 1.0\r\n"
                    "Content-Type: text/plain; charset=UTF-8\r\n\r\n%s" % (BENCH_USER, subject, n, body))
    size = sum(os.path.getsize(os.path.join(store, n)) for n in os.listdir(store))
    print("mailbox: %d mails, %.1f MB" % (args.mails, size / 1e6))
    print("%-28s %9s %11s" % ("run", "wall s", "mails/s"))
    ours, cps = {}, []
    catalog = b.s.gws("backup/gmail_db", b.task, BENCH_USER + ".db")
    for kind in ("without catalog", "with catalog"):
        if kind == "with catalog":
            shutil.copy(b.s.gws("backup/gmail_db", b.task, USER + ".db"), catalog)
            with sqlite3.connect(catalog) as db:
                template = dict(zip([c[1] for c in db.execute("PRAGMA table_info(gmail_sql_database)")],
                                    db.execute("SELECT * FROM gmail_sql_database LIMIT 1").fetchone()))
                template.pop("id", None)
                db.execute("DELETE FROM gmail_sql_database")
                cols = list(template)
                db.executemany("INSERT INTO gmail_sql_database (%s) VALUES (%s)"
                               % (",".join(cols), ",".join("?" * len(cols))),
                               [[dict(template, gmail_id="g%d" % n, drive_localid=localid, subject=subject)[c]
                                 for c in cols] for n, (localid, subject) in enumerate(subjects)])
        ours[kind] = []
        for run in range(args.runs):
            took, reply = b.export("export_gmail_to_nas", gmail_localid="ALL", domain_user_email=BENCH_USER)
            written = len(os.listdir(reply["path"]))
            if written != args.mails:
                raise RuntimeError("%d of %d mails exported" % (written, args.mails))
            ours[kind].append(took)
            print("%-28s %9.2f %11.0f" % ("export %s %d" % (kind, run), took, args.mails / took))
            shutil.rmtree(reply["path"])
            target = os.path.join(b.share, "cp-%d" % run)
            took = timed(["cp", "-r", store, target])
            cps.append(took)
            print("%-28s %9.2f %11.0f" % ("cp -r %d" % run, took, args.mails / took))
            shutil.rmtree(target)
    cp = statistics.median(cps)
    for kind, times in ours.items():
        print("median export %s: %.0f mails/s, %.1fx the time of cp -r (%.0f mails/s)"
              % (kind, args.mails / statistics.median(times), statistics.median(times) / cp, args.mails / cp))


def bench_log(b, args):
    alice = b.s.gws("backup/contact_db", b.task, USER + ".db")
    catalog = b.s.gws("backup/contact_db", b.task, BENCH_USER + ".db")
    shutil.copy(alice, catalog)
    with sqlite3.connect(catalog) as db:
        db.row_factory = sqlite3.Row
        template = dict(db.execute("SELECT * FROM contact_sql_database LIMIT 1").fetchone())
        template.pop("id", None)
        db.execute("DELETE FROM contact_sql_database")
        cols = list(template)
        rows = []
        for n in range(args.contacts):
            row = dict(template, localid=str(uuid.UUID(int=n + 1)))
            row["names_0_displayName"] = "Bench contact %06d" % n
            rows.append([row[c] for c in cols])
        db.executemany("INSERT INTO contact_sql_database (%s) VALUES (%s)" % (",".join(cols), ",".join("?" * len(cols))),
                       rows)
    log = b.s.gws("quillmere_log_datebase.db")
    print("log: %d contacts, one activity-log row each" % args.contacts)
    print("%-26s %9s %14s" % ("run", "wall s", "ms per item"))
    ours = []
    for run in range(args.runs):
        took, reply = b.export("export_contact_to_nas", localid="ALL", domain_user_email=BENCH_USER)
        with open(reply["path"], "rb") as f:
            lines = f.read().count(b"\r\n")
        if lines != args.contacts + 1:
            raise RuntimeError("%d of %d contacts exported" % (lines - 1, args.contacts))
        ours.append(took)
        print("%-26s %9.2f %14.3f" % ("export %d" % run, took, took * 1000 / args.contacts))

    # The same rows into a copy of the log, as the stand-alone inserts would write them.
    copy = os.path.join(b.work, "log-copy.db")
    message = "Exported Contact file \"x\" of account %s to NAS path: %s." % (BENCH_USER, b.share)
    row = ("Orvenna", b.task, BENCH_USER, "admin", "SUCCESS", int(time.time()), "backup", "info", message)
    sql = ("INSERT INTO quillmere_sql_database (task_type,task_id,domain,user,sql_status,sql_timestamp,sql_event,"
           "sql_type,sql_name) VALUES (?,?,?,?,?,?,?,?,?)")
    figures = {}
    for name, per_txn in (("one commit per row", 1), ("one commit for all rows", args.contacts)):
        shutil.copy(log, copy)
        db = sqlite3.connect(copy, isolation_level=None)
        db.execute("PRAGMA journal_mode=DELETE")
        db.execute("PRAGMA synchronous=FULL")
        start = time.monotonic()
        for first in range(0, args.contacts, per_txn):
            db.execute("BEGIN IMMEDIATE")
            db.executemany(sql, [row] * min(per_txn, args.contacts - first))
            db.execute("COMMIT")
        took = time.monotonic() - start
        db.close()
        os.unlink(copy)
        figures[name] = took
        print("%-26s %9.2f %14.3f" % ("sqlite3, " + name, took, took * 1000 / args.contacts))
    print("median export %.3f ms per contact; a commit per row alone would cost %.3f ms per contact"
          % (statistics.median(ours) * 1000 / args.contacts, figures["one commit per row"] * 1000 / args.contacts))


def bench_drive(b, args):
    folders = max(1, args.drive_files // 100)
    per_folder = args.drive_files // folders
    _, tree = download_bench.replace_drive(b.s, b.task, b.work, folders, per_folder, args.drive_size, backup=False)
    files = folders * per_folder
    items = files + folders + 1  # the files, their folders and the drive's top
    print("drive: %d files of %d bytes in %d folders (%d catalog nodes)" % (files, args.drive_size, folders, items))
    print("%-12s %9s %11s %11s %9s" % ("run", "wall s", "items/s", "files/s", "MB/s"))
    ours, cps = [], []
    for run in range(args.runs):
        # An earlier section's export of the same second may share the export folder: only the
        # files this export added count.
        before = files_below(b.share)
        took, reply = b.export("export_drive_to_nas", index="ALL", domain_user_email=download_bench.USER)
        written = len(files_below(reply["path"]) - before)
        if written != files:
            raise RuntimeError("%d of %d files exported" % (written, files))
        ours.append(took)
        print("%-12s %9.2f %11.0f %11.0f %9.1f" % ("export %d" % run, took, items / took, files / took,
                                                   files * args.drive_size / 1e6 / took))
        shutil.rmtree(reply["path"])
        target = os.path.join(b.share, "cp-%d" % run)
        took = timed(["cp", "-r", tree, target])
        cps.append(took)
        print("%-12s %9.2f %11.0f %11.0f %9.1f" % ("cp -r %d" % run, took, items / took, files / took,
                                                   files * args.drive_size / 1e6 / took))
        shutil.rmtree(target)
    ours, cp = statistics.median(ours), statistics.median(cps)
    print("median export: %.0f items/s, %.1fx the time of cp -r (%.0f items/s)" % (items / ours, ours / cp, items / cp))
    # The Drive export writes one activity-log row per copied file, queued by the export worker and
    # written in transactions of many rows: its cost per item, beside one insert per row.
    log_bench = os.path.join(qlmtest.BINARY_DIR, "bench", "bench_export_log")
    if os.path.exists(log_bench):
        subprocess.run([log_bench, str(files)], env=b.s.env(), check=True)
    else:
        print("activity-log cost: build bench_export_log to measure it")


SECTIONS = {"mailbox": bench_mailbox, "log": bench_log, "drive": bench_drive}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mails", type=int, default=10000)
    ap.add_argument("--contacts", type=int, default=10000)
    ap.add_argument("--drive-files", type=int, default=10000)
    ap.add_argument("--drive-size", type=int, default=16 * 1024)
    ap.add_argument("--runs", type=int, default=2)
    ap.add_argument("--only", choices=sorted(SECTIONS), action="append")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="qlm-bench-export-")
    b = None
    try:
        b = Bench(work)
        for name, section in SECTIONS.items():
            if not args.only or name in args.only:
                section(b, args)
                print()
    finally:
        if b:
            b.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
