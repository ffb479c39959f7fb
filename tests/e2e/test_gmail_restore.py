"""Gmail restores through orvenna.cgi: backed-up messages inserted from the store into the simulated
mailboxes under the restore label, compared byte for byte (md5 and size) through gwssim's dump, after
the line-end rule of GAM's insert (CRLF and lone CR come back as LF)."""

import collections
import fcntl
import hashlib
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_restore  # noqa: E402
import test_tasks  # noqa: E402

ADMIN = test_tasks.ADMIN
ALICE = "alice@example.test"
BOB = "bob@example.test"
OBRIEN = "o'brien@example.test"
GMAIL_ONLY = {"drive_enable": "0", "shared_drive_enable": "0", "gmail_enable": "1", "calendar_enable": "0",
              "contact_enable": "0"}


class GmailRestoreCase(test_restore.RestoreCase):
    """One task of the demo domain with its Gmail backed up once; each test restores."""

    @classmethod
    def setUpClass(cls):
        super(test_restore.RestoreCase, cls).setUpClass()  # a root and a task, without the Drive backup
        helper = cls()
        cls.task = helper.new_task()
        # Mail in 8-bit bytes that are no UTF-8 (Latin-1) and that are (UTF-8): GAM must send them as stored.
        cls.deliver(ALICE, b"From: Zo\xeb <zoe@outside.test>\r\nTo: alice@example.test\r\nSubject: Caf\xe9\r\n"
                           b"Content-Type: text/plain; charset=ISO-8859-1\r\n\r\nCr\xe8me br\xfbl\xe9e.\r\n")
        cls.deliver(ALICE, "From: bob@example.test\r\nSubject: =?UTF-8?Q?R=C3=A9sum=C3=A9?=\r\n"
                           "Content-Type: text/plain; charset=UTF-8\r\n\r\n\u5831\u544a r\u00e9sum\u00e9\r\n"
                    .encode())
        r = subprocess.run([helper.cgi_path, "-backup", str(uuid.uuid4()), cls.task, "0", "0", "0", "1", "0"],
                           env=cls.env(), capture_output=True, timeout=300)
        if r.returncode != 0:
            raise AssertionError("backup failed: %s" % r.stderr.decode())
        cls.users = sorted(u for u in os.listdir(helper.gws("backup/gmail", cls.task))
                           if os.path.isdir(helper.gws("backup/gmail", cls.task, u)))
        cls.source = cls.mail()
        cls.clock = 1700000000

    @classmethod
    def deliver(cls, user, eml):
        """Puts a message into user's simulated mailbox as mail from outside would arrive."""
        gamdir = tempfile.mkdtemp(prefix="gam-", dir=cls.path("var/lib"))
        try:
            with open(cls.path("var/lib/gwssim/domain.json")) as f:
                customer = json.load(f)["customer_id"]
            with open(os.path.join(gamdir, "gam.cfg"), "w") as f:
                f.write("[DEFAULT]\nadmin_email = %s\ncustomer_id = %s\ndomain = example.test\n"
                        "enable_dasa = true\n" % (ADMIN, customer))
            cls.gwssim("key", "--grant", "gmail", "--out", os.path.join(gamdir, "oauth2service.json"))
            with open(os.path.join(gamdir, "mail.eml"), "wb") as f:
                f.write(eml)
            r = subprocess.run([cls.path(qlmtest.APP, "bin/gam"), "user", user, "insert", "messages", "emlfile",
                                os.path.join(gamdir, "mail.eml"), "charset", "latin1", "addlabel", "INBOX"],
                               env=cls.env(GAMCFGDIR=gamdir), capture_output=True)
            if r.returncode != 0:
                raise AssertionError("gam insert failed: %s" % r.stderr.decode())
        finally:
            shutil.rmtree(gamdir)

    @classmethod
    def mail(cls):
        """Messages of the simulated domain: (user, md5, size, labels)."""
        out = []
        for line in cls.gwssim("dump", "--what", "gmail").decode().splitlines():
            m = json.loads(line)
            out.append((m["user"], m["md5"], m["size"], tuple(m["labels"])))
        return out

    def restore(self, check=True, env=None, **params):
        query = dict({"act": "restore", "task_id": self.task}, **GMAIL_ONLY, **params)
        reply = self.request(query, extra_env=dict({"QLM_FIXED_TIME": str(self.clock)}, **(env or {})))
        if check:
            self.assertEqual(list(reply), ["success", "mission_id"], reply)
        return reply

    def finished(self, env=None, deadline=120, **params):
        self.restore(env=env, **params)
        [record] = self.wait_history(deadline=deadline)
        return record

    def inserts(self):
        """(argv, exit) of every insert run since the last clear, in order."""
        return [(c["argv"], c.get("exit")) for c in self.calls("gam") if "insert" in c["argv"]]

    def local_ids(self, user):
        path = self.gws("backup/gmail_db", self.task, user + ".db")
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
            return [r[0] for r in db.execute("SELECT drive_localid FROM gmail_sql_database ORDER BY id DESC")]

    def read(self, user, localid):
        with open(self.gws("backup/gmail", self.task, user, localid), "rb") as f:
            return f.read()

    def stored(self, user, ids=None, inserted=True):
        """The backed-up messages of user (those of ids only, when given): a multiset of (md5, size).
        inserted: as an insert brings them back, GAM reading the file in text mode with universal
        newlines (every CRLF and lone CR an LF); else the stored bytes."""
        out = collections.Counter()
        for localid in self.local_ids(user) if ids is None else ids:
            data = self.read(user, localid)
            if inserted:
                data = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")
            out[(hashlib.md5(data).hexdigest(), len(data))] += 1
        return out

    def restored(self, user):
        """The messages of user's mailbox under this test's restore label: a multiset of (md5, size)."""
        out = collections.Counter()
        for u, md5, size, labels in self.mail():
            if u == user and "label:" + self.stamp() in labels:
                self.assertEqual(labels, ("label:" + self.stamp(),), "the restore label only")
                out[(md5, size)] += 1
        return out

    def summary(self):
        [row] = [r for r in self.log_rows() if r["ID"] > self.first_row
                 and r["sql_name"].startswith("Gmail restore summary.")]
        return row["sql_status"], row["sql_name"]


