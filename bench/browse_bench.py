#!/usr/bin/env python3
"""Browse benchmark: one account's Drive catalog grown to a million rows, browsed and searched
through orvenna.cgi as a whole process, beside the same SQL run by the sqlite3 command-line tool
on the same file. Run by hand after a build:

    python3 bench/browse_bench.py [--folders 1000] [--files 999] [--runs 5]

The demo domain is backed up once by the backup engine (so task, store folder and catalog are
real), then the account's catalog is replaced by a generated one of the same schema: a root, the
folders under it and the files in each folder. Each request prints its median wall and CPU
times, the sqlite3 tool's medians for the same statements, the peak resident memory of both processes and
the reply's size; and, when build/bench/bench_browse_list is there, the peak memory of the whole
search held as one json-c object instead of streamed."""

import argparse
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import qlmtest  # noqa: E402
import test_tasks  # noqa: E402

USER = "alice@example.test"
TABLE = "drive_sql_database"
FOLDER = "application/vnd.google-apps.folder"
KINDS = [("txt", "text/plain"), ("pdf", "application/pdf"), ("png", "image/png"), ("csv", "text/csv"),
         ("docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"),
         ("xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet")]


class Setup(test_tasks.TaskCase):
    """The test fixture's staging, session and task, used outside a test run."""

    def runTest(self):
        pass


def generate(path, schema, folders, files):
    """A catalog of 1 + folders + folders * files rows at path, with the backup's schema and indexes."""
    db = sqlite3.connect(path)
    db.execute("PRAGMA journal_mode=OFF")
    db.execute("PRAGMA synchronous=OFF")
    for sql in schema:
        db.execute(sql)
    now = int(time.time())
    root_id = "root-" + "0" * 28

    def rows():
        yield (root_id, "My Drive", "", "", FOLDER, 1, -1, -1, "", "", "", now, now, "", 0)
        index = 2
        for f in range(folders):
            folder_id = "fold-%028d" % f
            folder_name = "Folder %04d" % f
            yield (folder_id, folder_name, "", "2024-01-01T00:00:00.000Z", FOLDER, index, 0, -1, "", root_id, USER,
                   now, now, '[ { "index": 1, "name": "My Drive" } ]', 1704067200)
            structure = '[ { "index": 1, "name": "My Drive" }, { "index": %d, "name": "%s" } ]' % (index,
                                                                                                  folder_name)
            index += 1
            for i in range(files):
                n = f * files + i
                ext, mime = KINDS[n % len(KINDS)]
                stamp = 1704067200 + n * 37
                modified = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(stamp)) + ".%03dZ" % (n % 1000)
                yield ("file-%028d" % n, "file-%07d.%s" % (n, ext), "%032x" % n, modified, mime, index, 1,
                       (n * 7919) % 5000000, str(uuid.UUID(int=n)), folder_id, USER, now, now, structure, stamp)
                index += 1

    db.executemany("INSERT INTO %s (drive_id,drive_name,drive_md5Checksum,drive_modifiedTime,drive_mimeType,"
                   "drive_index,drive_depth,drive_size,drive_localid,drive_parents,drive_Owner,create_time,"
                   "last_backup_time,structure,modify_timestamp) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)" % TABLE,
                   rows())
    db.commit()
    db.close()


TIME = "/usr/bin/time"  # GNU time: a small parent, so the peak it reports is the program's own


