"""Restores in the states real domains are in, through orvenna.cgi: accounts with orphaned files,
accounts created again, empty mailboxes, a task whose user listing was never cached, sources never
backed up, a store that lost a file. Each must finish in one attempt, and the simulated domain must
then hold every backed-up item once more, byte for byte, below the restore folder or label, and
nothing else new."""

import collections
import json
import os
import shutil
import subprocess
import sys
import time
import unittest
import uuid

sys.path.insert(0, os.path.dirname(__file__))
import test_gmail_restore  # noqa: E402
import test_restore  # noqa: E402
import test_tasks  # noqa: E402

ADMIN = test_tasks.ADMIN
ALICE = test_restore.ALICE  # owns files whose folder she cannot see: her file tree has an Orphans row
BOB = test_restore.BOB
OBRIEN = test_gmail_restore.OBRIEN
NEWHIRE = "newhire@example.test"  # joined the domain after the backup
DRIVE_ONLY = test_restore.DRIVE_ONLY
SHARED_ONLY = test_restore.SHARED_ONLY
GMAIL_ONLY = test_gmail_restore.GMAIL_ONLY


class RestoreStates(test_gmail_restore.GmailRestoreCase):
    """One task of the demo domain with Drive, Shared Drive and Gmail backed up once; admin's mailbox
    was empty and o'brien's message listing failed in that backup; the user listing was never cached."""

    EMPTY = ADMIN
    LISTLESS = OBRIEN

    @classmethod
    def setUpClass(cls):
        super(test_restore.RestoreCase, cls).setUpClass()  # a root and a task, nothing backed up yet
        helper = cls()
        cls.task = helper.new_task()
        mail = cls.path("var/lib/gwssim/users", cls.EMPTY, "mail.json")
        with open(mail) as f:
            box = json.load(f)
        box["messages"] = []
        with open(mail, "w") as f:
            json.dump(box, f)
        cls.fault("lettrix", cls.LISTLESS, "fail")
        r = subprocess.run([helper.cgi_path, "-backup", str(uuid.uuid4()), cls.task, "1", "1", "0", "1", "0"],
                           env=cls.env(), capture_output=True, timeout=300)
        cls.clear_faults()
        if r.returncode != 0:
            raise AssertionError("backup failed: %s" % r.stderr.decode())
        shutil.rmtree(helper.gws("backup/domain_user_and_shared_dirve_db", cls.task), ignore_errors=True)
        cls.users = sorted(u for u in os.listdir(helper.gws("backup/gmail", cls.task))
                           if os.path.isdir(helper.gws("backup/gmail", cls.task, u)))
        cls.source = cls.dump("drive") + cls.dump("shared")
        cls.clock = 1700000000

    def restore(self, check=True, env=None, **params):
        query = dict({"act": "restore", "task_id": self.task}, **params)
        reply = self.request(query, extra_env=dict({"QLM_FIXED_TIME": str(self.clock)}, **(env or {})))
        if check:
            self.assertEqual(list(reply), ["success", "mission_id"], reply)
        return reply

    def tree_restored(self, owner, what="drive"):
        """What this test's restore folder of owner holds (the mail helpers take the name restored)."""
        return test_restore.RestoreCase.restored(self, owner, what)

    def local_ids(self, user):
        """The backed-up messages of user; none when the backup left no catalog."""
        if not os.path.exists(self.gws("backup/gmail_db", self.task, user + ".db")):
            return []
        return super().local_ids(user)

    def everything(self):
        """The whole simulated domain as a multiset of dump lines."""
        return collections.Counter(self.gwssim("dump").decode().splitlines())

    def assertOnlyRestoredIsNew(self, before, after):
        self.assertEqual(before - after, collections.Counter(), "something existing changed or went")
        for line in after - before:
            item = json.loads(line)
            where = item.get("path", []) + item.get("labels", [])
            self.assertTrue(self.stamp() in where or "label:" + self.stamp() in where, line)

    def attempts(self):
        return 1 + len([m for m in self.messages() if m.startswith("Error occurred while restoring")])

    def warned(self, prefix):
        return [m for m in self.messages() if m.startswith(prefix)]

    # What a row expects to find restored: owner -> tree (Drive, Shared Drive) or mailbox -> messages.
    def drive_of(self, source, into=None):
        return lambda: self.assertSameTree(self.tree_restored(into or source), self.backed_up(source))

    def shared_of(self, source, into=None):
        return lambda: self.assertSameTree(self.tree_restored(into or source, "shared"),
                                           self.backed_up(source, "shared"))

    def mailboxes(self, *users):
        def check():
            for user in users:
                self.assertEqual(self.restored(user), self.stored(user), user)
        return check

    def nothing(self):
        return lambda: None

    def selected(self, user, names, into):
        """Mode 0: the items named (top-level rows of user's tree) and each one's whole folder."""
        def check():
            want = {k: v for k, v in self.backed_up(user).items() if k[0] in names}
            self.assertSameTree(self.tree_restored(into), want)
        return check

    # Set-ups of a row: each returns what undoes it.
    def no_change(self):
        return lambda: None

    def unreadable_cache(self):
        folder = self.gws("backup/domain_user_and_shared_dirve_db", self.task)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "domain_user"), "wb") as f:
            f.write(b'{"user_list": [{"Email": "al')
        return lambda: shutil.rmtree(folder)

    def stored_copy_removed(self, name="plan.txt", user=ALICE):
        import sqlite3
        path = self.gws("backup/drive_db", self.task, user + ".db")
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
            [(localid,)] = db.execute("SELECT drive_localid FROM drive_sql_database WHERE drive_name = ?", (name,))
        copy = self.gws("backup/drive", self.task, user, localid)
        os.rename(copy, copy + ".away")
        return lambda: os.rename(copy + ".away", copy)

    def recreated(self, user):
        def make():
            self.gwssim("recreate", "--user", user)
            return lambda: None
        return make

    def test_every_state_finishes_in_one_attempt_with_every_item_once(self):
        team_uuid, _ = self.shared_drive("Team Drive")
        _, design_id = self.shared_drive("Design Drive")
        hidden_uuid, _ = self.shared_drive("Hidden Drive")
        self.assertFalse(os.path.exists(self.gws("backup/shared_drive_db", self.task, hidden_uuid + ".db")))
        for user in (self.EMPTY, self.LISTLESS):
            self.assertIn(user, self.users)
            self.assertEqual(self.stored(user), collections.Counter())
        self.assertFalse(os.path.exists(self.gws("backup/gmail_db", self.task, self.LISTLESS + ".db")))
        drive_users = [u for u in os.listdir(self.gws("backup/drive", self.task))
                       if os.path.isdir(self.gws("backup/drive", self.task, u))]
        picked = ["Projects", "photo.jpg"]  # a folder with a subfolder, and a file
        self.assertTrue({("Projects", "2024"), ("photo.jpg",)} <= set(self.backed_up(BOB)))
        removed = dict(self.backed_up(ALICE))
        del removed[("Projects", "2024", "plan.txt")]
        no_copy = "Skipped Drive item without backed-up content during restore. source_user=%s file_name=plan.txt" \
            % ALICE
        no_backup = "Skipped Drive restore of an account that has no backup."
        no_shared_backup = "Skipped Shared Drive restore of a shared drive that has no backup."
        no_catalog = "Skipped Gmail restore of an account that has no catalog."
        all_mail = tuple(u for u in self.users)

        # (state, set-up, request, what is restored, warn row expected or None, total expected or None)
        states = [
            ("Drive into another account that has orphaned files", self.no_change,
             dict(domain_user_email=BOB, target_account=ALICE, localid_list="ALL", **DRIVE_ONLY),
             self.drive_of(BOB, ALICE), None, None),
            ("Drive into itself named as the target", self.no_change,
             dict(domain_user_email=ALICE, target_account=ALICE, localid_list="ALL", **DRIVE_ONLY),
             self.drive_of(ALICE), None, None),
            ("Drive into itself without a target", self.no_change,
             dict(domain_user_email=ALICE, localid_list="ALL", **DRIVE_ONLY), self.drive_of(ALICE), None, None),
            ("selected Drive items into an account with orphaned files", self.no_change,
             dict(domain_user_email=BOB, target_account=ALICE,
                  localid_list=",".join(str(self.index_of(n, BOB)) for n in picked), **DRIVE_ONLY),
             self.selected(BOB, picked, ALICE), None, None),
            ("Drive with one stored copy gone from the store", self.stored_copy_removed,
             dict(domain_user_email=ALICE, target_account=BOB, localid_list="ALL", **DRIVE_ONLY),
             lambda: self.assertSameTree(self.tree_restored(BOB), removed), no_copy, None),
            ("Drive of an account never backed up", self.no_change,
             dict(domain_user_email=NEWHIRE, localid_list="ALL", **DRIVE_ONLY), self.nothing(), no_backup, 0),
            ("Shared Drive never backed up", self.no_change,
             dict(shared_drive_id=hidden_uuid, localid_list="ALL", **SHARED_ONLY), self.nothing(), no_shared_backup,
             0),
            ("Shared Drive into itself, user listing never cached", self.no_change,
             dict(shared_drive_id=team_uuid, localid_list="ALL", **SHARED_ONLY), self.shared_of("Team Drive"),
             None, None),
            ("Shared Drive into another, user listing unreadable", self.unreadable_cache,
             dict(shared_drive_id=team_uuid, target_shared_drive_id=design_id, localid_list="ALL", **SHARED_ONLY),
             self.shared_of("Team Drive", "Design Drive"), None, None),
            ("Gmail of the whole domain with an empty mailbox and a failed listing", self.no_change,
             dict(domain_user_email=ALICE, localid_list="ALL_DOMAIN", **GMAIL_ONLY), self.mailboxes(*all_mail),
             None, None),
            ("Gmail of the empty mailbox alone", self.no_change,
             dict(domain_user_email=self.EMPTY, localid_list="ALL", **GMAIL_ONLY), self.nothing(), None, 0),
            ("Gmail of the account whose listing failed alone", self.no_change,
             dict(domain_user_email=self.LISTLESS, localid_list="ALL", **GMAIL_ONLY), self.nothing(), no_catalog, 0),
            # Last: these make the account anew, for the rows after them too.
            ("Drive into itself after the account was created again", self.recreated(ALICE),
             dict(domain_user_email=ALICE, localid_list="ALL", **DRIVE_ONLY), self.drive_of(ALICE), None, None),
            ("Drive of the whole domain after an account was created again", self.recreated(BOB),
             dict(domain_user_email=ALICE, localid_list="ALL_DOMAIN", **DRIVE_ONLY),
             lambda: [self.drive_of(u)() for u in drive_users], None, None),
        ]
        for name, setup, params, check, warn, total in states:
            with self.subTest(state=name):
                self.setUp()
                undo = setup()
                before = self.everything()
                try:
                    record = self.finished(**params)
                finally:
                    undo()
                self.assertEqual(self.attempts(), 1, self.messages()[-10:])
                self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
                self.assertIn("end_time", record)
                if total is not None:
                    self.assertEqual(record["backup_total"], total)
                if warn is not None:
                    self.assertTrue(self.warned(warn), self.messages())
                check()
                self.assertOnlyRestoredIsNew(before, self.everything())
                self.assertNothingLeft()

    def test_progress_shows_the_items_done_while_an_upload_hangs(self):
        self.fault("gam", "localfile", "hang", "--skip", "3")
        mission = self.restore(domain_user_email=ALICE, target_account=BOB, localid_list="ALL",
                               **DRIVE_ONLY)["mission_id"]
        end = time.monotonic() + 60
        hanging = lambda: [ex for a, ex in self.uploads()] == [0, 0, 0, None]  # noqa: E731
        while time.monotonic() < end and not hanging():
            time.sleep(0.05)
        self.assertTrue(hanging(), "the restore never reached its hanging upload")
        # Every item done before the hang (the folders and three files) shows within about a second,
        # while the upload still hangs.
        done = len([a for a, ex in self.gam_runs() if "create" in a and ex == 0])
        entry = None
        end = time.monotonic() + 5
        while time.monotonic() < end:
            [entry] = [e for e in self.request({"act": "mission_list"})["mission_List"] if e["mission_id"] == mission]
            if entry["drive_current"] == done:
                break
            time.sleep(0.1)
        self.assertTrue(hanging(), "the upload no longer hangs")
        self.assertEqual((entry["drive_current"], entry["backup_current"]), (done, done), entry)
        self.assertGreater(entry["total_progress"], 0, entry)
        self.assertLess(entry["total_progress"], 100, entry)
        self.abort_restore(mission)


if __name__ == "__main__":
    unittest.main()
