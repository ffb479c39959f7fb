"""Exports to a NAS folder over a backed-up simulated domain: the request checks, the dated export
folder on a share made with nasctl, the files written there, the worker's progress in the mission
list, its history record, its abort and its death."""

import collections
import csv
import io
import json
import os
import re
import signal
import stat
import sqlite3
import sys
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_tasks  # noqa: E402

USER = "alice@example.test"
BOM = b"\xef\xbb\xbf"
ALL_SERVICES = {"drive_enable": "1", "shared_drive_enable": "1", "gmail_enable": "1", "calendar_enable": "1",
                "contact_enable": "1"}
FOLDER_RE = re.compile(r"^Quillmere_Export_\d{8}_\d{6}(_\d+)?$")
# 2024-05-06 07:08:09 UTC, for exports that must meet in one folder.
FIXED = 1714979289


def gone(pid):
    """True when no process pid runs any more (a zombie waiting to be reaped counts as gone)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


class ExportCase(qlmtest.WithoutFileRights, test_tasks.TaskCase):
    """One backup of the demo domain and a share "Public", then exports into it."""

    ready = False
    clock = FIXED + 86400

    @classmethod
    def env(cls, **extra):
        return super().env(QLM_SLEEP_SCALE="0", TZ="UTC", **extra)

    def setUp(self):
        cls = type(self)
        if not cls.ready:
            cls.task = self.new_task()
            reply = self.request(dict({"act": "backup", "task_id": cls.task}, **ALL_SERVICES))
            self.assertTrue(reply["success"], reply)
            self.wait_for(lambda: self.history_records(), 240, "the backup did not finish")
            [backup] = self.history_records()
            self.assertEqual(backup["backup_status"], "finish", backup)
            cls.share = self.path("shares", "Public")
            os.makedirs(cls.share)
            self.nasctl("share", "add", "Public", cls.share)
            cls.outside = self.path("outside")
            os.makedirs(cls.outside)
            cls.ready = True
        self.clear_faults()
        self.seen_history = {r["file"] for r in self.history_records()}

    # -- helpers --------------------------------------------------------------------------------

    def wait_for(self, probe, deadline=60, why="timed out"):
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            value = probe()
            if value:
                return value
            time.sleep(0.05)
        self.fail(why)

    def history_records(self):
        folder = self.gws("conf/mission/history_mission")
        out = []
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            with open(os.path.join(folder, name)) as f:
                record = json.load(f, object_pairs_hook=collections.OrderedDict)
            record["file"] = name
            out.append(record)
        return out

    def marker(self, mission):
        return self.gws("conf/mission/progress_mission", mission)

    def export(self, act, extra_env=None, **params):
        """Every export runs in a second of its own (a fixed clock), so its folder is its own,
        unless the test gives the clock."""
        if extra_env is None:
            ExportCase.clock += 2
            extra_env = {"QLM_FIXED_TIME": str(ExportCase.clock)}
        query = {"act": act, "task_id": self.task, "nas_path": "/Public", "domain_user_email": USER}
        query.update(params)
        return self.request({k: v for k, v in query.items() if v is not None}, extra_env=extra_env)

    def finished(self, mission, deadline=120):
        """Waits for the export's end: its marker and progress record gone, one new history
        record. That record, without its file name."""
        def done():
            if os.path.exists(self.marker(mission)) or os.path.exists("/dev/shm/" + mission):
                return None
            new = [r for r in self.history_records() if r["file"] not in self.seen_history]
            return new or None
        [record] = self.wait_for(done, deadline, "the export did not end")
        self.seen_history.add(record.pop("file"))
        return record

    def run_export(self, act, status="finish", **params):
        reply = self.export(act, **params)
        self.assertTrue(reply.get("success"), reply)
        record = self.finished(reply["mission_id"])
        self.assertEqual(record["backup_status"], status, record)
        return reply, record

    def files_in(self, folder):
        out = {}
        for name in os.listdir(folder):
            with open(os.path.join(folder, name), "rb") as f:
                out[name] = f.read()
        return out

    def sim_mails(self):
        folder = self.path("var/lib/gwssim/users", USER, "eml")
        return self.files_in(folder)

    def catalog_rows(self, folder, table):
        with sqlite3.connect(self.gws("backup", folder, self.task, USER + ".db")) as db:
            db.row_factory = sqlite3.Row
            return [dict(r) for r in db.execute("SELECT * FROM %s ORDER BY rowid DESC" % table)]

    def mail_ids(self):
        return [r["drive_localid"] for r in self.catalog_rows("gmail_db", "gmail_sql_database")]

    def sim_mail_of(self):
        """The simulated domain's EML bytes of each stored local id."""
        sim = self.sim_mails()
        return {r["drive_localid"]: sim[r["gmail_id"]] for r in self.catalog_rows("gmail_db", "gmail_sql_database")}

    def csv_rows(self, path):
        with open(path, "rb") as f:
            data = f.read()
        self.assertTrue(data.startswith(BOM))
        return list(csv.reader(io.StringIO(data[len(BOM):].decode(), newline="")))

    def share_entries(self):
        return set(os.listdir(self.share))

    def no_trace(self, mission):
        self.assertFalse(os.path.exists(self.marker(mission)))
        self.assertFalse(os.path.exists("/dev/shm/" + mission))


