"""Restores through orvenna.cgi: the action's checks, the forked worker with its mission records,
and the Drive and Shared Drive trees rebuilt in the simulated domain, compared through its dump."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest
import uuid

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_tasks  # noqa: E402

ADMIN = test_tasks.ADMIN
ALICE = "alice@example.test"
BOB = "bob@example.test"
FOLDER = "application/vnd.google-apps.folder"
STAMP = "Quillmere_Restore_"
DRIVE_ONLY = {"drive_enable": "1", "shared_drive_enable": "0", "gmail_enable": "0", "calendar_enable": "0",
              "contact_enable": "0"}
SHARED_ONLY = dict(DRIVE_ONLY, drive_enable="0", shared_drive_enable="1")


class RestoreCase(test_tasks.TaskCase):
    """One task of the demo domain, backed up once (Drive and Shared Drive); each test restores."""

    @classmethod
    def env(cls, **extra):
        return super().env(**dict({"QLM_SLEEP_SCALE": "0"}, **extra))

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.seed()
        helper = cls()
        cls.task = helper.new_task()
        r = subprocess.run([helper.cgi_path, "-backup", str(uuid.uuid4()), cls.task, "1", "1", "0", "0", "0"],
                           env=cls.env(), capture_output=True, timeout=300)
        if r.returncode != 0:
            raise AssertionError("backup failed: %s" % r.stderr.decode())
        cls.source = cls.dump("drive") + cls.dump("shared")
        cls.clock = 1700000000
        cache = cls.path(test_tasks.GWS, "backup/domain_user_and_shared_dirve_db", cls.task)
        os.makedirs(cache, exist_ok=True)
        cls.write_owners([ADMIN])

    @classmethod
    def seed(cls):
        """What a suite adds to the demo domain before the class's backup."""

    @classmethod
    def write_owners(cls, owners):
        """The task's cached user listing, whose order is the order shared-drive owners are tried in."""
        path = cls.path(test_tasks.GWS, "backup/domain_user_and_shared_dirve_db", cls.task, "domain_user")
        with open(path, "w") as f:
            json.dump({"user_list": [{"Email": o, "iD": str(i)} for i, o in enumerate(owners)]}, f)

    @classmethod
    def dump(cls, what="drive"):
        """Items of the simulated domain: (owner, path tuple, mimeType, md5, size, trashed)."""
        out = []
        for line in cls.gwssim("dump", "--what", what).decode().splitlines():
            item = json.loads(line)
            if item["what"] not in ("drive", "shared"):
                continue
            owner = item.get("user") or item.get("drive")
            out.append((owner, tuple(item["path"]), item["mimeType"], item["md5"], item["size"],
                        item.get("trashed", False)))
        return out

    def setUp(self):
        self.clear_faults()
        self.calls(clear=True)
        shutil.rmtree(self.gws("conf/mission"), ignore_errors=True)
        os.makedirs(self.gws("conf/mission/history_mission"))
        type(self).clock += 3600  # every restore gets a folder name of its own
        self.first_row = max([r["ID"] for r in self.log_rows()], default=0)

    def restore(self, check=True, **params):
        query = dict({"act": "restore", "task_id": self.task}, **params)
        reply = self.request(query, extra_env={"QLM_FIXED_TIME": str(self.clock)})
        if check:
            self.assertEqual(list(reply), ["success", "mission_id"], reply)
        return reply

    def history(self):
        folder = self.gws("conf/mission/history_mission")
        out = []
        for name in os.listdir(folder):
            with open(os.path.join(folder, name)) as f:
                out.append(json.load(f))
        return out

    def wait_history(self, count=1, deadline=120):
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            records = self.history()
            running = [n for n in os.listdir(self.gws("conf/mission")) if n != "history_mission"]
            if len(records) >= count and not running:
                return records
            time.sleep(0.05)
        self.fail("no history record within %d s; log: %s" % (deadline, self.messages()[-20:]))

    def finished(self, **params):
        """Runs a restore to its end; its history record."""
        self.restore(**params)
        [record] = self.wait_history()
        return record

    def gam_runs(self):
        """(argv, exit status) of every gam call since the last clear, in order."""
        return [(c["argv"], c.get("exit")) for c in self.calls("gam")]

    def uploads(self, name=None):
        """Upload runs (argv, exit) of files named name (all when None)."""
        return [(argv, ex) for argv, ex in self.gam_runs()
                if "localfile" in argv and (name is None or argv[argv.index("drivefilename") + 1] == name)]

    def index_of(self, name, user=ALICE):
        import sqlite3
        path = self.gws("backup/drive_db", self.task, user + ".db")
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
            [(index,)] = db.execute("SELECT drive_index FROM drive_sql_database WHERE drive_name = ?", (name,))
        return index

    def shared_drive(self, name):
        """(uuid, Google id) of a backed-up shared drive."""
        import sqlite3
        path = self.gws("backup/shared_drive_map_db", self.task, self.task + "_mapping.db")
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
            [(u, i)] = db.execute("SELECT shared_drive_uuid, shared_drive_id FROM shared_drive_mapping_uuid_table "
                                  "WHERE shared_drive_name = ?", (name,))
        return u, i

    def assertNothingLeft(self):
        """No running record, journal, plain key, result file or GAM folder outlives a restore."""
        self.assertEqual([n for n in os.listdir(self.gws("conf/mission")) if n != "history_mission"], [])
        self.assertEqual(os.listdir(self.path("usr/local/tmp")), [])
        self.assertEqual([n for n in os.listdir(self.gws("tmp")) if "_de" in n], [])
        end = time.monotonic() + 30
        while os.listdir(self.path("root")) and time.monotonic() < end:
            time.sleep(0.05)
        self.assertEqual(os.listdir(self.path("root")), [])

    def abort_restore(self, mission):
        """Aborts a running restore on its own clock (the abort knows the worker by a start no earlier
        than the record's): it is filed as "abort", and nothing of it is left, no gam running."""
        self.assertEqual(self.request({"act": "mission_abort", "mission_id": mission},
                                      extra_env={"QLM_FIXED_TIME": str(self.clock)}), {"success": True})
        [record] = self.history()
        self.assertEqual(record["backup_status"], "abort")
        self.assertNothingLeft()
        gam = self.path(qlmtest.APP, "bin", "gam")
        for pid in os.listdir("/proc"):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    self.assertNotIn(gam.encode(), f.read())
            except OSError:
                pass

    def messages(self):
        """The activity log's texts since the test began."""
        return [r["sql_name"] for r in self.log_rows() if r["ID"] > self.first_row]

    def stamp(self):
        return STAMP + time.strftime("%Y%m%d_%H%M%S", time.localtime(self.clock))

    def restored(self, owner, what="drive"):
        """What this test's restore folder of owner holds: path below it -> (kind, md5, size)."""
        out = {}
        for o, path, mime, md5, size, trashed in self.dump(what):
            if o == owner and self.stamp() in path:
                below = path[path.index(self.stamp()) + 1:]
                if below:
                    self.assertNotIn(below, out, "restored twice")
                    out[below] = (mime == FOLDER, md5, size)
        return out

    def backed_up(self, owner, what="drive", top=()):
        """What the backup holds of owner's tree (below the folder path top): the same form."""
        out = {}
        trashed_paths = [p for o, p, m, d, s, t in self.source if o == owner and t]
        for o, path, mime, md5, size, trashed in self.source:
            if o != owner or trashed or any(path[:len(t)] == t for t in trashed_paths):
                continue
            if path[:len(top)] != top or len(path) <= len(top) - 1:
                continue
            if path[:1] == ("?orphan",):
                # The backup files what the user cannot place in an "Orphans" folder of its root.
                path = ("Orphans",) + path[1:]
                if not top:
                    out[("Orphans",)] = (True, "", -1)
            if mime in EDITOR_MIMES:
                out[path[max(len(top) - 1, 0):]] = EXPORTED  # uploaded from its stored export
                continue
            if mime.startswith("application/vnd.google-apps.") and mime != FOLDER:
                continue  # no content of its own: passed over
            out[path[max(len(top) - 1, 0):]] = (mime == FOLDER, md5, size)
        return out

    def assertSameTree(self, got, want):
        """got equals want, where an editor file of want may come back as any file: its bytes are
        the export the backup stored, not the document Google lists."""
        got = dict(got)
        for path, value in want.items():
            if value is EXPORTED and path in got and not got[path][0]:
                got[path] = EXPORTED
        self.assertEqual(got, want)


