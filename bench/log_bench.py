#!/usr/bin/env python3
"""Activity-log benchmark: a log grown to many rows, read whole through orvenna.cgi by list_log,
find_log and save_log, beside the sqlite3 command-line tool printing the same rows as JSON from
the same file. Run by hand after a build:

    python3 bench/log_bench.py [--rows 100000] [--runs 3]

Each request prints its median wall time, its peak resident memory and the size of its reply
(for save_log, the CSV file sent), next to the sqlite3 tool's; the log's requests write their rows
as they read them, so their peak must stay under 48 MB whatever the number of rows."""

import argparse
import os
import shutil
import sqlite3
import sys
import tempfile
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browse_bench  # noqa: E402  (the staging and the measuring are the browse benchmark's)

BOUND_MB = 48


def fill(path, rows):
    """rows rows as workers write them: messages of about 90 bytes, ten tasks."""
    with sqlite3.connect(path) as db:
        db.executemany("INSERT INTO quillmere_sql_database (task_type,task_id,domain,user,sql_status,sql_timestamp,"
                       "sql_event,sql_type,sql_name) VALUES ('Orvenna',?,'admin@example.test','admin','SUCCESS',?,"
                       "'backup','info',?)",
                       (("task-%d" % (i % 10), 1700000000 + i,
                         "Backed up file report-%07d.pdf of user account alice@example.test." % i)
                        for i in range(rows)))
    db.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=100000)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()

    browse_bench.Setup.setUpClass()
    try:
        s = browse_bench.Setup()
        log = s.gws("quillmere_log_datebase.db")
        # The log with its table, as the first action leaves it.
        s.request({"act": "find_log", "start": "0", "limit": "1", "key_word": "x"})
        fill(log, args.rows)
        print("log: %d rows, %.1f MB" % (args.rows, os.path.getsize(log) / 1e6))
        every = "SELECT * FROM quillmere_sql_database ORDER BY ID DESC;"
        cases = [
            ("list_log", dict(act="list_log", start=0, limit=args.rows), every),
            ("find_log", dict(act="find_log", start=0, limit=args.rows, key_word="report"),
             "SELECT * FROM quillmere_sql_database WHERE sql_name LIKE '%report%' ORDER BY ID DESC;"),
            ("save_log", dict(act="save_log", browser="firefox"),
             "SELECT sql_type, sql_timestamp, user, sql_event, sql_name FROM quillmere_sql_database "
             "ORDER BY ID DESC;"),
        ]
        out_dir = tempfile.mkdtemp(prefix="qlm-bench-out-")
        try:
            cgi_env = s.env(GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD="GET", HTTP_COOKIE="NAS_SID=" + s.sid)
            print("%-9s %9s %10s %11s %11s %12s %12s %s"
                  % ("request", "cgi ms", "sqlite3 ms", "cgi peak", "cli peak", "reply bytes", "cli bytes",
                     "peak under %d MB" % BOUND_MB))
            for label, params, sql in cases:
                env = dict(cgi_env, QUERY_STRING=urllib.parse.urlencode(params))
                reply = os.path.join(out_dir, "reply")
                took, _, peak, size = browse_bench.measure([s.cgi_path], env, reply, args.runs)
                with open(reply, "rb") as f:
                    head = f.read(300)
                if b'"success": false' in head or (label != "save_log" and b'"success": true' not in head):
                    raise RuntimeError("%s: unexpected reply %r" % (label, head))
                cli_took, _, cli_peak, cli_size = browse_bench.measure(
                    ["sqlite3", "-readonly", "-json", log, sql], {"PATH": "/usr/bin:/bin"},
                    os.path.join(out_dir, "cli"), args.runs)
                print("%-9s %9.1f %10.1f %8.1f MB %8.1f MB %12d %12d %s"
                      % (label, took * 1e3, cli_took * 1e3, peak / 1024, cli_peak / 1024, size, cli_size,
                         "yes" if peak / 1024 < BOUND_MB else "NO"))
        finally:
            shutil.rmtree(out_dir, ignore_errors=True)
    finally:
        browse_bench.Setup.tearDownClass()


if __name__ == "__main__":
    main()