class Exports(ExportCase):

    def test_all_mails_arrive_byte_for_byte_and_the_history_says_finish(self):
        reply, record = self.run_export("export_gmail_to_nas", gmail_localid="ALL")
        self.assertEqual(list(reply), ["success", "mission_id", "path"])
        folder = reply["path"]
        self.assertEqual(os.path.dirname(folder), os.path.realpath(self.share))
        self.assertRegex(os.path.basename(folder), FOLDER_RE)
        self.assertEqual(os.stat(folder).st_mode & 0o777, 0o700)
        exported = self.files_in(folder)
        self.assertTrue(all(n.endswith(".eml") for n in exported), sorted(exported))
        self.assertEqual(sorted(exported.values()), sorted(self.sim_mails().values()))
        self.assertEqual(list(record), ["service", "mission_name", "task_id", "domain", "mode", "start_time",
                                        "backup_status", "end_time"])
        self.assertEqual((record["service"], record["task_id"], record["domain"], record["mode"]),
                         (["gmail"], self.task, USER, "export"))
        self.assertRegex(record["mission_name"], r"^Task\d{8}-\d+$")
        self.assertLessEqual(record["start_time"], record["end_time"])
        self.no_trace(reply["mission_id"])
        # What the history list shows of it.
        listed = self.request({"act": "history_mission_list"})["mission_List"]
        self.assertIn("finish", [m["backup_status"] for m in listed if m.get("mode") == "export"])

    def test_selections_by_local_id_and_search(self):
        ids = self.mail_ids()
        sim = self.sim_mail_of()
        cases = [
            # (name, params, expected local ids)
            ("two ids, one unknown, one hostile", {"gmail_localid": "%s,nosuch,../../../etc/passwd,%s" % (ids[0], ids[1])},
             [ids[0], ids[1]]),
            ("ALL in lower case names one missing id", {"gmail_localid": "all"}, []),
            ("empty items", {"gmail_localid": ",,"}, []),
            ("ids listed many times", {"gmail_localid": ",".join([ids[0], ids[1], ids[0]] * 100)}, [ids[0], ids[1]]),
        ]
        subject_row = self.catalog_rows("gmail_db", "gmail_sql_database")[0]
        word = subject_row["subject"].split()[0]
        matching = [r["drive_localid"] for r in self.catalog_rows("gmail_db", "gmail_sql_database")
                    if word in r["subject"]]
        cases.append(("subject search", {"search_condition_enable": "1", "subject_key_word": word}, matching))
        cases.append(("search without a match", {"search_condition_enable": "1",
                                                 "subject_key_word": "no mail has this subject"}, []))
        for name, params, expected in cases:
            with self.subTest(name):
                reply, record = self.run_export("export_gmail_to_nas", **params)
                exported = self.files_in(reply["path"])
                self.assertEqual(sorted(exported.values()), sorted(sim[i] for i in expected))

    def test_contacts_and_events_read_back_cell_for_cell(self):
        before = len(self.log_rows())
        reply, record = self.run_export("export_contact_to_nas", localid="ALL")
        self.assertRegex(os.path.basename(reply["path"]), r"^\d{14}\.csv$")
        self.assertRegex(os.path.basename(os.path.dirname(reply["path"])), FOLDER_RE)
        self.assertEqual((record["service"], record["domain"]), (["contact"], USER))
        rows = self.csv_rows(reply["path"])
        self.assertEqual(rows[0], ["Name", "Phone", "Email", "Title_and_Company"])
        catalog = self.catalog_rows("contact_db", "contact_sql_database")
        expected = []
        for r in catalog:
            company = " ".join(p for p in (r["organizations_0_name"], r["organizations_0_department"],
                                           r["organizations_0_title"]) if p)
            expected.append([r["names_0_displayName"] or "", r["phoneNumbers_0_value"] or "",
                             r["emailAddresses_0_value"] or "", company])
        self.assertEqual(rows[1:], expected)
        # One log row per contact, in order, naming the share's physical folder.
        with open(reply["path"], "rb") as f:
            lines = f.read()[len(BOM):].decode().split("\r\n")[1:-1]
        logged = self.log_rows()[before:]
        self.assertEqual([r["sql_name"] for r in logged],
                         ['Exported Contact file "%s\r\n" of account %s to NAS path: %s.'
                          % (line, USER, os.path.realpath(self.share)) for line in lines])
        self.assertEqual({(r["domain"], r["user"], r["task_id"], r["sql_status"]) for r in logged},
                         {(USER, "admin", self.task, "SUCCESS")})
        # A comma list: exactly those, in catalog order.
        ids = [r["localid"] for r in catalog][:2]
        reply, _ = self.run_export("export_contact_to_nas", localid=",".join(reversed(ids)))
        self.assertEqual(self.csv_rows(reply["path"])[1:], expected[:2])

        reply, record = self.run_export("export_calendar_to_nas", localid="ALL")
        self.assertEqual(record["service"], ["calendar"])
        rows = self.csv_rows(reply["path"])
        self.assertEqual(rows[0], ["Summary", "Location", "Creator", "Start_DateTime", "End_DateTime"])
        events = self.catalog_rows("calendar_db", "calendar_sql_database")
        self.assertEqual([r[:3] for r in rows[1:]],
                         [[c["summary"] or "", c["location"] or "", c["creator_email"] or ""] for c in events])
        word = events[0]["summary"].split()[0]
        reply, _ = self.run_export("export_calendar_to_nas", search_condition_enable="1", key_word=word)
        self.assertEqual([r[0] for r in self.csv_rows(reply["path"])[1:]],
                         [c["summary"] for c in events if word.lower() in (c["summary"] or "").lower()])
        reply, _ = self.run_export("export_calendar_to_nas", search_condition_enable="1", key_word="no such event")
        self.assertEqual(self.csv_rows(reply["path"]), [["Summary", "Location", "Creator", "Start_DateTime",
                                                         "End_DateTime"]])

    def test_bad_requests_are_answered_before_any_worker_runs(self):
        escape = os.path.join(self.share, "escape")
        if not os.path.islink(escape):
            os.symlink(self.outside, escape)
        before_share, before_outside = self.share_entries(), os.listdir(self.outside)
        cases = [
            ({"task_id": None}, 5303, "task_id"),
            ({"nas_path": None}, 5303, "nas_path"),
            ({"task_id": "../../etc"}, 5302, "task_id"),
            ({"nas_path": "/Public/../../etc"}, 5302, "nas_path"),
            ({"nas_path": "/Public/./x"}, 5302, "nas_path"),
            ({"nas_path": "/Public\\x"}, 5302, "nas_path"),
            ({"nas_path": "/Public\x00/x"}, 5302, "nas_path"),
            ({"nas_path": "/public"}, 5302, "nas_path"),  # share names are case-sensitive
            ({"nas_path": "/Nosuch"}, 5302, "nas_path"),
            ({"nas_path": "/Public/missing"}, 5302, "nas_path"),
            ({"nas_path": "/Public/escape"}, 5302, "nas_path"),  # a link out of the share
            ({"gmail_localid": None}, 5303, "gmail_localid"),
            ({"domain_user_email": None}, 5303, "domain_user_email"),
            ({"domain_user_email": "../alice@example.test"}, 5302, "domain_user_email"),
            ({"domain_user_email": ".."}, 5302, "domain_user_email"),
            ({"search_condition_enable": "1", "domain_user_email": "nobody@example.test"}, 5302,
             "domain_user_email"),
            ({"search_condition_enable": "1", "task_id": "00000000-0000-0000-0000-000000000000"}, 5302, "task_id"),
        ]
        for params, code, name in cases:
            for act in ("export_gmail_to_nas", "export_contact_to_nas", "export_calendar_to_nas"):
                if act != "export_gmail_to_nas" and "gmail_localid" in params:
                    continue
                if act == "export_contact_to_nas" and "search_condition_enable" in params:
                    continue
                with self.subTest(act=act, params=params):
                    query = dict({"gmail_localid": "ALL"} if act == "export_gmail_to_nas" else {"localid": "ALL"},
                                 **params)
                    self.assertEqual(self.export(act, **query),
                                     {"success": False, "error_code": code, "error_msg": name})
        # Search off, as the other exports answer them: an unknown task, an account without a backup.
        unknown = "00000000-0000-0000-0000-000000000000"
        for params, name in (({"task_id": unknown}, "task_id"), ({"domain_user_email": "nobody@example.test"},
                                                                 "domain_user_email")):
            for selection in ("ALL", self.mail_ids()[0]):
                with self.subTest(act="export_gmail_to_nas", search="off", params=params, selection=selection):
                    self.assertEqual(self.export("export_gmail_to_nas", gmail_localid=selection, **params),
                                     {"success": False, "error_code": 5302, "error_msg": name})
        for act, key in (("export_contact_to_nas", "localid"), ("export_calendar_to_nas", "localid")):
            with self.subTest(act=act, missing=key):
                self.assertEqual(self.export(act), {"success": False, "error_code": 5303, "error_msg": key})
                self.assertEqual(self.export(act, localid="ALL", domain_user_email="nobody@example.test"),
                                 {"success": False, "error_code": 5302, "error_msg": "domain_user_email"})
        self.assertEqual(self.share_entries(), before_share)
        self.assertEqual(os.listdir(self.outside), before_outside)
        self.assertEqual(os.listdir(self.gws("conf/mission/progress_mission")), [])
        self.assertEqual([r for r in self.history_records() if r["file"] not in self.seen_history], [])

    def test_an_export_writes_only_into_a_folder_it_made_itself(self):
        # A share user took the name of that second's folder (0755) and the next one with a link.
        clock = {"QLM_FIXED_TIME": str(FIXED)}
        base = os.path.join(self.share, "Quillmere_Export_20240506_070809")
        os.makedirs(base, mode=0o755)
        os.chmod(base, 0o755)
        os.symlink(self.outside, base + "_1")
        ids = self.mail_ids()
        try:
            made = []
            for act, sel, name in (("export_gmail_to_nas", {"gmail_localid": ids[0]}, None),
                                   ("export_contact_to_nas", {"localid": "ALL"}, "20240506070809.csv"),
                                   ("export_gmail_to_nas", {"gmail_localid": ids[0]}, None)):
                with self.subTest(act):
                    reply, record = self.run_export(act, extra_env=clock, **sel)
                    folder = reply["path"] if name is None else os.path.dirname(reply["path"])
                    made.append(folder)
                    if name is not None:
                        self.assertEqual(os.path.basename(reply["path"]), name)
                    st = os.lstat(folder)
                    self.assertTrue(stat.S_ISDIR(st.st_mode))
                    self.assertEqual(st.st_mode & 0o7777, 0o700)
                    self.assertEqual(len(os.listdir(folder)), 1)
            # Each export of that second got the next free name of its own.
            self.assertEqual([os.path.basename(f) for f in made],
                             ["Quillmere_Export_20240506_070809_%d" % n for n in (2, 3, 4)])
            self.assertEqual(os.listdir(base), [])
            self.assertEqual(os.listdir(self.outside), [])
            with open(os.path.join(made[0], os.listdir(made[0])[0]), "rb") as f:
                self.assertEqual(f.read(), self.sim_mail_of()[ids[0]])
        finally:
            os.unlink(base + "_1")

    def test_two_exports_of_one_second_get_a_folder_each(self):
        clock = {"QLM_FIXED_TIME": str(FIXED + 120)}
        replies = [self.export("export_contact_to_nas", extra_env=clock, localid="ALL"),
                   self.export("export_calendar_to_nas", extra_env=clock, localid="ALL"),
                   self.export("export_gmail_to_nas", extra_env=clock, gmail_localid="ALL"),
                   self.export("export_gmail_to_nas", extra_env=clock, gmail_localid="ALL")]
        for reply in replies:
            self.assertTrue(reply["success"], reply)
        # A worker writes its marker some time after the reply, so the markers alone cannot tell that
        # the exports ended: each files one history record before its marker goes.
        def new_records():
            return [r for r in self.history_records() if r["file"] not in self.seen_history]
        self.wait_for(lambda: len(new_records()) >= len(replies) and
                      not any(os.path.exists(self.marker(r["mission_id"])) for r in replies), 120)
        new = new_records()
        self.assertEqual(sorted(r["service"][0] for r in new if r["backup_status"] == "finish"),
                         ["calendar", "contact", "gmail", "gmail"])
        self.seen_history.update(r["file"] for r in new)
        folders = [os.path.dirname(r["path"]) for r in replies[:2]] + [r["path"] for r in replies[2:]]
        self.assertEqual(sorted(os.path.basename(f) for f in folders),
                         ["Quillmere_Export_20240506_071009"] +
                         ["Quillmere_Export_20240506_071009_%d" % n for n in (1, 2, 3)])
        self.assertEqual([os.path.basename(r["path"]) for r in replies[:2]],
                         ["20240506071009.csv", "20240506071009.csv"])
        self.assertEqual(self.csv_rows(replies[0]["path"])[0][0], "Name")
        self.assertEqual(self.csv_rows(replies[1]["path"])[0][0], "Summary")
        for reply in replies[2:]:
            self.assertEqual(sorted(self.files_in(reply["path"]).values()), sorted(self.sim_mails().values()))

    def test_a_stored_mail_that_cannot_be_read_gets_a_fail_row_and_the_export_ends_error(self):
        ids = self.mail_ids()
        victim = self.gws("backup/gmail", self.task, USER, ids[0])
        logged = len(self.log_rows())
        with self.unreadable(victim):
            reply, record = self.run_export("export_gmail_to_nas", status="error", gmail_localid=",".join(ids[:3]))
        self.assertEqual(len(self.files_in(reply["path"])), 2)
        [row] = self.log_rows()[logged:]
        self.assertEqual((row["sql_status"], row["domain"], row["task_id"]), ("FAIL", USER, self.task))
        self.assertRegex(row["sql_name"], r'^Failed to export Gmail file ".+\.eml" of account %s to NAS path: '
                         r'/Public\.$' % re.escape(USER))
        self.no_trace(reply["mission_id"])

    def export_into_full_share(self, act, limit, nas_path="/Public", **params):
        logged = len(self.log_rows())
        reply = self.request(dict({"act": act, "task_id": self.task, "nas_path": nas_path,
                                   "domain_user_email": USER}, **params),
                             extra_env={"QLM_FIXED_TIME": str(self.next_clock())}, file_size=limit)
        self.assertTrue(reply.get("success"), reply)
        record = self.finished(reply["mission_id"])
        self.assertEqual(record["backup_status"], "error", record)
        self.no_trace(reply["mission_id"])
        return reply, self.log_rows()[logged:]

    @staticmethod
    def next_clock():
        ExportCase.clock += 2
        return ExportCase.clock

    def test_a_mail_that_does_not_fit_the_share_gets_a_fail_row_and_leaves_nothing_behind(self):
        with self.small_share(1 << 20) as small:
            # A share that fills up; where none can be mounted, a limit on the file size.
            self.mails_that_do_not_fit(small)

    def mails_that_do_not_fit(self, small):
        ids = self.mail_ids()[:3]
        mails = self.sim_mail_of()
        for pos in range(3):
            with self.subTest(position=pos, tmpfs=small is not None):
                limit = self.full_share_limit() if small is None else 1 << 20
                victim = self.gws("backup/gmail", self.task, USER, ids[pos])
                with open(victim, "rb") as f:
                    original = f.read()
                try:
                    with open(victim, "ab") as f:
                        f.write(b"x" * (limit + (64 << 10) - len(original)))
                    reply, rows = self.export_into_full_share(
                        "export_gmail_to_nas", None if small else limit, nas_path="/Small" if small else "/Public",
                        gmail_localid=",".join(ids))
                finally:
                    with open(victim, "wb") as f:
                        f.write(original)
                # The two others arrived whole; of the third nothing stands, under any name.
                self.assertEqual(sorted(self.files_in(reply["path"]).values()),
                                 sorted(mails[i] for n, i in enumerate(ids) if n != pos))
                [row] = rows
                self.assertEqual((row["sql_status"], row["domain"]), ("FAIL", USER))
                self.assertRegex(row["sql_name"], r'^Failed to export Gmail file ".+\.eml" of account %s to NAS '
                                 r'path: /%s\.$' % (re.escape(USER), "Small" if small else "Public"))

    def test_a_csv_file_that_does_not_fit_the_share_is_removed_with_its_rows(self):
        for act, folder, table, column in (("export_contact_to_nas", "contact_db", "contact_sql_database",
                                            "names_0_displayName"),
                                           ("export_calendar_to_nas", "calendar_db", "calendar_sql_database",
                                            "summary")):
            ids = [r["id"] for r in self.catalog_rows(folder, table)]
            for pos in (0, len(ids) // 2, len(ids) - 1):
                with self.subTest(act=act, position=pos):
                    limit = self.full_share_limit()
                    path = self.gws("backup", folder, self.task, USER + ".db")
                    with sqlite3.connect(path) as db:
                        [(original,)] = db.execute("SELECT %s FROM %s WHERE id=?" % (column, table), (ids[pos],))
                        db.execute("UPDATE %s SET %s=? WHERE id=?" % (table, column),
                                   ("x" * (limit + (64 << 10)), ids[pos]))
                    try:
                        reply, rows = self.export_into_full_share(act, limit, localid="ALL")
                    finally:
                        with sqlite3.connect(path) as db:
                            db.execute("UPDATE %s SET %s=? WHERE id=?" % (table, column), (original, ids[pos]))
                    # No CSV file stands cut short, nor its part; no row says a contact or event
                    # was exported; one row says the file failed.
                    self.assertEqual(os.listdir(os.path.dirname(reply["path"])), [])
                    self.assertEqual([(r["sql_status"], r["sql_name"]) for r in rows],
                                     [("FAIL", 'Failed to export %s file "%s" of account %s to NAS path: %s.'
                                       % ("Contact" if folder == "contact_db" else "Calendar",
                                          os.path.basename(reply["path"]), USER, os.path.realpath(self.share)))])

    def test_a_catalog_that_cannot_be_read_ends_with_an_error_record(self):
        ghost = "ghost@example.test"
        for folder in ("contact_db", "calendar_db"):
            with open(self.gws("backup", folder, self.task, ghost + ".db"), "wb") as f:
                f.write(b"this is no database" * 100)
        for act in ("export_contact_to_nas", "export_calendar_to_nas"):
            with self.subTest(act):
                reply, record = self.run_export(act, status="error", localid="ALL", domain_user_email=ghost)
                self.assertEqual(record["domain"], ghost)
                self.no_trace(reply["mission_id"])


SLOW = "slow@example.test"


class Progress(ExportCase):
    """A slow export (each header run delayed) seen by the mission list, aborted, and killed. Its
    account's mails are stored without catalog rows, so each is named through a header run."""

    def slow_mails(self):
        store = self.gws("backup/gmail", self.task, SLOW)
        if not os.path.isdir(store):
            os.makedirs(store)
            for n, data in enumerate(sorted(self.sim_mails().values()) * 2):
                with open(os.path.join(store, "uncatalogued-%02d" % n), "wb") as f:
                    f.write(data)
        return self.files_in(store)

    def slow_export(self):
        self.slow_mails()
        self.fault("emlsift", "--header", "delay", "--ms", "300")
        reply = self.export("export_gmail_to_nas", gmail_localid="ALL", domain_user_email=SLOW)
        self.assertTrue(reply["success"], reply)
        mission = reply["mission_id"]
        self.wait_for(lambda: os.path.exists(self.marker(mission)), 30, "no marker")
        with open(self.marker(mission)) as f:
            pid = int(f.read())
        return reply, mission, pid

    def listed(self, mission):
        return [m for m in self.request({"act": "mission_list"})["mission_List"] if m["mission_id"] == mission]

    def test_the_mission_list_shows_the_progress_and_then_the_history(self):
        reply, mission, pid = self.slow_export()

        def moving():
            entry = self.listed(mission)
            return entry if entry and 0 < entry[0]["total_progress"] < 100 else None
        [entry] = self.wait_for(moving, 60, "no progress shown")
        self.assertEqual((entry["service"], entry["mode"], entry["backup_status"], entry["domain"]),
                         (["gmail"], "export", "exporting", SLOW))
        # The worker is a session of its own with its standard descriptors on /dev/null.
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        self.assertEqual(int(fields[3]), pid)  # session id
        for fd in (0, 1, 2):
            self.assertEqual(os.readlink("/proc/%d/fd/%d" % (pid, fd)), "/dev/null")
        self.clear_faults()
        self.assertEqual(self.finished(mission)["backup_status"], "finish")
        self.assertEqual(self.listed(mission), [])

    def test_a_mail_whose_header_cannot_be_read_is_named_by_its_local_id(self):
        mails = self.slow_mails()
        for action in ("fail", "garbage", "empty"):
            with self.subTest(action):
                self.clear_faults()
                self.fault("emlsift", "uncatalogued-03", action)
                reply, _ = self.run_export("export_gmail_to_nas", gmail_localid="uncatalogued-03,uncatalogued-04",
                                           domain_user_email=SLOW)
                exported = self.files_in(reply["path"])
                self.assertEqual(exported["uncatalogued-03.eml"], mails["uncatalogued-03"])
                self.assertEqual(len(exported), 2)
                self.assertNotIn("uncatalogued-04.eml", exported)

    def test_the_web_server_gets_the_reply_while_the_worker_runs(self):
        # The worker lets go of the request's pipes at once: the web server's answer does not wait
        # for the export.
        httpd = qlmtest.Lighttpd(self.root).start()
        self.addCleanup(httpd.stop)
        self.slow_mails()
        self.fault("emlsift", "--header", "delay", "--ms", "300")
        query = urllib.parse.urlencode({"act": "export_gmail_to_nas", "task_id": self.task, "nas_path": "/Public",
                                        "gmail_localid": "ALL", "domain_user_email": SLOW})
        status, header, body = httpd.curl(query, cookie="NAS_SID=" + self.sid)
        self.assertEqual(status, 200)
        reply = self.json_body(body)
        self.assertTrue(reply["success"], reply)
        self.wait_for(lambda: os.path.exists(self.marker(reply["mission_id"])), 30, "no marker")
        self.assertLess(len(os.listdir(reply["path"])), len(self.slow_mails()))  # still running
        self.clear_faults()
        self.assertEqual(self.finished(reply["mission_id"])["backup_status"], "finish")

    def test_an_abort_leaves_one_abort_record_and_no_trace(self):
        reply, mission, pid = self.slow_export()
        self.wait_for(lambda: self.listed(mission) and self.listed(mission)[0]["total_progress"] > 0, 60)
        self.assertEqual(self.request({"act": "mission_abort", "mission_id": mission}), {"success": True})
        self.assertTrue(gone(pid))
        self.no_trace(mission)
        new = [r for r in self.history_records() if r["file"] not in self.seen_history]
        self.assertEqual([r["backup_status"] for r in new], ["abort"])
        self.seen_history.add(new[0]["file"])
        time.sleep(0.5)  # nothing else files a record after the abort
        self.assertEqual([r for r in self.history_records() if r["file"] not in self.seen_history], [])
        # Every file written is whole: an abort removes the one being copied.
        sim = set(self.slow_mails().values())
        exported = self.files_in(reply["path"])
        self.assertTrue(all(data in sim for data in exported.values()))
        self.assertEqual(self.listed(mission), [])

    def test_a_killed_worker_is_filed_as_error_and_a_rerun_exports_everything(self):
        reply, mission, pid = self.slow_export()
        self.wait_for(lambda: self.listed(mission) and self.listed(mission)[0]["total_progress"] > 0, 60)
        os.kill(pid, signal.SIGKILL)
        self.wait_for(lambda: gone(pid), 30)
        self.assertEqual(self.listed(mission), [])
        new = [r for r in self.history_records() if r["file"] not in self.seen_history]
        self.assertEqual([(r["backup_status"], r["service"], r["domain"]) for r in new], [("error", ["gmail"], SLOW)])
        self.seen_history.add(new[0]["file"])
        self.no_trace(mission)
        self.clear_faults()
        reply, _ = self.run_export("export_gmail_to_nas", gmail_localid="ALL", domain_user_email=SLOW)
        slow = self.files_in(reply["path"])
        self.assertEqual(sorted(slow.values()), sorted(self.slow_mails().values()))
        # Named by a header run each, the mails get the names the catalog's subjects give them.
        reply, _ = self.run_export("export_gmail_to_nas", gmail_localid="ALL")
        self.assertEqual({re.sub(r"\(\d+\)\.eml$", ".eml", n) for n in slow}, set(os.listdir(reply["path"])))


if __name__ == "__main__":
    unittest.main()