EDITOR_MIMES = {"application/vnd.google-apps." + k for k in ("document", "spreadsheet", "presentation")}
EXPORTED = (False, "export", "export")


class DriveRestore(RestoreCase):

    def test_a_whole_drive_is_rebuilt_in_another_account(self):
        record = self.finished(domain_user_email=ALICE, target_account=BOB, localid_list="ALL", **DRIVE_ONLY)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        got = self.restored(BOB)
        self.assertSameTree(got, self.backed_up(ALICE))
        self.assertEqual(record["drive_total"], record["backup_total"])
        self.assertIn("Skipped Drive item without backed-up content during restore. source_user=%s "
                      "file_name=Shortcut to plan mime_type=application/vnd.google-apps.shortcut task_id=%s"
                      % (ALICE, self.task), self.messages())
        # Every upload acted as the target, read the source's store and ran once.
        ups = self.uploads()
        self.assertEqual(len(ups), len([k for k, v in got.items() if not v[0]]))
        for argv, ex in ups:
            self.assertEqual((argv[:2], ex), (["user", BOB], 0))
            self.assertIn("/backup/drive/%s/%s/" % (self.task, ALICE), argv[argv.index("localfile") + 1])
        self.assertNothingLeft()

    def test_a_whole_drive_goes_back_into_its_own_account(self):
        record = self.finished(domain_user_email=ALICE, localid_list="ALL", **DRIVE_ONLY)
        self.assertEqual(record["backup_status"], "finish")
        got = self.restored(ALICE)
        self.assertSameTree(got, self.backed_up(ALICE))
        # The restore folder stands at the top of the account's own My Drive.
        tops = {p[0] for o, p, *_ in self.dump() if o == ALICE and self.stamp() in p}
        self.assertEqual(tops, {self.stamp()})

    def test_selected_items_come_back_below_the_restore_folder(self):
        cases = [
            (["2024", "empty.bin"], {("2024",), ("2024", "plan.txt"), ("2024", "budget.csv"), ("2024", "Budget sheet"),
                                     ("empty.bin",)}, 4),
            (["Projects"], {k for k in self.backed_up(ALICE) if k[0] == "Projects"}, 7),
            ([], set(), 0),
        ]
        for names, want, total in cases:
            with self.subTest(names=names):
                self.setUp()
                indexes = ",".join(str(self.index_of(n)) for n in names)
                record = self.finished(domain_user_email=ALICE, localid_list=indexes, **DRIVE_ONLY)
                self.assertEqual((record["backup_status"], record["drive_total"]), ("finish", total))
                self.assertEqual(set(self.restored(ALICE)), want)
                # The restore folder is made even when nothing is selected.
                self.assertIn((ALICE, (self.stamp(),)), {(o, p) for o, p, *_ in self.dump()})

    def test_the_whole_domain_goes_back_each_account_into_itself(self):
        users = sorted(os.listdir(self.gws("backup/drive", self.task)))
        users = [u for u in users if os.path.isdir(self.gws("backup/drive", self.task, u))]
        self.assertIn(BOB, users)
        record = self.finished(domain_user_email=ALICE, localid_list="ALL_DOMAIN", **DRIVE_ONLY)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        for user in users:
            with self.subTest(user=user):
                got = self.restored(user)
                self.assertSameTree(got, self.backed_up(user))