class GmailRestore(GmailRestoreCase):

    def test_a_mailbox_goes_into_another_account_byte_for_byte(self):
        want = self.stored(ALICE)
        self.assertGreater(sum(want.values()), 3)
        # The backup holds a message with 8-bit bytes: an insert read as ASCII would refuse it.
        high = [i for i in self.local_ids(ALICE) if any(b > 127 for b in self.read(ALICE, i))]
        self.assertEqual(len(high), 2)
        record = self.finished(domain_user_email=ALICE, target_account=BOB, localid_list="ALL")
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        self.assertEqual(self.restored(BOB), want)
        # The round trip: the backup holds the source mailbox's bytes, CRLF line ends included, and
        # the restored messages are those after the line-end rule.
        source = {(md5, size) for u, md5, size, labels in self.source if u == ALICE}
        self.assertLessEqual(set(self.stored(ALICE, inserted=False)), source)
        self.assertTrue(any(b"\r\n" in self.read(ALICE, i) for i in self.local_ids(ALICE)))
        self.assertNotEqual(self.stored(ALICE, inserted=False), want)
        self.assertEqual((record["gmail_total"], record["backup_total"]), (sum(want.values()),) * 2)
        runs = self.inserts()
        self.assertEqual(len(runs), sum(want.values()))
        store = self.gws("backup/gmail", self.task, ALICE)
        for argv, ex in runs:
            self.assertEqual(ex, 0)
            self.assertEqual(argv[:5] + argv[6:], ["user", BOB, "insert", "messages", "emlfile", "charset", "latin1",
                                                   "deleted", "false", "addlabel", self.stamp()])
            self.assertEqual(os.path.dirname(argv[5]), store)
        self.assertEqual(len({argv[5] for argv, ex in runs}), len(runs))
        self.assertIn("Gmail restore summary. source_user=%s target_user=%s task_id=%s restore_mode=1 success=%d "
                      "fail=0 skipped_users=0" % (ALICE, BOB, self.task, len(runs)), self.messages())
        self.assertEqual(self.summary()[0], "SUCCESS")
        self.assertNothingLeft()

    def test_selected_messages_of_two_accounts_go_into_one_mailbox(self):
        a, b = self.local_ids(ALICE), self.local_ids(BOB)
        picked = {ALICE: a[:2], BOB: b[-1:]}
        record = self.finished(domain_user_email=ALICE, target_account=OBRIEN,
                               localid_list=",".join(picked[ALICE] + picked[BOB]))
        self.assertEqual((record["backup_status"], record["gmail_total"]), ("finish", 3), self.messages()[-10:])
        self.assertEqual(self.restored(OBRIEN), self.stored(ALICE, picked[ALICE]) + self.stored(BOB, picked[BOB]))
        # A target a shell would split or quote arrives as one argument; besides the action's
        # permission checks and GAM's set-up only the inserts ran.
        self.assertEqual({argv[1] for argv, ex in self.inserts()}, {OBRIEN})
        self.assertEqual(sorted((c["tool"], c["argv"]) for c in self.calls() if "insert" not in c["argv"]),
                         [("gam", [])] * 2 + [("scoutix", c["argv"]) for c in self.calls("scoutix")])
        # Without a target each message goes back into its own account.
        self.setUp()
        record = self.finished(domain_user_email=ALICE, target_account="", localid_list=picked[BOB][0])
        self.assertEqual(record["backup_status"], "finish")
        self.assertEqual(self.restored(BOB), self.stored(BOB, picked[BOB]))

    def test_a_message_listed_many_times_goes_back_once(self):
        pick = self.local_ids(ALICE)[:2]
        record = self.finished(domain_user_email=ALICE, localid_list=",".join(pick * 50))
        self.assertEqual((record["backup_status"], record["gmail_total"]), ("finish", 2), self.messages()[-10:])
        self.assertEqual(self.restored(ALICE), self.stored(ALICE, pick))
        self.assertEqual(len(self.inserts()), 2)

    def test_an_account_without_a_catalog_has_no_messages_to_select(self):
        ghost = self.gws("backup/gmail", self.task, "ghost@example.test")
        os.makedirs(ghost)
        try:
            pick = self.local_ids(ALICE)[:1]
            record = self.finished(domain_user_email=ALICE, localid_list=pick[0])
            self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
            self.assertEqual(self.restored(ALICE), self.stored(ALICE, pick))
            self.assertIn("Skipped Gmail restore of an account that has no catalog. source_user=ghost@example.test "
                          "task_id=%s" % self.task, self.messages())
            # Nor has it anything for the whole domain: it counts 0 and the others are restored.
            self.setUp()
            record = self.finished(domain_user_email=ALICE, localid_list="ALL_DOMAIN")
            self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
            self.assertEqual(record["gmail_total"], sum(sum(self.stored(u).values()) for u in self.users))
            for user in self.users:
                self.assertEqual(self.restored(user), self.stored(user))
            self.assertIn("Skipped Gmail restore of an account that has no catalog. source_user=ghost@example.test "
                          "task_id=%s" % self.task, self.messages())
        finally:
            os.rmdir(ghost)
        # Reading never makes a catalog, and the lock files beside the account folders are never
        # taken for accounts.
        self.assertFalse(os.path.exists(self.gws("backup/gmail_db", self.task, "ghost@example.test.db")))
        self.assertFalse([u for u in os.listdir(self.gws("backup/gmail", self.task))
                          if u.endswith(".gmail_lck.gmail_lck")])

    def test_the_whole_domain_goes_back_each_account_into_itself(self):
        self.assertIn(OBRIEN, self.users)
        # A backup holds one account's lock the whole time: that account is passed over, with a row.
        lock = self.gws("backup/gmail", self.task, BOB + ".gmail_lck")
        with open(lock, "a") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            record = self.finished(domain_user_email=ALICE, localid_list="ALL_DOMAIN", deadline=180)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        for user in self.users:
            with self.subTest(user=user):
                self.assertEqual(self.restored(user), collections.Counter() if user == BOB else self.stored(user))
        self.assertIn("Skipped Gmail restore of an account whose backup is in use. source_user=%s task_id=%s"
                      % (BOB, self.task), self.messages())
        status, text = self.summary()
        self.assertEqual(status, "FAIL")
        self.assertTrue(text.endswith("fail=0 skipped_users=1"), text)


