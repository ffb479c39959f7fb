#!/usr/bin/env python3
"""Mail browse benchmark: one account with 100 000 backed-up mails (EML files in its store and the
catalog rows the Gmail backup writes), browsed through orvenna.cgi as a whole process. Run by hand
after a build:

    python3 bench/mail_bench.py [--mails 100000] [--hits 1000] [--runs 5]

Requests: the folder counts (gmail_list), a page of 30 outside the first-page cache, a search with
--hits hits, and the mail view. Pages and searches are measured twice: cold (the summary store
removed first, so every mail is analysed) and warm (every mail's summary stored). Beside each, the
baseline of the same run: the same SQL through the sqlite3 tool plus, for pages, searches and the
view, emlsift run once per command and mail as the request needs it, one process after another."""

import argparse
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import browse_bench  # noqa: E402
import test_account_browse  # noqa: E402

USER = "bench.user@example.test"
TABLE = "gmail_sql_database"
PNG = "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNkYPhfDwAChwGA60e6kgAAAABJRU5ErkJggg=="


def eml(n, subject):
    date = time.strftime("%a, %d %b %Y %H:%M:%S +0000", time.gmtime(1704067200 + n * 60))
    return ("From: \"Sender %d\" <s%d@example.test>\r\nTo: Bench <%s>\r\nSubject: %s\r\nDate: %s\r\n"
            "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
            "--B\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<p>Mail %d <b>body</b> "
            "<img alt=\"logo.png\" src=\"cid:l\"></p>%s\r\n"
            "--B\r\nContent-Type: image/png; name=\"logo.png\"\r\nContent-Disposition: inline; filename=\"logo.png\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\n%s\r\n--B--\r\n"
            % (n, n, USER, subject, date, n, "<p>filler text</p>" * 20, PNG), date)