class SharedDriveRestore(RestoreCase):

    def test_a_shared_drive_into_another_and_into_itself(self):
        team_uuid, team_id = self.shared_drive("Team Drive")
        design_uuid, design_id = self.shared_drive("Design Drive")
        want = self.backed_up("Team Drive", "shared")
        self.assertIn(("Designs", "design-a.txt"), want)
        for target, where in ((design_id, "Design Drive"), (None, "Team Drive")):
            with self.subTest(into=where):
                self.setUp()
                params = dict(shared_drive_id=team_uuid, localid_list="ALL", **SHARED_ONLY)
                if target:
                    params["target_shared_drive_id"] = target
                record = self.finished(**params)
                self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
                self.assertEqual(self.restored(where, "shared"), want)
                self.assertNothingLeft()

    def test_selected_items_and_the_whole_domain(self):
        team_uuid, _ = self.shared_drive("Team Drive")
        import sqlite3
        path = self.gws("backup/shared_drive_db", self.task, team_uuid + ".db")
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
            [(designs,)] = db.execute("SELECT drive_index FROM shared_drive_sql_database WHERE drive_name = 'Designs'")
        record = self.finished(shared_drive_id=team_uuid, localid_list=str(designs), **SHARED_ONLY)
        self.assertEqual((record["backup_status"], record["shared_drive_total"]), ("finish", 3))
        self.assertEqual(set(self.restored("Team Drive", "shared")),
                         {("Designs",), ("Designs", "design-a.txt"), ("Designs", "design-b.pdf")})

        self.setUp()
        record = self.finished(shared_drive_id=team_uuid, localid_list="ALL_DOMAIN", **SHARED_ONLY)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        # A mapped shared drive that never got a backup is passed over, not failed for.
        self.assertTrue([m for m in self.messages()
                         if m.startswith("Skipped Shared Drive restore of a shared drive that has no backup.")])
        for name in ("Team Drive", "Design Drive"):
            with self.subTest(drive=name):
                self.assertSameTree(self.restored(name, "shared"), self.backed_up(name, "shared"))

    def test_owners_without_access_are_passed_over(self):
        team_uuid, _ = self.shared_drive("Team Drive")
        self.write_owners([BOB, "nobody@example.test", ALICE])  # a reader, a stranger, a writer
        try:
            record = self.finished(shared_drive_id=team_uuid, localid_list="ALL", **SHARED_ONLY)
        finally:
            self.write_owners([ADMIN])
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        self.assertSameTree(self.restored("Team Drive", "shared"), self.backed_up("Team Drive", "shared"))
        failed = [m for m in self.messages() if m.startswith("Failed to create Shared Drive root folder")]
        self.assertEqual(len(failed), 2, failed)
        actors = {argv[1] for argv, ex in self.gam_runs() if "create" in argv and ex == 0}
        self.assertEqual(actors, {ALICE})


    def test_a_later_attempt_keeps_the_owner_that_made_the_restore_folder(self):
        team_uuid, _ = self.shared_drive("Team Drive")
        self.write_owners([BOB, ALICE])
        self.fault("gam", "readme.txt", "fail", "--times", "5")
        try:
            record = self.finished(shared_drive_id=team_uuid, localid_list="ALL", **SHARED_ONLY)
        finally:
            self.write_owners([ADMIN])
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        self.assertSameTree(self.restored("Team Drive", "shared"), self.backed_up("Team Drive", "shared"))
        msgs = self.messages()
        self.assertEqual(len([m for m in msgs if m.startswith("Error occurred while restoring")]), 1)
        # Only the first attempt tried the reader; the second went on as the writer at once.
        self.assertEqual(len([m for m in msgs if m.startswith("Failed to create Shared Drive root folder")]), 1)
        by_bob = [ex for argv, ex in self.gam_runs() if "create" in argv and argv[1] == BOB]
        self.assertEqual(by_bob, [50] * 5)  # one folder creation of five runs


    def test_an_owner_who_lost_access_between_attempts_is_replaced(self):
        team_uuid, _ = self.shared_drive("Team Drive")
        self.write_owners([ALICE])
        self.fault("gam", "readme.txt", "fail", "--times", "5")
        try:
            self.restore(shared_drive_id=team_uuid, localid_list="ALL", **SHARED_ONLY)
            # While the first attempt retries readme.txt, the cached listing changes: owner 0 is now
            # a reader of the drive.
            end = time.monotonic() + 60
            while not self.uploads("readme.txt") and time.monotonic() < end:
                time.sleep(0.02)
            self.write_owners([BOB, ALICE])
            [record] = self.wait_history()
        finally:
            self.write_owners([ADMIN])
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        self.assertSameTree(self.restored("Team Drive", "shared"), self.backed_up("Team Drive", "shared"))
        readme = [(argv[1], ex) for argv, ex in self.uploads("readme.txt")]
        # The injected failures end with 1; a reader's refusal by Google with GAM's 50.
        self.assertEqual(readme, [(ALICE, 1)] * 5 + [(BOB, 50)] * 5 + [(ALICE, 0)])

    def test_a_lost_connection_stops_the_owner_search_until_the_next_attempt(self):
        team_uuid, _ = self.shared_drive("Team Drive")
        self.write_owners([BOB, ALICE])
        self.fault("gam", "gfolder", "conn", "--times", "1")
        try:
            record = self.finished(shared_drive_id=team_uuid, localid_list="ALL", **SHARED_ONLY)
        finally:
            self.write_owners([ADMIN])
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        self.assertSameTree(self.restored("Team Drive", "shared"), self.backed_up("Team Drive", "shared"))
        # The lost connection ended the first attempt at once: the second owner was not tried in it.
        runs = [argv[1] for argv, ex in self.gam_runs() if "gfolder" in argv and self.stamp() in argv]
        self.assertEqual(runs, [BOB] + [BOB] * 5 + [ALICE])
        self.assertEqual(len([m for m in self.messages() if m.startswith("Error occurred while restoring")]), 1)