class GmailRestoreFaults(GmailRestoreCase):
    """Failures in the middle of a restore: in the end every message exists exactly once."""

    def run_whole(self, env=None):
        return self.finished(env=env, domain_user_email=ALICE, target_account=BOB, localid_list="ALL")

    def test_a_lost_connection_ends_the_attempt_and_the_next_goes_on(self):
        self.fault("gam", "insert", "conn", "--skip", "3", "--times", "1")
        record = self.run_whole()
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        self.assertEqual(self.restored(BOB), self.stored(ALICE))  # each exactly once
        msgs = self.messages()
        self.assertEqual([m for m in msgs if m.startswith("Error occurred while restoring")],
                         ["Error occurred while restoring all accounts in domain %s: Gmail restore fail.." % ADMIN])
        self.assertIn("Gmail restore fail. Waiting 20 sec before retry 2.", msgs)
        done = [argv[5] for argv, ex in self.inserts() if ex == 0]
        self.assertEqual(len(done), len(set(done)))
        # Both attempts used the one label made by the first.
        self.assertEqual({argv[-1] for argv, ex in self.inserts()}, {self.stamp()})
        self.assertNothingLeft()

    def test_a_message_failing_five_runs_is_counted_and_the_restore_goes_on(self):
        bad = self.local_ids(ALICE)[1]
        self.fault("gam", bad, "fail", "--times", "5")
        record = self.run_whole()
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        want = self.stored(ALICE) - self.stored(ALICE, [bad])
        self.assertEqual(self.restored(BOB), want)
        self.assertEqual([ex for argv, ex in self.inserts() if argv[5].endswith(bad)], [1] * 5)
        msgs = self.messages()
        self.assertFalse([m for m in msgs if m.startswith("Error occurred while restoring")])
        self.assertIn("Failed to restore Gmail message. source_user=%s restore_account=%s local_id=%s task_id=%s"
                      % (ALICE, BOB, bad, self.task), msgs)
        status, text = self.summary()
        self.assertEqual(status, "FAIL")
        self.assertTrue(text.endswith("success=%d fail=1 skipped_users=0" % sum(want.values())), text)

    def test_a_hung_insert_is_ended_by_the_time_out(self):
        hung = self.local_ids(ALICE)[0]
        self.fault("gam", hung, "hang", "--times", "1")
        start = time.monotonic()
        record = self.run_whole(env={"QLM_TOOL_TIMEOUT": "2"})
        self.assertLess(time.monotonic() - start, 60)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        self.assertEqual(self.restored(BOB), self.stored(ALICE))
        runs = [ex for argv, ex in self.inserts() if argv[5].endswith(hung)]
        self.assertEqual(runs[-1], 0)
        self.assertEqual(len(runs), 2, runs)
        self.assertNothingLeft()


