"""Gmail backups through orvenna.cgi's backup mode against the simulated domain: the store, the
catalog, change detection, the stand-ins' faults, resuming after a killed worker, and the order of
the mailboxes."""

import email
import email.policy
import email.utils
import json
import os
import re
import signal
import sqlite3
import subprocess
import sys
import time
import unittest
import uuid

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_backup  # noqa: E402

GMAIL_ONLY = ("0", "0", "0", "1", "0")  # drive, shared drive, calendar, gmail, contact
FLAGS = (("STARRED", "Starred"), ("IMPORTANT", "Important"), ("SENT", "Sent"), ("DRAFT", "Drafts"),
         ("TRASH", "Trash"))
ALICE = "alice@example.test"


def add_sim_user(sim, email):
    """A user of the simulated domain with an empty mailbox."""
    with open(os.path.join(sim, "domain.json")) as f:
        dom = json.load(f)
    if email in [u["email"] for u in dom["users"]]:
        return
    dom["users"].append(dict(dom["users"][-1], id=str(10 ** 20 + len(dom["users"])), email=email, admin=False))
    with open(os.path.join(sim, "domain.json"), "w") as f:
        json.dump(dom, f)
    os.makedirs(os.path.join(sim, "users", email, "eml"), exist_ok=True)
    with open(os.path.join(sim, "users", email, "mail.json"), "w") as f:
        json.dump({"labels": [], "messages": []}, f)


def max_overlap(calls):
    """The most calls that ran at one moment, from their start and end times."""
    events = sorted([(c["time"], 1) for c in calls] + [(c["end"], -1) for c in calls], key=lambda e: (e[0], e[1]))
    most = now = 0
    for _, step in events:
        now += step
        most = max(most, now)
    return most


class GmailCase(test_backup.BackupCase):
    """Helpers over the simulated mailboxes, the store and the catalogs of the task."""

    def sim(self, *parts):
        return self.path("var/lib/gwssim", *parts)

    def mailbox(self, user):
        with open(self.sim("users", user, "mail.json")) as f:
            return json.load(f)

    def alice_ids(self):
        return [m["id"] for m in self.mailbox(ALICE)["messages"]]

    def save_mailbox(self, user, box):
        with open(self.sim("users", user, "mail.json"), "w") as f:
            json.dump(box, f)

    def sim_users(self):
        with open(self.sim("domain.json")) as f:
            return [u.get("primaryEmail") or u.get("email") for u in json.load(f)["users"]]

    def add_message(self, user, subject, labels=("INBOX",)):
        """A new message, received now (so it lists first); its id."""
        box = self.mailbox(user)
        mid = uuid.uuid4().hex[:16]
        eml = ("From: \"Carol Added\" <carol@else.test>\r\nTo: %s\r\nSubject: %s\r\n"
               "Date: Sun, 10 Mar 2024 16:30:15 +0800\r\nMessage-ID: <%s@sim>\r\n\r\nHello.\r\n" % (user, subject, mid))
        with open(self.sim("users", user, "eml", mid), "w") as f:
            f.write(eml)
        box["messages"].append({"id": mid, "threadId": mid, "internalDate": int(time.time() * 1000),
                                "labelIds": list(labels)})
        self.save_mailbox(user, box)
        return mid

    def drop_message(self, user, mid):
        box = self.mailbox(user)
        box["messages"] = [m for m in box["messages"] if m["id"] != mid]
        self.save_mailbox(user, box)

    def label(self, user, mid, name, on=True):
        box = self.mailbox(user)
        for m in box["messages"]:
            if m["id"] == mid:
                labels = [x for x in m.get("labelIds", []) if x != name]
                m["labelIds"] = labels + [name] if on else labels
        self.save_mailbox(user, box)

    def add_user(self, email):
        add_sim_user(self.sim(), email)

    def catalog(self, user):
        path = self.gws("backup/gmail_db", self.task, user + ".db")
        if not os.path.exists(path):
            return {}
        with sqlite3.connect(path) as db:
            db.row_factory = sqlite3.Row
            return {r["gmail_id"]: dict(r) for r in db.execute("SELECT * FROM gmail_sql_database")}

    def store(self, user):
        folder = self.gws("backup/gmail", self.task, user)
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def eml(self, user, mid):
        with open(self.sim("users", user, "eml", mid), "rb") as f:
            return f.read()

    def stored(self, user, localid):
        with open(self.gws("backup/gmail", self.task, user, localid), "rb") as f:
            return f.read()

    def assertMirrors(self, user):
        """Every message of the mailbox has one row and one file with its bytes; no file lacks a row."""
        rows = self.catalog(user)
        ids = {m["id"] for m in self.mailbox(user)["messages"]}
        self.assertEqual(set(rows), ids)
        self.assertEqual(sorted(r["drive_localid"] for r in rows.values()), self.store(user))
        for mid, row in rows.items():
            self.assertEqual(self.stored(user, row["drive_localid"]), self.eml(user, mid))

    def run_gmail(self, mission=None):
        r = self.run_plain(mission or str(uuid.uuid4()), *GMAIL_ONLY)
        self.assertEqual(r.returncode, 0, r.stderr)
        records = sorted(self.history(), key=lambda rec: rec["end_time"])
        return records[-1]

    def summaries(self):
        return [r for r in self.log_rows() if r["sql_name"].startswith("Gmail backup summary.")]