class RestoreRequests(RestoreCase):
    """The action's refusals: each reply, and no mission record, journal or key left behind."""

    def test_every_refusal_of_the_failure_table(self):
        team_uuid, _ = self.shared_drive("Team Drive")
        base = dict(domain_user_email=ALICE, localid_list="ALL", **DRIVE_ONLY)
        shared = dict(shared_drive_id=team_uuid, localid_list="ALL", **SHARED_ONLY)
        cases = [
            ({"task_id": None}, 5303, "task_id"),
            ({"task_id": "../../etc"}, 5302, "task_id"),
            ({"task_id": str(uuid.uuid4())}, 5302, "task_id"),
            (dict(base, domain_user_email=None), 5303, "domain_user_email"),
            ({k: v for k, v in base.items() if not k.endswith("_enable")}, 5303, "drive_enable"),
            (dict(base, domain_user_email="../../x@y"), 5302, "domain_user_email"),
            (dict(base, domain_user_email="no-at-sign"), 5302, "domain_user_email"),
            (dict(base, target_account="a/b@c"), 5302, "target_account"),
            (dict(base, localid_list="3,x"), 5302, "localid_list"),
            (dict(base, localid_list="all"), 5302, "localid_list"),
            (dict(shared, shared_drive_id="../x"), 5302, "shared_drive_id"),
            (dict(shared, target_shared_drive_id="a b"), 5302, "target_shared_drive_id"),
            (dict(base, **SHARED_ONLY), 5303, "shared_drive_id"),
            (dict(shared, **DRIVE_ONLY), 5303, "domain_user_email"),
            (dict(shared, shared_drive_id=str(uuid.uuid4())), 5302, "shared_drive_id"),
            (dict(base, localid_list=None), 5303, "localid_list"),
            (dict(shared, target_shared_drive_id="0AnotThere"), 5021, "task_id"),
            (dict(shared, target_shared_drive_id=""), 5021, "task_id"),
        ]
        for params, code, msg in cases:
            with self.subTest(params=params):
                query = {k: v for k, v in params.items() if v is not None}
                if "task_id" in params:
                    query.pop("task_id", None)
                reply = self.request(dict({"act": "restore"},
                                          **({"task_id": self.task} if "task_id" not in params else {}),
                                          **({"task_id": params["task_id"]} if params.get("task_id") else {}),
                                          **{k: v for k, v in query.items()}))
                self.assertEqual(reply, {"success": False, "error_code": code, "error_msg": msg})
                self.assertEqual(os.listdir(self.gws("conf/mission/history_mission")), [])
                self.assertNothingLeft()

    def test_refusals_of_the_log_the_key_and_the_shared_drive_listing(self):
        team_uuid, _ = self.shared_drive("Team Drive")
        log = self.gws("quillmere_log_datebase.db")
        key = self.gws("sa", self.task_conf(self.task)["auth_id"])
        base = dict(domain_user_email=ALICE, localid_list="ALL", **DRIVE_ONLY)

        def broken_log():
            os.rename(log, log + ".kept")
            os.mkdir(log)
            return lambda: (os.rmdir(log), os.rename(log + ".kept", log))

        def no_key():
            os.rename(key, key + ".kept")
            return lambda: os.rename(key + ".kept", key)

        def failing_listing():
            self.fault("scoutix", "-shared", "fail")
            return self.clear_faults

        cases = [
            (broken_log, base, 5623, "KVT_Sql_Open_Datebase error."),
            (no_key, base, 5052, "Failed to get encrypted service account key."),
            (failing_listing, dict(shared_drive_id=team_uuid, localid_list="ALL", **SHARED_ONLY), 5052, "task_id"),
        ]
        for make, params, code, msg in cases:
            with self.subTest(msg=msg):
                undo = make()
                try:
                    reply = self.restore(check=False, **params)
                finally:
                    undo()
                self.assertEqual(reply, {"success": False, "error_code": code, "error_msg": msg})
                self.assertEqual(os.listdir(self.gws("conf/mission/history_mission")), [])
                self.assertNothingLeft()

    def test_switches_that_select_nothing_finish_at_once(self):
        record = self.finished(domain_user_email=ALICE, localid_list="ALL", **dict(DRIVE_ONLY, drive_enable="0"))
        self.assertEqual((record["backup_status"], record["service"], record["backup_total"]), ("finish", [], 0))
        self.assertIn("Completed restoring  data for all accounts in domain %s." % ALICE, self.messages())
        self.assertFalse([argv for argv, ex in self.gam_runs() if "create" in argv])

    def test_a_failed_permission_check_is_logged_and_refused(self):
        self.fault("scoutix", "-check_drive", "fail")
        reply = self.restore(check=False, domain_user_email=ALICE, localid_list="ALL", **DRIVE_ONLY)
        self.assertEqual(reply, {"success": False, "error_code": 5613, "error_msg": "Check drive permissions fail."})
        self.assertIn("Restore failed for domain %s: Google Workspace authorization check failed." % ADMIN,
                      self.messages())
        self.assertEqual(os.listdir(self.gws("conf/mission/history_mission")), [])
        self.assertNothingLeft()
        self.assertEqual([n for n in os.listdir(self.gws("tmp")) if n.endswith("_de") or "_de_" in n], [])