def new_mailbox(s, user):
    """A new task with user's empty mail store and a catalog: one row through the system's writer
    makes the catalog and its schema, so a benchmark can add the rest in bulk."""
    task = s.new_task()
    store = s.gws("backup/gmail", task, user)
    os.makedirs(store)
    test_account_browse.write_catalogs(s.root, task=task, user=user, gmail=[{"localid": "seed"}])
    return task, store


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mails", type=int, default=100000)
    ap.add_argument("--hits", type=int, default=1000)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    every = max(1, args.mails // args.hits)

    t0 = time.monotonic()
    browse_bench.Setup.setUpClass()
    try:
        s = browse_bench.Setup()
        task, store = new_mailbox(s, USER)
        catalog = s.gws("backup/gmail_db", task, USER + ".db")
        rows = []
        for n in range(args.mails):
            localid = "m%07d" % n
            subject = ("Quarterly report %d" if n % every == 0 else "Note %d") % n
            text, date = eml(n, subject)
            with open(os.path.join(store, localid), "w") as f:
                f.write(text)
            rows.append(("g%07d" % n, localid, '"Sender %d"' % n, "s%d@example.test" % n, "Bench", USER, date,
                         1704067200 + n * 60, subject, 1, int(n % 10 == 0), int(n % 4 == 0), int(n % 5 == 1),
                         int(n % 1000 == 7), int(n % 50 == 3)))
        with sqlite3.connect(catalog) as db:
            db.execute("DELETE FROM %s" % TABLE)
            db.executemany("INSERT INTO %s (gmail_id,drive_localid,sned_name,send_mail,recipient_name,recipient_mail,"
                           "date_str,date_timestamp,subject,has_attachment,Starred,Important,Sent,Drafts,Trash) "
                           "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)" % TABLE, rows)
        print("mailbox: %d mails, %.0f MB of EML, catalog %.0f MB, made in %.1f s"
              % (args.mails, sum(len(eml(0, "x")[0]) for _ in range(1)) * args.mails / 1e6,
                 os.path.getsize(catalog) / 1e6, time.monotonic() - t0))

        summaries = s.gws("backup/gmail_db", task, USER + ".summaries")
        emlsift = s.path(browse_bench.qlmtest.APP, "bin", "emlsift")
        q = "SELECT * FROM %s WHERE " % TABLE
        page_sql = q + "1 = 1 ORDER BY ID DESC LIMIT 30,30; SELECT COUNT(*) FROM %s WHERE 1 = 1;" % TABLE
        search_sql = q + "subject LIKE '%%Quarterly report%%' ORDER BY ID DESC;"
        counts_sql = "SELECT COUNT(*), TOTAL(Starred = 1), TOTAL(Important = 1), TOTAL(Sent = 1), " \
                     "TOTAL(Drafts = 1), TOTAL(Trash = 1) FROM %s;" % TABLE
        page_ids = ["m%07d" % n for n in range(args.mails - 31, args.mails - 61, -1)]
        hit_ids = ["m%07d" % n for n in range(0, args.mails, every)]
        view_id = page_ids[0]
        cases = [
            ("folder counts", dict(act="gmail_list"), counts_sql, [], None),
            ("page 30 cold", dict(act="list_gmail_local_backup", gmail_name="Inbox", start=30, limit=30), page_sql,
             page_ids, "cold"),
            ("page 30 warm", dict(act="list_gmail_local_backup", gmail_name="Inbox", start=30, limit=30), page_sql,
             page_ids, "warm"),
            ("search cold", dict(act="gmail_advanced_search", subject_key_word="Quarterly report"), search_sql,
             hit_ids, "cold"),
            ("search warm", dict(act="gmail_advanced_search", subject_key_word="Quarterly report"), search_sql,
             hit_ids, "warm"),
            ("mail view", dict(act="gmail_single_info", gmail_localid=view_id), counts_sql, [view_id], "view"),
        ]
        out_dir = tempfile.mkdtemp(prefix="qlm-bench-out-")
        try:
            cgi_env = s.env(GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD="GET", HTTP_COOKIE="NAS_SID=" + s.sid)
            print("%-14s %10s %13s %7s %10s %12s" % ("request", "cgi ms", "baseline ms", "ratio", "cgi peak",
                                                     "reply bytes"))
            for label, params, sql, mails, mode in cases:
                env = dict(cgi_env, QUERY_STRING=urllib.parse.urlencode(dict(params, task_id=task,
                                                                             domain_user_email=USER)))
                reply = os.path.join(out_dir, "reply")
                runs = args.runs
                if mode == "cold":
                    # Each run starts from no stored summaries.
                    took_all, peak, size = [], 0, 0
                    for _ in range(runs):
                        for suffix in ("", "-wal", "-shm"):
                            if os.path.exists(summaries + suffix):
                                os.unlink(summaries + suffix)
                        took, _, p, size = browse_bench.measure([s.cgi_path], env, reply, 1)
                        took_all.append(took)
                        peak = max(peak, p)
                    took = sorted(took_all)[len(took_all) // 2]
                else:
                    took, _, peak, size = browse_bench.measure([s.cgi_path], env, reply, runs)
                with open(reply, "rb") as f:
                    head = f.read(200)
                if b'"success": true' not in head:
                    raise RuntimeError("%s: unexpected reply %r" % (label, head))
                # Baseline: the SQL through the sqlite3 tool, then emlsift once per command and mail.
                options = ["--header", "--html", "--a"] if mode == "view" else ["--header", "--a"] if mails else []
                base_runs = []
                for _ in range(runs):
                    start = time.monotonic()
                    subprocess.run(["sqlite3", "-readonly", "-json", catalog, sql], check=True,
                                   stdout=subprocess.DEVNULL)
                    for m in mails:
                        for option in options:
                            subprocess.run([emlsift, "-i", os.path.join(store, m), "--format", "json", option],
                                           env=s.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    base_runs.append(time.monotonic() - start)
                base = sorted(base_runs)[len(base_runs) // 2]
                print("%-14s %10.1f %13.1f %7.2f %7.1f MB %12d"
                      % (label, took * 1e3, base * 1e3, took / base if base else 0, peak / 1024, size))
        finally:
            shutil.rmtree(out_dir, ignore_errors=True)
    finally:
        browse_bench.Setup.tearDownClass()


if __name__ == "__main__":
    main()
