"""The activity-log actions of orvenna.cgi (list_log, find_log, delete_log, save_log) over a log
written by real task actions and backups."""

import csv
import fcntl
import io
import os
import shutil
import sqlite3
import stat
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import test_backup  # noqa: E402
import test_tasks  # noqa: E402

ALL_ON = test_tasks.ALL_ON
NO_SERVICE = test_backup.NO_SERVICE
LOG_DB = "quillmere_log_datebase.db"

# Admin e-mails of extra tasks: each add logs "User admin added <e-mail> to the domain list.", so the
# log holds the search's special characters literally, and decoys that a keyword would match only
# if they were read as wildcards or as an undeclared escape.
SPECIAL_ADMINS = [
    "deal50%off@pct.test",      # "%" literally
    "deal50xxoff@pctw.test",    # "50%off" with "%" as a wildcard
    "deal50/xoff@pcts.test",    # "50%off" escaped to "50/%off" without a declared escape character
    "a_b@us.test",              # "_" literally
    "axb@usw.test",             # "a_b" with "_" as a wildcard
    "o'neil@q.test",            # a single quote
    "r/d@sl.test",              # the escape character itself
    "r//d@sl2.test",            # "r/d" escaped to "r//d" without a declared escape character
    'he said "hi, there"@dq.test',  # double quotes and a comma, for the CSV file
]

# Keywords and the decoy e-mails their rows must not include.
SEARCHES = [
    ("50%off", ["deal50xxoff@pctw.test", "deal50/xoff@pcts.test"]),
    ("50%", ["deal50xxoff@pctw.test", "deal50/xoff@pcts.test"]),
    ("a_b", ["axb@usw.test"]),
    ("_", ["axb@usw.test"]),
    ("o'neil", []),
    ("'", []),
    ("r/d", ["r//d@sl2.test"]),
    ("/", []),
    ("%", ["deal50xxoff@pctw.test"]),
    ('"hi, there"', []),
    ("DEAL50%OFF", ["deal50xxoff@pctw.test"]),  # ASCII case is ignored
    ("no such text", []),
]

INJECTIONS = ["x' OR '1'='1", "' OR 1=1 --", "1; DELETE FROM quillmere_sql_database; --", "%", "*", ""]


class LogCase(test_backup.BackupCase):
    """A log per test, written by task adds, an edit and a backup of the demo task."""

    def fill_log(self):
        """Adds the special-character tasks, edits the demo task and runs one backup of it."""
        self.extra = {}
        for admin in SPECIAL_ADMINS:
            self.extra[admin] = self.new_task(admin)
        reply = self.request(dict(ALL_ON, act="edit", task_id=self.task, gmail_enable="0"))
        self.assertTrue(reply["success"], reply)
        self.assertTrue(self.backup(**NO_SERVICE)["success"])
        self.wait_history()
        self.wait_gam_folder_gone()
        rows = self.log_rows()
        messages = [r["sql_name"] for r in rows]
        for admin in SPECIAL_ADMINS:
            self.assertIn("User admin added %s to the domain list." % admin, messages)
        self.assertIn("Completed backup for all accounts in domain %s." % test_tasks.ADMIN, messages)
        return rows

    def log_request(self, **params):
        return self.request(params)

    def newest_first(self, rows):
        return sorted(rows, key=lambda r: r["ID"], reverse=True)

    def assertSameRows(self, replied, expected):
        """Rows as the database holds them, in the reply's JSON form (ID and time as integers)."""
        self.assertEqual(replied, [dict(r) for r in expected])

    def tmp_entries(self):
        return os.listdir(self.path("usr/local/tmp"))