class RestoreFaults(RestoreCase):
    """Failures in the middle of a restore: in the end every item exists exactly once."""

    def assertWholeDrive(self, record):
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        got = self.restored(BOB)  # fails on any item restored twice
        self.assertSameTree(got, self.backed_up(ALICE))

    def run_whole(self):
        return self.finished(domain_user_email=ALICE, target_account=BOB, localid_list="ALL", **DRIVE_ONLY)

    def test_an_upload_that_fails_then_works_is_restored_once(self):
        self.fault("gam", "budget.csv", "fail", "--times", "2")
        self.assertWholeDrive(self.run_whole())
        self.assertEqual([ex for argv, ex in self.uploads("budget.csv")], [1, 1, 0])
        self.assertFalse([m for m in self.messages() if m.startswith("Error occurred while restoring")])

    def test_an_item_failing_five_runs_waits_for_the_next_attempt(self):
        self.fault("gam", "plan.txt", "fail", "--times", "5")
        self.fault("gam", "2024 mimetype gfolder", "fail", "--times", "5")  # a folder: its contents wait with it
        record = self.run_whole()
        self.assertWholeDrive(record)
        msgs = self.messages()
        self.assertEqual(len([m for m in msgs if m.startswith("Failed to upload Drive file during restore. "
                                                              "source_user=%s restore_account=%s file_name=plan.txt"
                                                              % (ALICE, BOB))]), 1)
        self.assertEqual(len([m for m in msgs if m.startswith("Failed to create Drive folder during restore. "
                                                              "restore_account=%s folder_name=2024" % BOB)]), 1)
        self.assertIn("Error occurred while restoring all accounts in domain %s: Drive restore fail.." % ADMIN, msgs)
        self.assertIn("Drive restore fail. Waiting 20 sec before retry 2.", msgs)
        # Every other item was uploaded once, in the first attempt.
        for argv, ex in self.uploads():
            name = argv[argv.index("drivefilename") + 1]
            self.assertEqual(len([1 for a, e in self.uploads(name) if e == 0]), 1, name)

    def test_a_lost_connection_ends_the_attempt_and_the_next_goes_on(self):
        self.fault("gam", "localfile", "conn", "--skip", "4", "--times", "1")
        record = self.run_whole()
        self.assertWholeDrive(record)
        self.assertEqual(len([m for m in self.messages() if m.startswith("Error occurred while restoring")]), 1)
        done = [argv[argv.index("drivefilename") + 1] for argv, ex in self.uploads() if ex == 0]
        self.assertEqual(len(done), len(set(done)))
        creates = [argv for argv, ex in self.gam_runs() if "gfolder" in argv and ex == 0]
        self.assertEqual(len([a for a in creates if self.stamp() in a]), 1)

    def test_an_item_that_never_works_ends_the_restore_in_error(self):
        self.fault("gam", "plan.txt", "fail")
        record = self.run_whole()
        self.assertEqual(record["backup_status"], "error")
        self.assertIn("end_time", record)
        msgs = self.messages()
        self.assertEqual(len([m for m in msgs if m.startswith("Error occurred while restoring")]), 15)
        self.assertIn("Drive restore fail. Waiting 30000 sec before retry 15.", msgs)
        self.assertEqual(len(self.uploads("plan.txt")), 75)
        self.assertNothingLeft()


