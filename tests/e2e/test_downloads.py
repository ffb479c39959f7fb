"""Downloads to the browser through lighttpd and curl, over a backed-up simulated domain: an
attachment, mails, Drive and shared drive trees, and contact and event CSV files."""

import base64
import csv
import datetime
import email
import email.header
import email.policy
import fcntl
import io
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import uuid
import zipfile
import zoneinfo

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_tasks  # noqa: E402

USER = "alice@example.test"
FOLDER_MIME = qlmtest.FOLDER_MIME
BOM = b"\xef\xbb\xbf"
# Names a browser must save as one safe file in its download folder.
HOSTILE_NAMES = ['x"; filename="evil.sh', "Ünïcødé ✓ naïve.txt", "cr\r\nSet-Cookie: a=b.txt", "../../escape.txt",
                 "semi;colon\\back.txt", ".."]
DEEP_NAMES = ["%03d" % n + "d" * 200 for n in range(21)]
ALL_SERVICES = {"drive_enable": "1", "shared_drive_enable": "1", "gmail_enable": "1", "calendar_enable": "1",
                "contact_enable": "1"}


class Downloads(test_tasks.TaskCase):
    """One backup of the whole domain, then downloads as a browser makes them."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.ready = False
        cls.httpd = qlmtest.Lighttpd(cls.root).start()

    @classmethod
    def tearDownClass(cls):
        cls.httpd.stop()
        super().tearDownClass()

    @classmethod
    def env(cls, **extra):
        return super().env(QLM_SLEEP_SCALE="0", **extra)

    def setUp(self):
        if not Downloads.ready:
            self.plant_hostile_drive_items()
            Downloads.task = self.new_task()
            reply = self.request(dict({"act": "backup", "task_id": self.task}, **ALL_SERVICES))
            self.assertTrue(reply["success"], reply)
            self.wait_history()
            Downloads.ready = True
        self.tmp = self.path("usr/local/tmp")

    # -- the simulated domain and the backup -------------------------------------------------

    def sim(self, *parts):
        return self.path("var/lib/gwssim", *parts)

    def plant_hostile_drive_items(self):
        """Items whose names would leave a folder taken as paths: a folder "..", files "" and "."."""
        qlmtest.plant_drive_items(self.sim("users", USER), [
            ("1dotdotFolder000000000000000000000", "..", None, None),
            ("1dotdotInner0000000000000000000000", "inner.txt", "1dotdotFolder000000000000000000000", b"inner\n"),
            ("1emptyName000000000000000000000000", "", None, b"no name\n"),
            ("1singleDot000000000000000000000000", ".", None, b"one dot\n")] + [
            ("1hostileName%022d" % n, name, None, name.encode() + b"\n") for n, name in enumerate(HOSTILE_NAMES)])
        # A tree deeper than the longest path: 21 folders with 203-byte names, a file at the bottom.
        qlmtest.plant_drive_items(self.sim("users", USER), [
            ("1deepFolder%023d" % n, DEEP_NAMES[n], "1deepFolder%023d" % (n - 1) if n else None, None)
            for n in range(len(DEEP_NAMES))] + [
            ("1deepFile00000000000000000000000000", "bottom.txt", "1deepFolder%023d" % (len(DEEP_NAMES) - 1),
             b"at the bottom\n")])

    def wait_history(self, deadline=180):
        folder = self.gws("conf/mission/history_mission")
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            if os.path.isdir(folder) and os.listdir(folder):
                with open(os.path.join(folder, os.listdir(folder)[0])) as f:
                    record = json.load(f)
                self.assertEqual(record["backup_status"], "finish", record)
                return
            time.sleep(0.1)
        self.fail("the backup did not finish")

    def catalog_rows(self, folder, key, table):
        with sqlite3.connect(self.gws("backup", folder, self.task, key + ".db")) as db:
            db.row_factory = sqlite3.Row
            return [dict(r) for r in db.execute("SELECT * FROM %s ORDER BY rowid DESC" % table)]

    def drive_rows(self):
        return self.catalog_rows("drive_db", USER, "drive_sql_database")

    def blob(self, item_id):
        with open(self.sim("users", USER, "blobs", item_id), "rb") as f:
            return f.read()

    # -- requests --------------------------------------------------------------------------------

    def download(self, **params):
        """A download as a browser saves it: (header text, {saved name: bytes}) in a fresh folder."""
        params = {k: v for k, v in dict({"task_id": self.task}, **params).items() if v is not None}
        query = "&".join("%s=%s" % (k, urllib.parse.quote(v, safe="")) for k, v in params.items())
        where = tempfile.mkdtemp(prefix="qlm-dl-")
        try:
            r = subprocess.run(["curl", "-s", "--max-time", "60", "--cookie", "NAS_SID=" + self.sid, "-D", "-",
                                "-O", "--remote-header-name", self.httpd.url(query)],
                               cwd=where, capture_output=True, timeout=90)
            saved = {}
            for dirpath, _, files in os.walk(where):
                for name in files:
                    with open(os.path.join(dirpath, name), "rb") as f:
                        saved[os.path.relpath(os.path.join(dirpath, name), where)] = f.read()
            return r.stdout.decode("latin-1"), saved
        finally:
            shutil.rmtree(where)

    def file(self, **params):
        """The one file a download saved, with its name."""
        header, saved = self.download(**params)
        self.assertEqual(len(saved), 1, header)
        self.assertNotIn("application/json", header.lower(), saved)
        [(name, data)] = saved.items()
        return name, data

    def error(self, **params):
        """The JSON reply of a refused download, after its content-type header."""
        header, saved = self.download(**params)
        self.assertIn("content-type: application/json; charset=utf-8", header.lower())
        [(_, body)] = saved.items()
        return json.loads(body)

    def zipped(self, **params):
        name, data = self.file(**params)
        self.assertTrue(name.endswith(".zip"), name)
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            return {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}, \
                {i.filename for i in z.infolist() if i.is_dir()}

    def assertTmpEmpty(self):
        # The CGI may still be removing its folder when curl has the last byte.
        end = time.monotonic() + 10
        while os.listdir(self.tmp) and time.monotonic() < end:
            time.sleep(0.02)
        self.assertEqual(os.listdir(self.tmp), [])

    def tearDown(self):
        self.assertTmpEmpty()

    def test_every_download_ends_cleanly_when_run_as_the_web_server_runs_it(self):
        """The process exits with 0 after a download or a refusal (a sanitizer's report would not)."""
        localid, _ = self.mail_with_attachment()
        plan = next(r for r in self.drive_rows() if r["drive_name"] == "plan.txt")
        cases = [
            dict(act="download_attachment", index="1", gmail_localid=localid, domain_user_email=USER),
            dict(act="download_attachment", index="9", gmail_localid=localid, domain_user_email=USER),
            dict(act="export_eml", browser="b", gmail_localid="ALL", domain_user_email=USER),
            dict(act="export_drive", browser="b", index="ALL", domain_user_email=USER),
            dict(act="export_drive", browser="b", index=str(plan["drive_index"]), domain_user_email=USER),
            dict(act="export_drive", browser="b", index="x", domain_user_email=USER),
            dict(act="export_contact", browser="b", localid="ALL", domain_user_email=USER, contact_name="x"),
            dict(act="export_calendar", browser="b", localid="ALL", domain_user_email=USER, calendar_name="x"),
            dict(act="export_calendar", localid="ALL", domain_user_email=USER, calendar_name="x"),
        ]
        for params in cases:
            with self.subTest(params=params):
                status, header, body = self.run_cgi(dict(params, task_id=self.task), sid=self.sid)
                self.assertEqual(status, 0, body[-300:])
                self.assertTrue(header.lower().startswith("content-type:"), header)
                self.assertTmpEmpty()

    # -- mail ------------------------------------------------------------------------------------

    def mails(self):
        return self.catalog_rows("gmail_db", USER, "gmail_sql_database")

    def stored_eml(self, localid):
        with open(self.gws("backup/gmail", self.task, USER, localid), "rb") as f:
            return f.read()

    def mail_with_attachment(self):
        for row in self.mails():
            msg = email.message_from_bytes(self.stored_eml(row["drive_localid"]), policy=email.policy.default)
            parts = [p for p in msg.walk() if p.get_filename()]
            if len(parts) >= 2:
                return row["drive_localid"], parts
        self.fail("no mail with two attachments")

    def test_an_attachment_arrives_with_its_own_bytes(self):
        localid, parts = self.mail_with_attachment()
        for index, part in enumerate(parts):
            with self.subTest(index=index):
                name, data = self.file(act="download_attachment", index=str(index), gmail_localid=localid,
                                       domain_user_email=USER)
                self.assertEqual(name, part.get_filename())
                self.assertEqual(data, part.get_payload(decode=True))

    def plant_mail(self, localid, text):
        path = self.gws("backup/gmail", self.task, USER, localid)
        with open(path, "wb") as f:
            f.write(text)
        self.addCleanup(os.unlink, path)

    def test_hostile_attachment_names_arrive_as_one_safe_file(self):
        names = ['r\u00e9sum\u00e9 "final"; x=1.pdf', "../../etc/cron.d/evil", "a/b\\c.txt", "..", "CON.txt"]
        for n, name in enumerate(names):
            with self.subTest(name=name):
                payload = ("attachment %d" % n).encode()
                encoded = email.header.Header(name, "utf-8").encode() if not name.isascii() else name
                mail = ("From: a@example.test\r\nTo: b@example.test\r\nSubject: hostile %d\r\n"
                        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n"
                        "--B\r\nContent-Type: text/plain\r\n\r\nbody\r\n"
                        "--B\r\nContent-Type: application/octet-stream\r\n"
                        "Content-Disposition: attachment; filename=\"%s\"\r\n"
                        "Content-Transfer-Encoding: base64\r\n\r\n%s\r\n--B--\r\n"
                        % (n, encoded.replace('"', '\\"'), base64.b64encode(payload).decode()))
                self.plant_mail("hostile%d" % n, mail.encode())
                where = tempfile.mkdtemp(prefix="qlm-dl-")
                try:
                    query = urllib.parse.urlencode(dict(act="download_attachment", index="0", task_id=self.task,
                                                        gmail_localid="hostile%d" % n, domain_user_email=USER))
                    subprocess.run(["curl", "-s", "--cookie", "NAS_SID=" + self.sid, "-O", "--remote-header-name",
                                    self.httpd.url(query)], cwd=where, check=True, timeout=90)
                    [saved] = os.listdir(where)
                    self.assertNotIn(saved, ("", ".", ".."))
                    with open(os.path.join(where, saved), "rb") as f:
                        self.assertEqual(f.read(), payload)
                finally:
                    shutil.rmtree(where)

    def test_mails_of_one_subject_are_counted(self):
        row = self.mails()[0]
        original = self.stored_eml(row["drive_localid"])
        self.plant_mail("twin1", original)
        self.plant_mail("twin2", original)
        files, _ = self.zipped(act="export_eml", browser="curl", domain_user_email=USER,
                               gmail_localid="%s,twin1,twin2" % row["drive_localid"])
        subject = email.message_from_bytes(original, policy=email.policy.default)["Subject"]
        bases = sorted(os.path.basename(n) for n in files)
        stem = min(bases, key=len)[:-len(".eml")]
        self.assertEqual(bases, sorted([stem + ".eml", stem + "(1).eml", stem + "(2).eml"]))
        self.assertTrue(all(files[n] == original for n in files))
        if re.fullmatch(r"[A-Za-z0-9 ()\-\[\]_]+", subject):  # a subject that needs no cleaning
            self.assertEqual(stem, subject)

    def test_the_folders_of_killed_downloads_go_with_the_next_download(self):
        localid, _ = self.mail_with_attachment()
        folders = lambda: sorted(n for n in os.listdir(self.tmp) if os.path.isdir(os.path.join(self.tmp, n)))  # noqa
        # A download killed while its tool extracts the attachment into its folder.
        self.fault("emlsift", "-ea", "delay", "--ms", "1500")
        try:
            query = urllib.parse.urlencode(dict(act="download_attachment", task_id=self.task, index="0",
                                                gmail_localid=localid, domain_user_email=USER))
            killed = subprocess.Popen([self.cgi_path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                      env=self.env(GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD="GET",
                                                   QUERY_STRING=query, HTTP_COOKIE="NAS_SID=" + self.sid))
            end = time.monotonic() + 30
            while not folders() and time.monotonic() < end:
                time.sleep(0.01)
            killed.kill()
            killed.wait()
            # Its tool ends on its own; then only the folder is left.
            while not any(c.get("exit") is not None and "-ea" in c["argv"] for c in self.calls("emlsift")) \
                    and time.monotonic() < end:
                time.sleep(0.05)
        finally:
            self.clear_faults()
        [left] = folders()
        # One an older request left, holding a hard link into the store, and one of a request
        # still at work (it holds its folder's lock), and a tool's result file of the same form.
        stale = os.path.join(self.tmp, "tnq_" + str(uuid.uuid4()))
        os.mkdir(stale)
        os.link(self.gws("backup/gmail", self.task, USER, localid), os.path.join(stale, "mail.eml"))
        live = os.path.join(self.tmp, "tnq_" + str(uuid.uuid4()))
        os.mkdir(live)
        held = os.open(live, os.O_RDONLY | os.O_DIRECTORY)
        result = os.path.join(self.tmp, "tnq_" + str(uuid.uuid4()))
        open(result, "w").close()
        try:
            fcntl.flock(held, fcntl.LOCK_EX)
            plan = next(r for r in self.drive_rows() if r["drive_name"] == "plan.txt")
            self.assertEqual(self.file(act="export_drive", browser="curl", index=str(plan["drive_index"]),
                                       domain_user_email=USER)[0], "plan.txt")
            # The request may still be removing its own folder when curl has the last byte.
            kept = sorted([os.path.basename(live), os.path.basename(result)])
            end = time.monotonic() + 10
            while sorted(os.listdir(self.tmp)) != kept and time.monotonic() < end:
                time.sleep(0.02)
            self.assertEqual(sorted(os.listdir(self.tmp)), kept)
        finally:
            os.close(held)
            os.rmdir(live)
            os.unlink(result)

    def test_attachment_refusals(self):
        localid, _ = self.mail_with_attachment()
        good = dict(act="download_attachment", index="0", gmail_localid=localid, domain_user_email=USER)
        cases = [
            ({"index": None}, 5303, "index"),
            ({"index": "x"}, 5303, "index"),
            ({"gmail_localid": None}, 5303, "gmail_localid"),
            ({"domain_user_email": None}, 5303, "domain_user_email"),
            ({"task_id": "../../conf"}, 5302, "task_id"),
            ({"domain_user_email": ".."}, 5302, "domain_user_email"),
            ({"gmail_localid": "../../../../../../etc/passwd"}, 5302, "gmail_localid"),
            ({"gmail_localid": "x;id>/tmp/p"}, 5302, "gmail_localid"),
            ({"gmail_localid": "nothing-here"}, 5302, "gmail_localid"),
            ({"index": "99"}, 5052, "index"),
        ]
        first = self.mails()[0]["drive_localid"]
        for change, code, name in cases:
            with self.subTest(change=change):
                params = dict(good, **{k: v.replace("{first}", first) if v else v for k, v in change.items()})
                self.assertEqual(self.error(**params), {"success": False, "error_code": code, "error_msg": name})
                self.assertTmpEmpty()

    def test_a_link_planted_in_the_mail_store_is_never_read(self):
        planted = self.gws("backup/gmail", self.task, USER, "planted")
        os.symlink("/etc/passwd", planted)
        try:
            self.assertEqual(self.error(act="download_attachment", index="0", gmail_localid="planted",
                                        domain_user_email=USER),
                             {"success": False, "error_code": 5302, "error_msg": "gmail_localid"})
            self.assertEqual(self.error(act="export_eml", browser="curl", gmail_localid="planted",
                                        domain_user_email=USER),
                             {"success": False, "error_code": 5052, "error_msg": "gmail_localid"})
            files = self.tree(act="export_eml", browser="curl", gmail_localid="ALL", domain_user_email=USER)
            with open("/etc/passwd", "rb") as f:
                self.assertNotIn(f.read(), files.values())
        finally:
            os.unlink(planted)

    def test_one_mail_is_its_stored_eml_and_several_come_as_one_folder(self):
        rows = self.mails()[:3]
        ids = [r["drive_localid"] for r in rows]
        name, data = self.file(act="export_eml", browser="curl", gmail_localid=ids[0], domain_user_email=USER)
        self.assertTrue(name.endswith(".eml"), name)
        self.assertEqual(data, self.stored_eml(ids[0]))
        # A missing id among the selection is passed over.
        files, _ = self.zipped(act="export_eml", browser="curl", gmail_localid=",".join(ids + ["gone"]) + ",",
                               domain_user_email=USER)
        self.assertEqual(len(files), 3)
        self.assertEqual(len({os.path.dirname(n) for n in files}), 1)
        self.assertEqual(sorted(files.values()), sorted(self.stored_eml(i) for i in ids))
        # ALL: every stored mail once.
        files, _ = self.zipped(act="export_eml", browser="curl", gmail_localid="ALL", domain_user_email=USER)
        self.assertEqual(sorted(files.values()), sorted(self.stored_eml(r["drive_localid"]) for r in self.mails()))
        self.assertTrue(all(n.endswith(".eml") for n in files))

    def test_mail_export_refusals(self):
        good = dict(act="export_eml", browser="curl", gmail_localid="ALL", domain_user_email=USER)
        cases = [
            ({"browser": None}, 5303, "browser"),
            ({"gmail_localid": None}, 5303, "gmail_localid"),
            ({"domain_user_email": None}, 5303, "domain_user_email"),
            ({"task_id": "x"}, 5302, "task_id"),
            ({"domain_user_email": "a/b"}, 5302, "domain_user_email"),
            ({"gmail_localid": "../../../../../../etc/passwd"}, 5302, "gmail_localid"),
            ({"gmail_localid": "{first},../../etc/passwd"}, 5302, "gmail_localid"),  # never dropped unsaid
            ({"gmail_localid": "..,{first}"}, 5302, "gmail_localid"),
            ({"domain_user_email": "nobody@example.test"}, 5052, "gmail_localid"),
            ({"search_condition_enable": "1", "gmail_localid": None, "domain_user_email": "nobody@example.test"},
             5302, "domain_user_email"),
        ]
        first = self.mails()[0]["drive_localid"]
        for change, code, name in cases:
            with self.subTest(change=change):
                params = dict(good, **{k: v.replace("{first}", first) if v else v for k, v in change.items()})
                self.assertEqual(self.error(**params), {"success": False, "error_code": code, "error_msg": name})
                self.assertTmpEmpty()

    # -- Drive -----------------------------------------------------------------------------------

    def sim_items(self):
        with open(self.sim("users", USER, "drive.json")) as f:
            return json.load(f)["items"]

    def test_a_file_and_a_folder_by_index_arrive_as_in_the_domain(self):
        rows = self.drive_rows()
        by_name = {r["drive_name"]: r for r in rows}
        plan = by_name["plan.txt"]
        before = len(self.log_rows())
        name, data = self.file(act="export_drive", browser="curl", index=str(plan["drive_index"]),
                               domain_user_email=USER)
        self.assertEqual((name, data), ("plan.txt", self.blob(plan["drive_id"])))
        self.assertEqual(self.new_log_rows(before), [
            ("Exported Drive file \"plan.txt\" of account %s to PC." % USER, USER, "admin")])
        files, folders = self.zipped(act="export_drive", browser="curl",
                                     index="%d,x7, 3" % by_name["Projects"]["drive_index"], domain_user_email=USER)
        self.assertEqual(folders, {"Projects/", "Projects/2024/"})
        # Exactly the stored files below the folder, at their places; plain files with the
        # domain's own bytes.
        places = {by_name["Projects"]["drive_id"]: "Projects/", by_name["2024"]["drive_id"]: "Projects/2024/"}
        expected = {}
        for r in rows:
            stored = self.gws("backup/drive", self.task, USER, r["drive_localid"])
            if r["drive_parents"] in places and r["drive_mimeType"] != FOLDER_MIME and r["drive_localid"] \
                    and os.path.isfile(stored):
                with open(stored, "rb") as f:
                    name = qlmtest.with_open_document_extension(r["drive_name"].replace("/", "_"), r["drive_mimeType"])
                    expected[places[r["drive_parents"]] + name] = f.read()
        self.assertEqual(files, expected)
        self.assertEqual(files["Projects/2024/plan.txt"], self.blob(plan["drive_id"]))
        self.assertEqual(files["Projects/a_b.txt"],
                         self.blob(next(i["id"] for i in self.sim_items() if i["name"] == "a/b.txt")))

    def test_all_rebuilds_every_top_level_item_and_hostile_names_stay_inside(self):
        files, folders = self.zipped(act="export_drive", browser="curl", index="ALL", domain_user_email=USER)
        names = set(files) | folders
        for n in names:
            self.assertNotIn("..", n.split("/"), n)
            self.assertFalse(n.startswith("/"), n)
        self.assertIn("Projects/a_b.txt", files)
        # "", "." and ".." become "Untitled", counted on a clash, the folder with its file inside.
        self.assertEqual(sorted(files[n] for n in ("Untitled", "Untitled(1)")), [b"no name\n", b"one dot\n"])
        self.assertEqual(files["Untitled(2)/inner.txt"], b"inner\n")
        self.assertIn("Résumé – 2024.txt", files)
        # Every stored file of a top-level item arrives with the domain's bytes; documents that
        # have no stored content are left out, never sent as folders.
        for row in self.drive_rows():
            stored = self.gws("backup/drive", self.task, USER, row["drive_localid"])
            if row["drive_depth"] == 0 and row["drive_mimeType"] != FOLDER_MIME and row["drive_localid"] \
                    and os.path.isfile(stored):
                with open(stored, "rb") as f:
                    self.assertIn(f.read(), files.values(), row["drive_name"])

    def new_log_rows(self, before):
        return [(r["sql_name"], r["domain"], r["user"]) for r in self.log_rows()[before:]]

    def log_commits(self):
        """The activity log's file change counter: one more for every transaction committed."""
        with open(self.gws("quillmere_log_datebase.db"), "rb") as f:
            return int.from_bytes(f.read(28)[24:28], "big")

    def test_the_rows_of_one_download_share_one_transaction(self):
        cases = [("Drive", dict(act="export_drive", index="ALL", domain_user_email=USER)),
                 ("Contact", dict(act="export_contact", localid="ALL", domain_user_email=USER, contact_name="x"))]
        for word, params in cases:
            with self.subTest(kind=word):
                before, commits = len(self.log_rows()), self.log_commits()
                self.file(browser="curl", **params)
                logged = [r for r in self.new_log_rows(before) if r[0].startswith("Exported %s file" % word)]
                self.assertGreater(len(logged), 2)
                # A few items are far from 500 rows or a second: they share a commit, where a
                # transaction per file would sync the log once for every one of them. A browser that
                # stalls half a second (a loaded machine) has the rows sent so far written first.
                self.assertGreaterEqual(self.log_commits() - commits, 1)
                self.assertLess(self.log_commits() - commits, len(logged))

    def test_a_search_selects_what_it_matches(self):
        files = self.tree(act="export_drive", browser="curl", search_condition_enable="1", name_key_word="budget",
                          domain_user_email=USER)
        self.assertIn("budget.csv", files)
        self.assertTrue(all("udget" in n for n in files), sorted(files))
        [row] = [r for r in self.mails() if r["drive_localid"]][:1]
        subject = email.message_from_bytes(self.stored_eml(row["drive_localid"]),
                                           policy=email.policy.default)["Subject"]
        reply_files = self.tree(act="export_eml", browser="curl", search_condition_enable="1",
                                subject_key_word=subject, domain_user_email=USER)
        self.assertIn(self.stored_eml(row["drive_localid"]), reply_files.values())

    def test_hostile_names_arrive_as_one_safe_file_in_the_download_folder(self):
        rows = {r["drive_id"]: r for r in self.drive_rows()}
        outer = tempfile.mkdtemp(prefix="qlm-dl-outer-")
        try:
            for n, name in enumerate(HOSTILE_NAMES):
                with self.subTest(name=name):
                    where = tempfile.mkdtemp(dir=outer)
                    row = rows["1hostileName%022d" % n]
                    query = "act=export_drive&browser=curl&task_id=%s&domain_user_email=%s&index=%d" % (
                        self.task, urllib.parse.quote(USER), row["drive_index"])
                    r = subprocess.run(["curl", "-s", "--cookie", "NAS_SID=" + self.sid, "-D", "-", "-O",
                                        "--remote-header-name", self.httpd.url(query)],
                                       cwd=where, capture_output=True, timeout=90)
                    header = r.stdout.decode("latin-1")
                    disposition = [h for h in header.split("\r\n") if h.lower().startswith("content-disposition")]
                    self.assertEqual(len(disposition), 1, header)
                    self.assertFalse([h for h in header.split("\r\n") if h.lower().startswith("set-cookie")])
                    # The catalog's name, its "/" made "_", travels percent-encoded beside the
                    # plain fallback.
                    stored = "Untitled" if row["drive_name"] == ".." else row["drive_name"].replace("/", "_")
                    self.assertIn("filename*=UTF-8''" + urllib.parse.quote(stored, safe="!#$&+-.^_`|~"),
                                  disposition[0])
                    [saved] = os.listdir(where)
                    self.assertNotIn("/", saved)
                    with open(os.path.join(where, saved), "rb") as f:
                        self.assertEqual(f.read(), name.encode() + b"\n")
            self.assertEqual(len(os.listdir(outer)), len(HOSTILE_NAMES))
            for d in os.listdir(outer):
                self.assertEqual(len(os.listdir(os.path.join(outer, d))), 1)
        finally:
            shutil.rmtree(outer)

    def test_a_link_planted_in_the_store_is_never_followed(self):
        plan = next(r for r in self.drive_rows() if r["drive_name"] == "plan.txt")
        stored = self.gws("backup/drive", self.task, USER, plan["drive_localid"])
        saved = stored + ".saved"
        os.rename(stored, saved)
        os.symlink("/etc/passwd", stored)
        before = len(self.log_rows())
        try:
            reply = self.error(act="export_drive", browser="curl", index=str(plan["drive_index"]),
                               domain_user_email=USER)
        finally:
            os.unlink(stored)
            os.rename(saved, stored)
        # Nothing was sent, so the log does not say the file was exported.
        self.assertEqual(self.new_log_rows(before), [])
        self.assertEqual(reply["error_code"], 5028)
        self.assertEqual(reply["error_msg"], "%s (-2)" % os.strerror(2))

    def test_a_tree_deeper_than_the_longest_path_arrives_whole(self):
        top = next(r for r in self.drive_rows() if r["drive_name"] == DEEP_NAMES[0])
        deep = "/".join(DEEP_NAMES) + "/bottom.txt"
        self.assertGreater(len(deep.encode()), 4096)
        for index in (str(top["drive_index"]), "ALL"):
            with self.subTest(index=index):
                files, folders = self.zipped(act="export_drive", browser="curl", index=index, domain_user_email=USER)
                self.assertEqual(files.get(deep), b"at the bottom\n", sorted(files)[:5])
                self.assertIn("/".join(DEEP_NAMES) + "/", folders)

    def test_google_documents_arrive_named_with_their_open_document_extension(self):
        by_name = {r["drive_name"]: r for r in self.drive_rows()}
        for name, saved in (("notes", "notes.odt"), ("Budget sheet", "Budget sheet.ods"),
                            ("Kickoff deck", "Kickoff deck.odp")):
            with self.subTest(name=name):
                row = by_name[name]
                with open(self.gws("backup/drive", self.task, USER, row["drive_localid"]), "rb") as f:
                    stored = f.read()
                self.assertEqual(self.file(act="export_drive", browser="curl", index=str(row["drive_index"]),
                                           domain_user_email=USER), (saved, stored))
        files, _ = self.zipped(act="export_drive", browser="curl", index=str(by_name["Projects"]["drive_index"]),
                               domain_user_email=USER)
        self.assertLessEqual({"Projects/notes.odt", "Projects/Kickoff deck.odp", "Projects/2024/Budget sheet.ods"},
                             set(files))

    def test_an_item_listed_more_than_once_arrives_once(self):
        by_name = {r["drive_name"]: r for r in self.drive_rows()}
        plan, projects = by_name["plan.txt"]["drive_index"], by_name["Projects"]["drive_index"]
        ids = [r["drive_localid"] for r in self.mails()[:2]]
        drive = dict(act="export_drive", browser="curl", domain_user_email=USER)
        mail = dict(act="export_eml", browser="curl", domain_user_email=USER)
        # (the selection once, the same selection with repeats): both download the same.
        cases = [
            (dict(drive, index=str(plan)), dict(drive, index="%d,%d,0%d" % (plan, plan, plan))),
            (dict(drive, index="%d,%d" % (projects, plan)),
             dict(drive, index=",".join([str(projects), str(plan)] * 50))),
            (dict(mail, gmail_localid=ids[0]), dict(mail, gmail_localid="%s,%s" % (ids[0], ids[0]))),
            (dict(mail, gmail_localid=",".join(ids)), dict(mail, gmail_localid=",".join(ids * 30))),
        ]
        def saved(params):
            # Several mails arrive in a folder named after the request.
            return {re.sub(r"^tnq_[0-9a-f-]{36}/", "", n): data for n, data in self.tree(**params).items()}
        for once, repeated in cases:
            with self.subTest(repeated=repeated[next(k for k in ("index", "gmail_localid") if k in repeated)][:80]):
                before = len(self.log_rows())
                expected = saved(once)
                rows = self.new_log_rows(before)
                before = len(self.log_rows())
                self.assertEqual(saved(repeated), expected)
                self.assertEqual(self.new_log_rows(before), rows)

    def test_drive_refusals(self):
        good = dict(act="export_drive", browser="curl", index="ALL", domain_user_email=USER)
        cases = [
            ({"browser": None}, {"success": False, "error_code": 5303, "error_msg": "browser"}),
            ({"index": None}, {"success": False, "error_code": 5303, "error_msg": "index"}),
            ({"domain_user_email": None}, {"success": False, "error_code": 5303, "error_msg": "domain_user_email"}),
            ({"task_id": "../x"}, {"success": False, "error_code": 5302, "error_msg": "task_id"}),
            ({"domain_user_email": "../../x"}, {"success": False, "error_code": 5302,
                                                "error_msg": "domain_user_email"}),
            ({"index": "999999"}, {"success": False, "error_code": 5028, "error_msg": "%s (-2)" % os.strerror(2)}),
            ({"domain_user_email": "nobody@example.test"},
             {"success": False, "error_code": 5028, "error_msg": "%s (-2)" % os.strerror(2)}),
        ]
        for change, expected in cases:
            with self.subTest(change=change):
                params = dict(good, **change)
                self.assertEqual(self.error(**params), expected)
                self.assertTmpEmpty()
        self.assertFalse(os.path.exists(self.gws("backup/drive_db", self.task, "nobody@example.test.db")))

    def tree(self, **params):
        """What a download holds: {path: bytes}, from one file or an archive alike."""
        name, data = self.file(**params)
        if not name.endswith(".zip"):
            return {name: data}
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            return {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}

    def test_every_shared_drive_arrives_whole(self):
        store = self.gws("backup/shared_drive", self.task)
        uuids = [u for u in os.listdir(store) if os.path.isdir(os.path.join(store, u))]
        self.assertTrue(uuids)
        for uuid in uuids:
            with self.subTest(uuid=uuid):
                stored = set()
                for name in os.listdir(os.path.join(store, uuid)):
                    with open(os.path.join(store, uuid, name), "rb") as f:
                        stored.add(f.read())
                params = dict(act="export_shared_drive", browser="curl", index="ALL", shared_drive_id=uuid)
                if not stored:  # a shared drive the administrator could not read: nothing to send
                    self.assertEqual(self.error(**params)["error_code"], 5028)
                    continue
                self.assertEqual(set(self.tree(**params).values()), stored)
        self.assertEqual(self.error(act="export_shared_drive", browser="curl", index="ALL", shared_drive_id="..")
                         ["error_code"], 5302)

    # -- CSV ---------------------------------------------------------------------------------------

    def csv_rows(self, data):
        self.assertTrue(data.startswith(BOM))
        text = data[len(BOM):].decode()
        self.assertTrue(text.endswith("\r\n"))
        return list(csv.reader(io.StringIO(text, newline="")))

    def test_contacts_read_back_cell_for_cell(self):
        before = len(self.log_rows())
        name, data = self.file(act="export_contact", browser="curl", localid="ALL", domain_user_email=USER,
                               contact_name="x")
        self.assertRegex(name, r"^\d{14}_quillmere\.csv$")
        rows = self.csv_rows(data)
        self.assertEqual(rows[0], ["Name", "Phone", "Email", "Title_and_Company"])
        expected = []
        for r in self.catalog_rows("contact_db", USER, "contact_sql_database"):
            company = " ".join(p for p in (r["organizations_0_name"], r["organizations_0_department"],
                                           r["organizations_0_title"]) if p)
            expected.append([r["names_0_displayName"] or "", r["phoneNumbers_0_value"] or "",
                             r["emailAddresses_0_value"] or "", company])
        self.assertEqual(rows[1:], expected)
        self.assertTrue(any('"' in cell for row in expected for cell in row))
        # One log row per contact, holding its CSV line as written.
        lines = data[len(BOM):].decode().split("\r\n")[1:-1]
        logged = self.new_log_rows(before)
        self.assertEqual(len(logged), len(expected))
        self.assertEqual(logged[0], ('Exported Contact file "%s\r\n" of account %s to PC.' % (lines[0], test_tasks.ADMIN),
                                     test_tasks.ADMIN, "admin"))
        # A selection list: exactly those, in catalog order.
        ids = [r["localid"] for r in self.catalog_rows("contact_db", USER, "contact_sql_database")][:2]
        _, data = self.file(act="export_contact", browser="curl", localid=",".join(reversed(ids)),
                            domain_user_email=USER, contact_name="x")
        self.assertEqual(self.csv_rows(data)[1:], expected[:2])

    def test_events_read_back_cell_for_cell(self):
        _, data = self.file(act="export_calendar", browser="curl", localid="ALL", domain_user_email=USER,
                            calendar_name="x")
        rows = self.csv_rows(data)
        self.assertEqual(rows[0], ["Summary", "Location", "Creator", "Start_DateTime", "End_DateTime"])
        catalog = self.catalog_rows("calendar_db", USER, "calendar_sql_database")
        self.assertEqual([r[:3] for r in rows[1:]],
                         [[c["summary"] or "", c["location"] or "", c["creator_email"] or ""] for c in catalog])

        def instant(text):
            if "T" not in text:
                return datetime.datetime.fromisoformat(text).replace(tzinfo=datetime.timezone.utc).timestamp()
            return datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()

        for row, c in zip(rows[1:], catalog):
            for cell, side in ((row[3], "start"), (row[4], "end")):
                when = c[side + "_dateTime"] or c[side + "_date"]
                if not when:
                    self.assertEqual(cell, "")
                    continue
                self.assertEqual(instant(cell), instant(when), (c["summary"], side))
                zone = c[side + "_timeZone"]
                if zone and c[side + "_dateTime"]:
                    wall = datetime.datetime.fromisoformat(when.replace("Z", "+00:00")).astimezone(
                        zoneinfo.ZoneInfo(zone))
                    self.assertEqual(cell, wall.isoformat(), c["summary"])

    def test_an_event_search_selects_by_summary(self):
        catalog = self.catalog_rows("calendar_db", USER, "calendar_sql_database")
        word = catalog[0]["summary"].split()[0]
        _, data = self.file(act="export_calendar", browser="curl", search_condition_enable="1", key_word=word,
                            domain_user_email=USER, calendar_name="x")
        summaries = [r[0] for r in self.csv_rows(data)[1:]]
        self.assertIn(catalog[0]["summary"], summaries)
        self.assertEqual(sorted(summaries), sorted(c["summary"] for c in catalog if word.lower() in c["summary"].lower()))

    def test_csv_refusals(self):
        good = dict(act="export_contact", browser="curl", localid="ALL", domain_user_email=USER, contact_name="x")
        cases = [
            ({"localid": None}, 5303, "localid"),
            ({"task_id": None}, 5303, "task_id"),
            ({"task_id": "../../conf"}, 5302, "task_id"),
            ({"domain_user_email": None}, 5303, "domain_user_email"),
            ({"domain_user_email": "../alice@example.test"}, 5302, "domain_user_email"),
            ({"domain_user_email": "nobody@example.test"}, 5302, "domain_user_email"),
            ({"contact_name": None}, 5303, "contact_name"),
            ({"browser": None}, 5303, "browser"),
            ({"act": "export_calendar", "contact_name": None}, 5303, "calendar_name"),
        ]
        first = self.mails()[0]["drive_localid"]
        for change, code, name in cases:
            with self.subTest(change=change):
                params = dict(good, **{k: v.replace("{first}", first) if v else v for k, v in change.items()})
                self.assertEqual(self.error(**params), {"success": False, "error_code": code, "error_msg": name})
                self.assertTmpEmpty()


if __name__ == "__main__":
    unittest.main()