class GmailBackup(GmailCase):

    def test_first_run_mirrors_the_mailboxes_then_only_changes_move(self):
        record = self.run_gmail()
        self.assertEqual(record["backup_status"], "finish", self.messages())
        users = [u for u in os.listdir(self.sim("users")) if os.path.exists(self.sim("users", u, "mail.json"))]
        for user in users:
            self.assertMirrors(user)
        # Rows as the mailbox has them: sender, recipient, subject, date, attachment and label flags.
        rows = self.catalog(ALICE)
        for m in self.mailbox(ALICE)["messages"]:
            row = rows[m["id"]]
            labels = m.get("labelIds", [])
            self.assertEqual([row[col] for _, col in FLAGS], [int(lab in labels) for lab, _ in FLAGS], m)
        for m in self.mailbox(ALICE)["messages"]:
            mail = email.message_from_bytes(self.eml(ALICE, m["id"]), policy=email.policy.default)
            row = rows[m["id"]]
            self.assertEqual(row["subject"], str(mail["Subject"] or ""), m)
            date = email.message_from_bytes(self.eml(ALICE, m["id"]))["Date"]
            self.assertEqual(row["date_str"], date, m)
            self.assertEqual(row["date_timestamp"], int(email.utils.parsedate_to_datetime(date).timestamp()), m)
            self.assertEqual(row["send_mail"], email.utils.parseaddr(str(mail["From"]))[1], m)
        lunch = [r for r in rows.values() if r["subject"] == "Re: Lunch on Friday?"]
        self.assertEqual(len(lunch), 1)
        self.assertTrue(lunch[0]["send_mail"].endswith("@example.test"), lunch[0])
        self.assertGreater(lunch[0]["date_timestamp"], 1700000000)
        self.assertTrue(any(r["has_attachment"] for r in rows.values()))
        for user in users:
            n = len(self.mailbox(user)["messages"])
            self.assertIn("Gmail backup summary. user=%s total=%d success=%d fail=0" % (user, n, n),
                          [r["sql_name"] for r in self.summaries()])
        # A quote in an account name reaches the tools as one argument.
        self.assertIn("o'brien@example.test", [c["argv"][3] for c in self.calls("lettrix")])

        # Nothing changed: nothing is saved again, every local id stays.
        before = {u: self.catalog(u) for u in users}
        self.calls(clear=True)
        self.run_gmail()
        self.assertEqual([c for c in self.calls("gam") if "export" in c["argv"]], [])
        self.assertEqual({u: {k: r["drive_localid"] for k, r in self.catalog(u).items()} for u in users},
                         {u: {k: r["drive_localid"] for k, r in before[u].items()} for u in users})
        # Not even rewritten: the rows keep their row ids.
        self.assertEqual({u: {k: r["id"] for k, r in self.catalog(u).items()} for u in users},
                         {u: {k: r["id"] for k, r in before[u].items()} for u in users})

        # One added, one deleted, one starred.
        box = self.mailbox(ALICE)["messages"]
        gone = box[0]["id"]
        starred = next(m["id"] for m in box if "STARRED" not in m.get("labelIds", []) and m["id"] != gone)
        new = self.add_message(ALICE, "Just arrived")
        self.drop_message(ALICE, gone)
        self.label(ALICE, starred, "STARRED")
        self.calls(clear=True)
        self.run_gmail()
        exports = [c["argv"] for c in self.calls("gam") if "export" in c["argv"]]
        self.assertEqual([a[a.index("ids") + 1] for a in exports], [new])
        after = self.catalog(ALICE)
        self.assertNotIn(gone, after)
        self.assertEqual(after[starred]["Starred"], 1)
        self.assertEqual(after[new]["sned_name"], '"Carol Added"')
        self.assertEqual(after[new]["send_mail"], "carol@else.test")
        self.assertEqual({k: r["drive_localid"] for k, r in after.items() if k != new},
                         {k: r["drive_localid"] for k, r in before[ALICE].items() if k != gone})
        self.assertMirrors(ALICE)
        # The mail list's order (newest row first) is the Gmail ids' order, not the batches'.
        by_row = sorted(after.values(), key=lambda r: r["id"])
        self.assertEqual([r["gmail_id"] for r in by_row], sorted(after))
        self.assertEqual(os.listdir(self.path("usr/local/tmp")), [])

    def test_smallest_mailbox_first_and_at_most_four_counts_at_once(self):
        for i in range(3):  # a fifth and sixth user, so four workers are not enough
            self.add_user("extra%d@example.test" % i)
        # A mailbox that cannot be counted goes last.
        self.fault("gam", "bob@example.test", "fail", "--match", "countsonly")
        r = subprocess.run([self.cgi_path, "-backup", str(uuid.uuid4()), self.task, *GMAIL_ONLY],
                           env=self.env(GWSSIM_COUNT_DELAY_MS="300"), capture_output=True, timeout=300)
        self.assertEqual(r.returncode, 0, r.stderr)
        listings = [c["argv"][3] for c in self.calls("lettrix") if "--query" not in c["argv"]]
        sizes = {u: len(self.mailbox(u)["messages"]) for u in listings}
        self.assertEqual(listings[-1], "bob@example.test")
        self.assertEqual(listings[:-1], sorted(listings[:-1], key=lambda u: sizes[u]))
        self.assertEqual(len(listings), len(set(listings)))
        self.assertMirrors("bob@example.test")
        self.assertIn(("Fail to count Gmail emails for bob@example.test.", "FAIL", "warn"),
                      [(r["sql_name"], r["sql_status"], r["sql_type"]) for r in self.log_rows()])
        counts = [c for c in self.calls("gam") if "countsonly" in c["argv"]]
        self.assertEqual(len(counts), 2 * len(listings))
        self.assertEqual(max_overlap(counts), 4)