class RestoreMissions(RestoreCase):

    def test_a_running_restore_is_listed_and_aborted(self):
        self.fault("gam", "localfile", "hang", "--skip", "3")
        reply = self.restore(domain_user_email=ALICE, target_account=BOB, localid_list="ALL", **DRIVE_ONLY)
        mission = reply["mission_id"]
        end = time.monotonic() + 60
        entry = None
        while time.monotonic() < end and entry is None:
            hanging = [argv for argv, ex in self.gam_runs() if "localfile" in argv and ex is None]
            listed = [e for e in self.request({"act": "mission_list"})["mission_List"] if e["mission_id"] == mission]
            entry = listed[0] if listed and len(hanging) == 1 and len(self.uploads()) == 4 else None
            time.sleep(0.1)
        self.assertIsNotNone(entry, "the restore never reached its hanging upload")
        self.assertEqual((entry["mode"], entry["backup_status"], entry["service"]), ("restore", "restoring", ["drive"]))
        self.assertGreater(entry["drive_total"], 3)
        self.assertTrue(0 <= entry["total_progress"] < 100, entry)
        self.assertNotIn("restore_idmap_drive", entry)
        self.abort_restore(mission)
        # The history list shows finished, failed and aborted restores alike.
        self.clear_faults()
        self.restore(domain_user_email=ALICE, localid_list="", **DRIVE_ONLY)
        self.wait_history(2)
        self.fault("gam", "gfolder", "fail")
        self.restore(domain_user_email=ALICE, localid_list="", **DRIVE_ONLY)
        self.wait_history(3)
        listed = self.request({"act": "history_mission_list"})["mission_List"]
        self.assertEqual(sorted(e["backup_status"] for e in listed if e["mode"] == "restore"),
                         ["abort", "error", "finish"])


if __name__ == "__main__":
    unittest.main()