def measure(argv, env, out_path, runs):
    """Median wall time, median CPU time (user + system), highest peak RSS (KiB) and output size of
    argv run runs times. Times come from runs of argv alone; the peak from one more run under GNU
    time (without it, from wait4, which then includes this script's own size from before exec)."""
    times, cpus, peak = [], [], 0

    def once(cmd):
        with open(out_path, "wb") as out:
            start = time.monotonic()
            proc = subprocess.Popen(cmd, env=env, stdout=out, stderr=subprocess.DEVNULL)
            _, status, usage = os.wait4(proc.pid, 0)
            took = time.monotonic() - start
        if os.waitstatus_to_exitcode(status) != 0:
            raise RuntimeError("%s ended with %d" % (argv[0], os.waitstatus_to_exitcode(status)))
        return took, usage

    for _ in range(runs):
        took, usage = once(argv)
        times.append(took)
        cpus.append(usage.ru_utime + usage.ru_stime)
        peak = max(peak, usage.ru_maxrss)
    if os.access(TIME, os.X_OK):
        rss_path = out_path + ".rss"
        once([TIME, "-f", "%M", "-o", rss_path] + argv)
        with open(rss_path) as f:
            peak = int(f.read().split()[-1])
    return statistics.median(times), statistics.median(cpus), peak, os.path.getsize(out_path)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--folders", type=int, default=1000)
    ap.add_argument("--files", type=int, default=999)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()

    t0 = time.monotonic()
    Setup.setUpClass()
    try:
        s = Setup()
        task = s.new_task()
        subprocess.run([s.cgi_path, "-backup", str(uuid.uuid4()), task, "1", "0", "0", "0", "0"],
                       env=s.env(QLM_SLEEP_SCALE="0"), check=True, capture_output=True)
        catalog = s.gws("backup/drive_db", task, USER + ".db")
        with sqlite3.connect(catalog) as db:
            schema = [r[0] for r in db.execute("SELECT sql FROM sqlite_master WHERE sql IS NOT NULL AND "
                                               "tbl_name = ? ORDER BY type DESC", (TABLE,))]
        fresh = catalog + ".bench"
        generate(fresh, schema, args.folders, args.files)
        os.replace(fresh, catalog)
        total = 1 + args.folders * (1 + args.files)
        print("catalog: %d rows, %.0f MB, made in %.1f s (staging and the demo backup included)"
              % (total, os.path.getsize(catalog) / 1e6, time.monotonic() - t0))

        middle = args.folders // 2
        with sqlite3.connect(catalog) as db:
            folder_id, folder_index = db.execute("SELECT drive_id, drive_index FROM %s WHERE drive_name = ?"
                                                 % TABLE, ("Folder %04d" % middle,)).fetchone()
            item_index = db.execute("SELECT drive_index FROM %s WHERE drive_parents = ? ORDER BY id LIMIT 1 "
                                    "OFFSET %d" % (TABLE, min(17, args.files - 1)), (folder_id,)).fetchone()[0]
        start = args.files // 2
        needle = "file-%07d" % (middle * args.files // 10)  # a prefix some ten names share
        q = "SELECT * FROM %s WHERE " % TABLE
        cases = [
            ("folder page", dict(act="list_drive_local_backup", start=start, limit=50, index=folder_index),
             q + "drive_index = %d ORDER BY ID DESC; " % folder_index +
             q + "drive_parents = '%s' ORDER BY ID DESC LIMIT %d,50; " % (folder_id, start) +
             "SELECT COUNT(*) FROM %s WHERE drive_parents = '%s';" % (TABLE, folder_id)),
            ("root page", dict(act="list_drive_local_backup", start=0, limit=50, index=1),
             q + "drive_index = 1 ORDER BY ID DESC; " + q + "drive_parents = 'root-%s' ORDER BY ID DESC "
             "LIMIT 0,50; SELECT COUNT(*) FROM %s WHERE drive_parents = 'root-%s';" % ("0" * 28, TABLE, "0" * 28)),
            ("page: key %", dict(act="list_drive_local_backup", start=0, limit=100000, index=1, key_word="%"),
             q + "drive_index = 1 ORDER BY ID DESC; " + q + "drive_name LIKE '%%' OR drive_Owner LIKE '%%' ORDER BY "
             "ID DESC LIMIT 0,100000; SELECT COUNT(*) FROM %s WHERE drive_parents = 'root-%s';" % (TABLE, "0" * 28)),
            ("item details", dict(act="drive_single_info", index=item_index),
             q + "drive_index = %d ORDER BY ID DESC;" % item_index),
            ("search: name", dict(act="drive_advanced_search", name_key_word=needle),
             q + "drive_name LIKE '%%%s%%' ORDER BY ID DESC;" % needle),
            ("search: pdf", dict(act="drive_advanced_search", type="pdf"),
             q + "drive_mimeType LIKE '%application/pdf%' ORDER BY ID DESC;"),
            ("search: all", dict(act="drive_advanced_search", name_key_word=""),
             q + "drive_name LIKE '%' ORDER BY ID DESC;"),
        ]
        out_dir = tempfile.mkdtemp(prefix="qlm-bench-out-")
        try:
            cgi_env = s.env(GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD="GET", HTTP_COOKIE="NAS_SID=" + s.sid)
            print("%-13s %9s %10s %6s %9s %10s %6s %11s %11s %12s %12s"
                  % ("request", "cgi ms", "sqlite3 ms", "ratio", "cgi CPU", "sqlite3 CPU", "ratio", "cgi peak",
                     "cli peak", "reply bytes", "cli bytes"))
            for label, params, sql in cases:
                env = dict(cgi_env, QUERY_STRING=urllib.parse.urlencode(dict(params, task_id=task,
                                                                             domain_user_email=USER)))
                reply = os.path.join(out_dir, "reply")
                took, cpu, peak, size = measure([s.cgi_path], env, reply, args.runs)
                with open(reply, "rb") as f:
                    head = f.read(200)
                if b'"success": true' not in head:
                    raise RuntimeError("%s: unexpected reply %r" % (label, head))
                cli_took, cli_cpu, cli_peak, cli_size = measure(["sqlite3", "-readonly", "-json", catalog, sql],
                                                       {"PATH": "/usr/bin:/bin"}, os.path.join(out_dir, "cli"),
                                                       args.runs)
                print("%-13s %9.1f %10.1f %6.2f %9.1f %10.1f %6.2f %8.1f MB %8.1f MB %12d %12d"
                      % (label, took * 1e3, cli_took * 1e3, took / cli_took if cli_took else 0, cpu * 1e3,
                         cli_cpu * 1e3, cpu / cli_cpu if cli_cpu else 0, peak / 1024, cli_peak / 1024, size,
                         cli_size))
            # The same whole-catalog search held as one json-c object, as a reply built in one piece.
            whole = os.path.join(qlmtest.BINARY_DIR, "bench", "bench_browse_list")
            if os.access(whole, os.X_OK):
                start = time.monotonic()
                line = subprocess.run([whole, USER, task], env=s.env(), check=True, capture_output=True,
                                      text=True).stdout.strip()
                print("search: all as one json-c object: %s, %.1f s" % (line, time.monotonic() - start))
        finally:
            shutil.rmtree(out_dir, ignore_errors=True)
    finally:
        Setup.tearDownClass()


if __name__ == "__main__":
    main()