class ListAndFind(LogCase):

    def test_list_log_pages_newest_first_with_and_without_a_task(self):
        rows = self.fill_log()
        everything = self.newest_first(rows)
        for start, limit in ((0, 5), (3, 4), (0, 1000), (len(rows) - 2, 10), (len(rows), 5), (0, 0)):
            with self.subTest(start=start, limit=limit):
                reply = self.log_request(act="list_log", start=str(start), limit=str(limit))
                self.assertEqual(list(reply), ["success", "log", "total"])
                self.assertTrue(reply["success"])
                self.assertSameRows(reply["log"], everything[start:start + limit])
                self.assertEqual(reply["total"], len(rows))
        mine = [r for r in everything if r["task_id"] == self.task]
        self.assertGreaterEqual(len(mine), 4)  # add, edit, the backup's start and end
        for start, limit in ((0, 100), (1, 2)):
            with self.subTest(task=True, start=start, limit=limit):
                reply = self.log_request(act="list_log", start=str(start), limit=str(limit), task_id=self.task)
                self.assertSameRows(reply["log"], mine[start:start + limit])
                self.assertEqual(reply["total"], len(rows))  # the whole log, whatever the task

    def test_list_log_of_a_log_without_its_table_is_an_empty_page(self):
        os.unlink(self.gws(LOG_DB))
        with sqlite3.connect(self.gws(LOG_DB)) as db:
            db.execute("CREATE TABLE other(x)")
        self.assertEqual(self.log_request(act="list_log", start="0", limit="10"),
                         {"success": True, "log": [], "total": 0})
        with sqlite3.connect(self.gws(LOG_DB)) as db:  # the table was not made
            self.assertEqual(db.execute("SELECT name FROM sqlite_master WHERE name='quillmere_sql_database'")
                             .fetchall(), [])

    def test_find_log_matches_special_characters_literally(self):
        rows = self.fill_log()
        everything = self.newest_first(rows)
        for keyword, decoys in SEARCHES:
            with self.subTest(keyword=keyword):
                expected = [r for r in everything if keyword.lower() in r["sql_name"].lower()]
                reply = self.log_request(act="find_log", start="0", limit="1000", key_word=keyword)
                self.assertEqual(list(reply), ["success", "log", "total"])
                self.assertSameRows(reply["log"], expected)
                self.assertEqual(reply["total"], len(expected))
                found = {r["domain"] for r in reply["log"]}
                for decoy in decoys:
                    self.assertNotIn(decoy, found)
                if keyword != "no such text":
                    self.assertTrue(expected, "the log holds no row for %r" % keyword)

    def test_find_log_pages_and_filters_by_task_and_total_is_the_page(self):
        rows = self.fill_log()
        everything = self.newest_first(rows)
        matching = [r for r in everything if "admin" in r["sql_name"]]
        self.assertGreater(len(matching), 6)
        reply = self.log_request(act="find_log", start="2", limit="3", key_word="admin")
        self.assertSameRows(reply["log"], matching[2:5])
        self.assertEqual(reply["total"], 3)
        mine = [r for r in matching if r["task_id"] == self.task]
        reply = self.log_request(act="find_log", start="0", limit="100", key_word="admin", task_id=self.task)
        self.assertSameRows(reply["log"], mine)
        self.assertEqual(reply["total"], len(mine))
        quoted = self.extra["o'neil@q.test"]
        reply = self.log_request(act="find_log", start="0", limit="100", key_word="'", task_id=quoted)
        self.assertEqual([r["domain"] for r in reply["log"]], ["o'neil@q.test"])
        # An empty keyword matches every message.
        reply = self.log_request(act="find_log", start="0", limit="1000", key_word="")
        self.assertEqual(reply["total"], len(rows))

    def test_injection_shaped_task_ids_match_nothing_and_delete_nothing(self):
        rows = self.fill_log()
        for task_id in INJECTIONS:
            with self.subTest(task_id=task_id):
                before = self.log_rows()
                reply = self.log_request(act="list_log", start="0", limit="1000", task_id=task_id)
                self.assertEqual(reply, {"success": True, "log": [], "total": len(before)})
                reply = self.log_request(act="find_log", start="0", limit="1000", key_word="", task_id=task_id)
                self.assertEqual(reply, {"success": True, "log": [], "total": 0})
                self.assertEqual(self.log_request(act="delete_log", task_id=task_id), {"success": True})
                after = self.log_rows()
                self.assertEqual(after[:-1], before)
                self.assertEqual((after[-1]["task_id"], after[-1]["sql_name"]),
                                 (task_id, "Cleared log entries before admin."))
        self.assertGreater(len(rows), 10)

    def test_paging_and_keyword_refusals(self):
        cases = [
            ({}, 5303, "start"),
            ({"start": "10abc", "limit": "5"}, 5303, "start"),
            ({"start": "", "limit": "5"}, 5303, "start"),
            ({"start": " 1", "limit": "5"}, 5303, "start"),
            ({"start": "0x10", "limit": "5"}, 5303, "start"),
            ({"start": "99999999999", "limit": "5"}, 5303, "start"),
            ({"start": "-1", "limit": "abc"}, 5302, "start"),
            ({"start": "0"}, 5303, "limit"),
            ({"start": "0", "limit": "10abc"}, 5303, "limit"),
            ({"start": "0", "limit": "1.5"}, 5303, "limit"),
            ({"start": "0", "limit": "-5"}, 5302, "limit"),
        ]
        for act in ("list_log", "find_log"):
            for params, code, msg in cases:
                with self.subTest(act=act, params=params):
                    self.assertEqual(self.request(dict(params, act=act, key_word="x")),
                                     {"success": False, "error_code": code, "error_msg": msg})
        self.assertEqual(self.request({"act": "find_log", "start": "0", "limit": "5"}),
                         {"success": False, "error_code": 5303, "error_msg": "key_word"})
        self.assertEqual(self.request({"act": "delete_log"}),
                         {"success": False, "error_code": 5303, "error_msg": "task_id"})
        # A leading plus sign is still a number.
        self.assertTrue(self.request({"act": "list_log", "start": "+0", "limit": "5"})["success"])