class GmailRestoreMissions(GmailRestoreCase):

    def test_a_running_gmail_restore_is_listed_aborted_and_kept_in_the_history(self):
        self.fault("gam", "insert", "hang", "--skip", "2")
        reply = self.restore(domain_user_email=ALICE, target_account=BOB, localid_list="ALL")
        mission = reply["mission_id"]
        end = time.monotonic() + 60
        entry = None
        while time.monotonic() < end and entry is None:
            hanging = [argv for argv, ex in self.inserts() if ex is None]
            listed = [e for e in self.request({"act": "mission_list"})["mission_List"] if e["mission_id"] == mission]
            entry = listed[0] if listed and len(hanging) == 1 and len(self.inserts()) == 3 else None
            time.sleep(0.1)
        self.assertIsNotNone(entry, "the restore never reached its hanging insert")
        self.assertEqual((entry["mode"], entry["backup_status"], entry["service"]), ("restore", "restoring", ["gmail"]))
        self.assertEqual(entry["gmail_total"], sum(self.stored(ALICE).values()))
        self.assertTrue(0 <= entry["total_progress"] < 100, entry)
        self.assertNotIn("restore_idmap_gmail", entry)
        self.assertEqual(self.request({"act": "mission_abort", "mission_id": mission},
                                      extra_env={"QLM_FIXED_TIME": str(self.clock)}), {"success": True})
        [record] = self.history()
        self.assertEqual(record["backup_status"], "abort")
        self.assertNothingLeft()
        # The history list shows finished, failed and aborted Gmail restores alike.
        self.clear_faults()
        self.restore(domain_user_email=ALICE, localid_list=self.local_ids(ALICE)[0])
        self.wait_history(2)
        ghost = self.gws("backup/gmail", self.task, "ghost@example.test")  # a catalog that cannot be read
        catalog = self.gws("backup/gmail_db", self.task, "ghost@example.test.db")
        os.makedirs(ghost)
        with open(catalog, "wb") as f:
            f.write(b"not a database\n" * 64)
        try:
            self.restore(domain_user_email=ALICE, localid_list="ALL_DOMAIN")
            self.wait_history(3)
        finally:
            os.rmdir(ghost)
            os.unlink(catalog)
        listed = self.request({"act": "history_mission_list"})["mission_List"]
        self.assertEqual(sorted(e["backup_status"] for e in listed if e["service"] == ["gmail"]),
                         ["abort", "error", "finish"])


if __name__ == "__main__":
    unittest.main()