class GmailFaults(GmailCase):
    """The stand-ins' faults; after each run every message has one row and one file, or none."""

    def assertAllMirrored(self):
        for user in os.listdir(self.sim("users")):
            if os.path.exists(self.sim("users", user, "mail.json")):
                self.assertMirrors(user)

    def test_export_retries_and_lost_connections_end_with_every_message_once(self):
        cases = [
            # (fault arguments, what the run's log must show)
            (("gam", "export messages", "fail", "--times", "2"), None),
            (("gam", "export messages", "empty", "--times", "3"), None),
            (("gam", "export messages", "conn", "--skip", "3", "--times", "1"),
             "Error occurred while backing up all accounts in domain %s: Gmail backup fail.." % test_backup.ADMIN),
            (("lettrix", ALICE, "conn_after", "--times", "1", "--exit", "0"),
             "Error occurred while backing up all accounts in domain %s: Gmail backup fail.." % test_backup.ADMIN),
        ]
        for args, row in cases:
            with self.subTest(fault=args):
                self.setUp()
                before = len(self.log_rows())
                self.fault(*args)
                record = self.run_gmail()
                self.assertEqual(record["backup_status"], "finish", self.messages())
                self.assertAllMirrored()
                rows = [r["sql_name"] for r in self.log_rows()[before:]]
                if row:
                    self.assertIn(row, rows)
                self.assertFalse([r for r in rows if "fail=" in r and "fail=0" not in r], rows)

    def test_a_message_failing_five_exports_is_left_out_and_fetched_next_time(self):
        victim = self.alice_ids()[2]
        self.fault("gam", victim, "fail", "--times", "5")
        self.run_gmail()
        rows = self.catalog(ALICE)
        self.assertNotIn(victim, rows)
        self.assertEqual(set(rows), set(self.alice_ids()) - {victim})
        self.assertEqual(sorted(r["drive_localid"] for r in rows.values()), self.store(ALICE))
        [summary] = [r for r in self.summaries() if ("user=%s " % ALICE) in r["sql_name"]]
        n = len(self.alice_ids())
        self.assertEqual((summary["sql_name"], summary["sql_status"]),
                         ("Gmail backup summary. user=%s total=%d success=%d fail=1" % (ALICE, n, n - 1), "FAIL"))
        self.run_gmail()
        self.assertMirrors(ALICE)

    def test_an_empty_stored_file_is_saved_again_and_the_empty_one_goes(self):
        self.run_gmail()
        mid = self.alice_ids()[1]
        old = self.catalog(ALICE)[mid]["drive_localid"]
        open(self.gws("backup/gmail", self.task, ALICE, old), "w").close()
        self.calls(clear=True)
        self.run_gmail()
        exports = [c["argv"] for c in self.calls("gam") if "export" in c["argv"]]
        self.assertEqual([a[a.index("ids") + 1] for a in exports], [mid])
        self.assertNotEqual(self.catalog(ALICE)[mid]["drive_localid"], old)
        self.assertNotIn(old, self.store(ALICE))
        self.assertMirrors(ALICE)

    def test_failed_label_queries_and_listings_change_nothing(self):
        self.run_gmail()
        ids = self.alice_ids()
        first = self.catalog(ALICE)
        was = next(i for i in ids if first[i]["Starred"] == 1)
        now = next(i for i in ids if first[i]["Starred"] == 0 and first[i]["Important"] == 0)
        self.label(ALICE, was, "STARRED", on=False)
        self.label(ALICE, now, "STARRED")
        self.label(ALICE, now, "IMPORTANT")
        self.fault("lettrix", "is:starred", "fail")
        self.run_gmail()
        rows = self.catalog(ALICE)
        self.assertEqual((rows[was]["Starred"], rows[now]["Starred"]), (1, 0))  # as the catalog had them
        self.assertEqual(rows[now]["Important"], 1)  # the other queries went through
        self.clear_faults()

        # A listing that fails deletes nothing; the account gets its FAIL row, the others go on.
        self.drop_message(ALICE, ids[0])
        self.fault("lettrix", ALICE, "fail", "--times", "1")
        before = len(self.log_rows())
        record = self.run_gmail()
        self.assertEqual(record["backup_status"], "finish")
        self.assertIn(ids[0], self.catalog(ALICE))
        self.assertIn(self.catalog(ALICE)[ids[0]]["drive_localid"], self.store(ALICE))
        rows = self.log_rows()[before:]
        self.assertIn("Failed to retrieve Gmail message list for user account %s." % ALICE,
                      [r["sql_name"] for r in rows if r["sql_status"] == "FAIL"])
        self.assertEqual(len([r for r in rows if r["sql_name"].startswith("Gmail backup summary.")]),
                         len(self.sim_users()) - 1)
        self.clear_faults()
        self.run_gmail()
        self.assertMirrors(ALICE)