class DeleteLog(LogCase):

    def test_delete_log_of_one_task_keeps_the_others(self):
        rows = self.fill_log()
        quoted = self.extra["o'neil@q.test"]
        self.assertTrue([r for r in rows if r["task_id"] == quoted])
        self.assertEqual(self.log_request(act="delete_log", task_id=quoted), {"success": True})
        after = self.log_rows()
        self.assertEqual(after[:-1], [r for r in rows if r["task_id"] != quoted])
        last = after[-1]
        self.assertEqual((last["task_type"], last["task_id"], last["domain"], last["user"], last["sql_status"],
                          last["sql_event"], last["sql_type"], last["sql_name"]),
                         ("Orvenna", quoted, "admin", "admin", "SUCCESS", "backup", "info",
                          "Cleared log entries before admin."))

    def test_delete_log_all_leaves_only_the_clearing_row_in_the_same_file(self):
        self.fill_log()
        inode = os.stat(self.gws(LOG_DB)).st_ino
        self.assertEqual(self.log_request(act="delete_log", task_id="All"), {"success": True})
        [row] = self.log_rows()
        self.assertEqual((row["ID"], row["task_id"], row["domain"], row["user"], row["sql_name"]),
                         (1, "All", "admin", "admin", "Cleared log entries before admin."))
        self.assertEqual(os.stat(self.gws(LOG_DB)).st_ino, inode)
        reply = self.log_request(act="list_log", start="0", limit="10")
        self.assertEqual([r["ID"] for r in reply["log"]], [1])
        self.assertEqual(reply["total"], 1)
        # Ids restart: the next action's row is 2.
        self.assertTrue(self.backup(**NO_SERVICE)["success"])
        self.wait_history()
        self.wait_gam_folder_gone()
        self.assertEqual([r["ID"] for r in self.log_rows()][:2], [1, 2])

    def test_a_clear_that_cannot_have_the_insert_lock_is_no_success(self):
        before = self.log_rows()
        with open(self.gws("sqldb.lck"), "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            self.assertEqual(self.log_request(act="delete_log", task_id="All"), {"success": False, "error_code": 5052})
        self.assertEqual(self.log_rows(), before)


class SaveLog(LogCase):

    def save(self, extra_env=None, **params):
        status, header, body = self.run_cgi(dict({"act": "save_log"}, **params), sid=self.sid, extra_env=extra_env)
        self.assertEqual(status, 0, body)
        return header, body

    def assertJsonReplyAfterHeader(self, header, body, expected):
        self.assertEqual(header, "Content-Type: application/json; charset=UTF-8")
        self.assertEqual(self.json_body(body), expected)

    def test_the_csv_reads_back_cell_for_cell(self):
        self.fill_log()
        # A row as a worker might write it: a message with quotes, commas and a line break.
        with sqlite3.connect(self.gws(LOG_DB)) as db:
            db.execute("INSERT INTO quillmere_sql_database (task_type,task_id,domain,user,sql_status,sql_timestamp,"
                       "sql_event,sql_type,sql_name) VALUES ('Orvenna','-','d','u \"x\"','SUCCESS',5,'backup',"
                       "'warn','File \"a, b.txt\" skipped,\r\nsee \"\"log\"\"')")
        rows = self.newest_first(self.log_rows())
        header, body = self.save(browser="firefox", extra_env={"TZ": "UTC", "QLM_FIXED_TIME": "1710032400"})
        self.assertIn('filename="20240310010000_quillmere.csv"', header)
        self.assertTrue(body.startswith(b"\xef\xbb\xbf"))
        text = body.decode("utf-8-sig")
        self.assertTrue(text.startswith('"Type","Time","User","Event","Name"\r\n'))
        self.assertTrue(text.endswith("\r\n"))
        self.assertEqual(text.count("\n"), text.count("\r\n"))
        read = list(csv.reader(io.StringIO(text, newline="")))
        self.assertEqual(read[0], ["Type", "Time", "User", "Event", "Name"])
        self.assertEqual(read[1:], [[r["sql_type"], str(r["sql_timestamp"]), r["user"], r["sql_event"],
                                     r["sql_name"]] for r in rows])
        self.assertIn('User admin added he said "hi, there"@dq.test to the domain list.', [r[4] for r in read])
        # The export is logged, and no copy of the log stays behind.
        last = self.log_rows()[-1]
        self.assertEqual((last["task_id"], last["domain"], last["user"], last["sql_name"], last["sql_timestamp"]),
                         ("-", "admin", "admin", "Exported backup logs to PC.", 1710032400))
        self.assertEqual(self.tmp_entries(), [])

    def test_saves_in_the_same_second_each_send_one_copy(self):
        env = {"TZ": "UTC", "QLM_FIXED_TIME": "1710032400"}
        first = self.save(browser="chrome", extra_env=env)[1]
        second = self.save(browser="chrome", extra_env=env)[1]
        for body in (first, second):
            self.assertEqual(body.count(b"\xef\xbb\xbf"), 1)
            self.assertEqual(body.count(b'"Type","Time"'), 1)
        # The second file holds the first export's row, and nothing twice.
        self.assertEqual(len(second.split(b"\r\n")), len(first.split(b"\r\n")) + 1)
        self.assertEqual(self.tmp_entries(), [])

    def test_a_missing_tmp_folder_is_made(self):
        shutil.rmtree(self.path("usr/local/tmp"))
        header, body = self.save(browser="x")
        self.assertRegex(header, r'filename="\d{14}_quillmere\.csv"')
        self.assertTrue(body.startswith(b"\xef\xbb\xbf\"Type\""))
        self.assertEqual(self.tmp_entries(), [])

    def test_a_tmp_path_that_is_no_folder_gets_5052(self):
        tmp = self.path("usr/local/tmp")
        shutil.rmtree(tmp)
        try:
            with open(tmp, "w") as f:
                f.write("not a folder")
            before = self.log_rows()
            header, body = self.save(browser="x")
            self.assertJsonReplyAfterHeader(header, body, {"success": False, "error_code": 5052})
            self.assertEqual(self.log_rows(), before)
        finally:
            os.unlink(tmp)
            os.mkdir(tmp)
            os.chmod(tmp, 0o1777)

    def test_refusals_print_the_header_and_leave_no_file(self):
        before = self.log_rows()
        header, body = self.save()
        self.assertJsonReplyAfterHeader(header, body, {"success": False, "error_code": 5303, "error_msg": "browser"})
        self.assertEqual(self.tmp_entries(), [])
        self.assertEqual(self.log_rows(), before)

    def test_the_csv_file_is_private_while_it_is_sent(self):
        # A log larger than a pipe holds: the download blocks on the unread pipe while its file exists.
        with sqlite3.connect(self.gws(LOG_DB)) as db:
            db.executemany("INSERT INTO quillmere_sql_database (task_type,task_id,domain,user,sql_status,"
                           "sql_timestamp,sql_event,sql_type,sql_name) VALUES ('Orvenna','t','d','u','SUCCESS',"
                           "1,'backup','info',?)", [("row %d " % i + "x" * 200,) for i in range(2000)])
        env = self.env(GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD="GET", QUERY_STRING="act=save_log&browser=x",
                       HTTP_COOKIE="NAS_SID=" + self.sid)
        proc = subprocess.Popen([self.cgi_path], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        try:
            end = time.monotonic() + 60
            found = []
            while time.monotonic() < end and not found:
                for folder in self.tmp_entries():
                    inside = os.path.join(self.path("usr/local/tmp"), folder)
                    found = [(inside, name) for name in os.listdir(inside)] if os.path.isdir(inside) else []
                if not found:
                    time.sleep(0.02)
            [(folder, name)] = found
            self.assertRegex(name, r"^\d{14}_quillmere\.csv$")
            self.assertEqual(stat.S_IMODE(os.lstat(folder).st_mode), 0o700)
            info = os.lstat(os.path.join(folder, name))
            self.assertTrue(stat.S_ISREG(info.st_mode))
            self.assertEqual(stat.S_IMODE(info.st_mode), 0o600)
            body = proc.stdout.read()
        finally:
            proc.stdout.close()
            proc.wait(60)
        self.assertEqual(proc.returncode, 0)
        self.assertGreater(len(body), 400000)
        self.assertEqual(self.tmp_entries(), [])


class BrokenLog(LogCase):
    """A log that cannot be opened at all: each action answers 5623 and stops."""

    def break_log(self, kind):
        self.restore_log()
        if kind == "folder":
            os.mkdir(self.gws(LOG_DB))
        elif kind == "torn":
            # Its schema reads, so it opens and its table "exists"; the table's rows do not read.
            with sqlite3.connect(self.gws(LOG_DB)) as db:
                db.execute("CREATE TABLE quillmere_sql_database(ID INTEGER PRIMARY KEY AUTOINCREMENT, task_type TEXT,"
                           " task_id TEXT, domain TEXT, user TEXT, sql_status TEXT, sql_timestamp INTEGER,"
                           " sql_event TEXT, sql_type TEXT, sql_name TEXT)")
                db.execute("CREATE INDEX idx_quillmere_sql_database_task_id ON quillmere_sql_database(task_id)")
                db.executemany("INSERT INTO quillmere_sql_database(sql_name) VALUES (?)",
                               [("row %d" % i,) for i in range(500)])
                root = db.execute("SELECT rootpage FROM sqlite_master WHERE name='quillmere_sql_database'").fetchone()[0]
                size = db.execute("PRAGMA page_size").fetchone()[0]
            db.close()
            with open(self.gws(LOG_DB), "r+b") as f:
                f.seek((root - 1) * size)
                f.write(b"\xa5" * size)
        else:
            with open(self.gws(LOG_DB), "wb") as f:
                f.write(b"this is not an SQLite database, only text" * 100)

    def tearDown(self):
        self.restore_log()
        super().tearDown()

    def restore_log(self):
        path = self.gws(LOG_DB)
        if os.path.isdir(path):
            os.rmdir(path)
        elif os.path.exists(path):
            os.unlink(path)

    def test_each_action_answers_5623(self):
        open_error = {"success": False, "error_code": 5623, "error_msg": "KVT_Sql_Open_Datebase error."}
        table_error = {"success": False, "error_code": 5623, "error_msg": "KVT_Sql_Log_Create_Table error."}
        cases = [
            ("folder", {"act": "list_log", "start": "0", "limit": "5"}, open_error),
            ("folder", {"act": "find_log", "start": "0", "limit": "5", "key_word": "a"}, open_error),
            ("folder", {"act": "delete_log", "task_id": "x"}, open_error),
        ]
        for kind, params, expected in cases:
            with self.subTest(kind=kind, act=params["act"]):
                self.break_log(kind)
                self.assertEqual(self.request(params), expected)
                self.restore_log()
        del table_error  # a file that opens but is damaged is no failure: see DamagedLog
        for kind, expected in (("folder", open_error),):
            with self.subTest(kind=kind, act="save_log"):
                self.break_log(kind)
                status, header, body = self.run_cgi({"act": "save_log", "browser": "x"}, sid=self.sid)
                self.assertEqual(header, "Content-Type: application/json; charset=UTF-8")
                self.assertEqual(self.json_body(body), expected)
                self.assertEqual(self.tmp_entries(), [])
                self.restore_log()



def cut_to_1000_bytes(data):
    return data[:1000]


def pages_after_the_first_zeroed(data):
    page = int.from_bytes(data[16:18], "big")
    return data[:page] + b"\0" * (len(data) - page)


def not_a_database(data):
    return b"this is not an SQLite database, only text" * 100


DAMAGES = (cut_to_1000_bytes, pages_after_the_first_zeroed, not_a_database)


class DamagedLog(LogCase):
    """A log torn by a power cut: whatever meets it first keeps it aside byte for byte and starts a
    fresh log whose first row names the kept file; no action fails and no row after it is lost."""

    def damage(self, how):
        """A log of many pages, damaged in place; its bytes as damaged."""
        path = self.gws(LOG_DB)
        with sqlite3.connect(path) as db:
            db.executemany("INSERT INTO quillmere_sql_database (task_type,task_id,domain,user,sql_status,"
                           "sql_timestamp,sql_event,sql_type,sql_name) VALUES ('Orvenna','t','d','u','SUCCESS',"
                           "1,'backup','info',?)", [("row %d " % i + "x" * 200,) for i in range(300)])
        db.close()
        with open(path, "rb") as f:
            damaged = how(f.read())
        with open(path, "wb") as f:
            f.write(damaged)
        return damaged

    def kept(self):
        return [n for n in os.listdir(self.gws()) if n.startswith(LOG_DB + ".unreadable-")]

    def assertKeptAndNoted(self, damaged):
        """The kept copy and the fresh log's first row; the rows after that note."""
        [kept] = self.kept()
        self.assertRegex(kept, r"\.unreadable-\d{8}_\d{6}$")
        with open(self.gws(kept), "rb") as f:
            self.assertEqual(f.read(), damaged)
        rows = self.log_rows()
        note = rows[0]
        self.assertEqual((note["ID"], note["task_type"], note["task_id"], note["sql_status"], note["sql_event"],
                          note["sql_type"]), (1, "Orvenna", " ", "FAIL", " ", "error"))
        self.assertEqual(note["sql_name"], "The activity log %s was damaged: it was kept as %s and a new log was "
                         "started." % (self.gws(LOG_DB), self.gws(kept)))
        return rows[1:]

    def test_every_action_carries_on_with_a_fresh_log(self):
        started = "Started backup for all accounts in domain %s." % test_tasks.ADMIN
        completed = "Completed backup for all accounts in domain %s." % test_tasks.ADMIN

        def finished():
            [done] = self.wait_history()
            self.wait_gam_folder_gone()
            self.assertEqual(done["backup_status"], "finish")

        def backup(how):
            damaged = self.damage(how)
            self.assertEqual(list(self.backup(**NO_SERVICE)), ["success", "mission_id"])
            finished()
            return damaged, [started, completed]

        def scheduled_run(how):
            mission = self.add_schedule(mission_name="Nightly")  # made on a sound log
            damaged = self.damage(how)
            r = self.run_plain(mission, "0", "0", "0", "0", "0")
            self.assertEqual(r.returncode, 0, r.stderr)
            finished()
            return damaged, [started, completed]

        def add_schedule(how):
            damaged = self.damage(how)
            self.add_schedule(mission_name="Nightly")
            return damaged, None

        def edit(how):
            damaged = self.damage(how)
            reply = self.request(dict(ALL_ON, act="edit", task_id=self.task, gmail_enable="0"))
            self.assertTrue(reply["success"], reply)
            return damaged, None

        def list_log(how):
            damaged = self.damage(how)
            reply = self.log_request(act="list_log", start="0", limit="10")
            self.assertEqual(reply["success"], True)
            self.assertEqual([r["sql_status"] for r in reply["log"]], ["FAIL"])
            self.assertEqual(reply["total"], 1)
            return damaged, []

        def delete_all(how):
            damaged = self.damage(how)
            self.assertEqual(self.log_request(act="delete_log", task_id="All"), {"success": True})
            return damaged, ["Cleared log entries before admin."]

        history = self.gws("conf/mission/history_mission")
        for how in DAMAGES:
            for act in (backup, scheduled_run, add_schedule, edit, list_log, delete_all):
                with self.subTest(damage=how.__name__, act=act.__name__):
                    for name in self.kept():
                        os.unlink(self.gws(name))
                    for name in os.listdir(history) if os.path.isdir(history) else []:
                        os.unlink(os.path.join(history, name))
                    damaged, expected = act(how)
                    after = [r["sql_name"] for r in self.assertKeptAndNoted(damaged)]
                    if expected is None:  # the action's own row, whatever its words
                        self.assertEqual(len(after), 1, after)
                    else:
                        self.assertEqual(after, expected)

    def test_a_log_only_busy_is_left_where_it_is(self):
        self.fill_log()
        with sqlite3.connect(self.gws(LOG_DB), timeout=0, isolation_level=None) as db:
            db.execute("BEGIN EXCLUSIVE")
            reply = self.log_request(act="list_log", start="0", limit="5")
            db.execute("ROLLBACK")
        self.assertEqual(reply, {"success": False, "error_code": 5623, "error_msg": "KVT_Sql_Open_Datebase error."})
        self.assertEqual(self.kept(), [])


if __name__ == "__main__":
    unittest.main()