class GmailListingGuards(GmailCase):
    """A message listing is trusted only whole, and most of a mailbox goes only when a second
    listing agrees."""

    def test_a_mailbox_mostly_emptied_in_gmail_is_listed_twice_before_its_backup_shrinks(self):
        # The domain is the class's: the other tests find alice's mailbox as it was.
        self.addCleanup(self.save_mailbox, ALICE, self.mailbox(ALICE))
        for n in range(10):
            self.add_message(ALICE, "Filler %d" % n)
        self.run_gmail()
        ids = self.alice_ids()
        gone = ids[:len(ids) // 2 + 6]  # more than half, and more than 10
        box = self.mailbox(ALICE)
        box["messages"] = [m for m in box["messages"] if m["id"] not in gone]
        self.save_mailbox(ALICE, box)
        self.calls(clear=True)
        before = len(self.log_rows())
        self.assertEqual(self.run_gmail()["backup_status"], "finish")
        listings = [c for c in self.calls("lettrix")
                    if ALICE in c["argv"] and "--query" not in c["argv"]]
        self.assertEqual(len(listings), 2)  # the second one agreed: the messages went
        self.assertMirrors(ALICE)
        self.assertEqual([r["sql_name"] for r in self.log_rows()[before:] if r["sql_status"] == "FAIL"], [])

    def test_a_message_listing_cut_short_deletes_nothing_and_says_why(self):
        self.run_gmail()
        first = self.catalog(ALICE)
        files = self.store(ALICE)
        self.fault("lettrix", ALICE, "truncate")
        before = len(self.log_rows())
        self.assertEqual(self.run_gmail()["backup_status"], "finish")
        self.assertEqual(self.catalog(ALICE), first)
        self.assertEqual(self.store(ALICE), files)
        fails = [r["sql_name"] for r in self.log_rows()[before:] if r["sql_status"] == "FAIL"]
        self.assertIn("Gmail message listing of %s is incomplete: the last row is cut short." % ALICE, fails)
        self.clear_faults()


class GmailCatalogFaults(GmailCase):
    """A catalog that cannot be written or is damaged: the log says so and nothing piles up."""

    def catalog_path(self, user):
        return self.gws("backup/gmail_db", self.task, user + ".db")

    def summary_of(self, user, before):
        [row] = [r for r in self.log_rows()[before:]
                 if r["sql_name"].startswith("Gmail backup summary. user=%s " % user)]
        return row["sql_name"], row["sql_status"]

    def test_a_catalog_that_cannot_be_written_is_a_failure_and_the_messages_come_again(self):
        self.run_gmail()
        gone = self.mailbox(ALICE)["messages"][0]["id"]
        self.drop_message(ALICE, gone)
        added = [self.add_message(ALICE, "While the catalog was busy %d" % i) for i in range(3)]
        n = len(self.mailbox(ALICE)["messages"])
        holder = sqlite3.connect(self.catalog_path(ALICE), timeout=0, isolation_level=None)
        holder.execute("BEGIN IMMEDIATE")  # another writer keeps the catalog for the whole pass
        try:
            before = len(self.log_rows())
            record = self.run_gmail()
        finally:
            holder.execute("ROLLBACK")
            holder.close()
        self.assertEqual(record["backup_status"], "finish", self.messages())
        self.assertEqual(self.summary_of(ALICE, before),
                         ("Gmail backup summary. user=%s total=%d success=%d fail=0 uncatalogued=3"
                          % (ALICE, n, n - 3), "FAIL"))
        # No file without its row: the three are not in the store either; no row without its file:
        # the message deleted in Gmail keeps both until its row can go.
        rows = self.catalog(ALICE)
        self.assertFalse(set(added) & set(rows))
        self.assertIn(gone, rows)
        self.assertEqual(sorted(r["drive_localid"] for r in rows.values()), self.store(ALICE))
        # The next run fetches them, once each.
        self.calls(clear=True)
        before = len(self.log_rows())
        self.run_gmail()
        exports = [c["argv"] for c in self.calls("gam") if "export" in c["argv"]]
        self.assertEqual(sorted(a[a.index("ids") + 1] for a in exports), sorted(added))
        self.assertEqual(self.summary_of(ALICE, before),
                         ("Gmail backup summary. user=%s total=%d success=%d fail=0" % (ALICE, n, n), "SUCCESS"))
        self.assertNotIn(gone, self.catalog(ALICE))
        self.assertMirrors(ALICE)

    def test_a_damaged_catalog_is_kept_aside_and_the_mailbox_saved_once_into_a_fresh_one(self):
        def garbage(data):
            return b"this is no catalog\n" * 64

        def header_zeroed(data):
            return b"\0" * 100 + data[100:]

        for damage in (garbage, header_zeroed):
            with self.subTest(damage=damage.__name__):
                self.setUp()
                self.run_gmail()
                n = len(self.mailbox(ALICE)["messages"])
                path = self.catalog_path(ALICE)
                with open(path, "rb") as f:
                    broken = damage(f.read())
                with open(path, "wb") as f:
                    f.write(broken)
                self.calls(clear=True)
                before = len(self.log_rows())
                record = self.run_gmail()
                self.assertEqual(record["backup_status"], "finish", self.messages())
                folder = os.path.dirname(path)
                [aside] = [x for x in os.listdir(folder) if re.fullmatch(re.escape(ALICE) + r"\.db\.unreadable-\d{8}_\d{6}", x)]
                kept = sorted(x for x in os.listdir(folder) if ".unreadable-" in x)
                with open(os.path.join(folder, aside), "rb") as f:
                    self.assertEqual(f.read(), broken)
                rows = [r for r in self.log_rows()[before:] if r["sql_status"] == "FAIL"]
                self.assertTrue([r for r in rows if ALICE in r["sql_name"] and path in r["sql_name"]
                                 and aside in r["sql_name"]], [r["sql_name"] for r in rows])
                # Every message saved once into the fresh catalog; the old files are gone already.
                exports = [c["argv"] for c in self.calls("gam") if "export" in c["argv"] and ALICE in c["argv"]]
                self.assertEqual(len(exports), n)
                self.assertMirrors(ALICE)
                reply = self.request({"act": "gmail_list", "task_id": self.task, "domain_user_email": ALICE})
                self.assertEqual(reply["list"][0]["amount"], n, reply)
                # The next run finds the catalog whole: nothing saved, nothing moved.
                self.calls(clear=True)
                self.run_gmail()
                self.assertEqual([c for c in self.calls("gam") if "export" in c["argv"]], [])
                self.assertEqual(sorted(x for x in os.listdir(folder) if ".unreadable-" in x), kept)
                self.assertMirrors(ALICE)


class GmailResume(GmailCase):
    """A mailbox of more than one batch, so the running record holds a resume point."""

    @classmethod
    def setUpClass(cls):
        cls.root = qlmtest.stage_root({"GWSSIM_INIT_ARGS": "--users 1 --messages 540"})
        cls.sid = cls.nasctl("login", "admin", "admin").strip()

    def test_a_killed_worker_leaves_a_resume_point_and_the_next_run_ends_with_every_message_once(self):
        admin = test_backup.ADMIN
        mission = str(uuid.uuid4())
        self.fault("gam", "export messages", "hang", "--skip", "510", "--times", "1")
        worker = subprocess.Popen([self.cgi_path, "-backup", mission, self.task, *GMAIL_ONLY], env=self.env(),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.workers = [worker.pid]
        deadline = time.monotonic() + 240
        hung = []
        while not hung and time.monotonic() < deadline:
            hung = [c for c in self.calls("gam") if c.get("rule", -1) >= 0]
            time.sleep(0.1)
        self.assertTrue(hung, "the export never hung")
        os.kill(worker.pid, signal.SIGKILL)
        worker.wait()
        os.killpg(hung[0]["pgid"], signal.SIGKILL)

        # The first batch is in the catalog and the record points after it; the files of the rows
        # not yet appended are in the store without rows.
        with open(self.gws("conf/mission", mission)) as f:
            left = json.load(f)
        self.assertEqual((left["gmail_last_user"], left["gmail_last_index"]), (admin, 500))
        self.assertEqual(len(self.catalog(admin)), 500)
        self.assertGreater(len(self.store(admin)), 500)

        # New mail lists first and shifts the listing into the part the record skips.
        new = self.add_message(admin, "Arrived while the worker was down")
        self.clear_faults()
        self.calls(clear=True)
        # The resume point stays in the running record through the driver's rewrite after the
        # pre-counts, until the Gmail service has read it (its own counts run slowly here).
        rerun = subprocess.Popen([self.cgi_path, "-backup", mission, self.task, *GMAIL_ONLY],
                                 env=self.env(GWSSIM_COUNT_DELAY_MS="1500"), stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        self.workers = [rerun.pid]
        seen = None
        deadline = time.monotonic() + 120
        while seen is None and rerun.poll() is None and time.monotonic() < deadline:
            try:
                with open(self.gws("conf/mission", mission)) as f:
                    running = json.load(f)
            except (FileNotFoundError, json.JSONDecodeError):
                running = {}
            if "gmail_total" in running and running.get("start_time") != left["start_time"]:
                seen = (running.get("gmail_last_user"), running.get("gmail_last_index"))
            time.sleep(0.05)
        rerun.wait(timeout=300)
        self.assertEqual(seen, (admin, 500))
        record = sorted(self.history(), key=lambda rec: rec["end_time"])[-1]
        self.assertNotIn("gmail_last_user", record)
        self.assertEqual(record["backup_status"], "finish", self.messages())
        exported = [c["argv"][c["argv"].index("ids") + 1] for c in self.calls("gam") if "export" in c["argv"]]
        self.assertIn(new, exported)
        self.assertEqual(len(exported), len(set(exported)))
        self.assertEqual(len(exported), 540 + 1 - 500)
        self.assertMirrors(admin)


if __name__ == "__main__":
    unittest.main()
