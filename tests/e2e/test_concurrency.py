"""Work that runs at the same time under one root: backups of two domains at once (started by
requests and by the scheduler daemon), two backups of one task, a backup beside a restore of the
same task (Drive, Gmail, Calendar and Contacts), exports to a NAS share beside backups, and browse
and download requests while a backup writes. Every run must end with the content a run alone gives,
and no run may use another's GAM configuration, lock, temporary file, marker or progress record.

The second domain is a state folder of its own beside the first (var/lib/gwssim/domains/<name>);
the tools pick the domain by the key they are given, as Google does."""

import collections
import hashlib
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import uuid

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_calcontact_restore  # noqa: E402
import test_daemon  # noqa: E402
import test_drive_exports  # noqa: E402
import test_gmail_restore  # noqa: E402
import test_restore  # noqa: E402
import test_tasks  # noqa: E402

ADMIN_A = test_tasks.ADMIN
SECOND = "second.test"
ADMIN_B = "admin@" + SECOND
ALL_SERVICES = {"drive_enable": "1", "shared_drive_enable": "1", "gmail_enable": "1", "calendar_enable": "1",
                "contact_enable": "1"}
SERVICE_NAMES = ("drive", "shared_drive", "gmail", "calendar", "contact")
UUID_RE = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")
# Catalog columns that differ between two runs of the same content: times, local ids and indexes.
VOLATILE = re.compile(r"^id$|time|index|localid|uuid|timestamp|structure", re.I)
ROUNDS = 3


def at_once(*calls):
    """Runs the calls on threads released together; their results in order."""
    results = [None] * len(calls)
    gate = threading.Barrier(len(calls))

    def run(i, call):
        gate.wait()
        results[i] = call()
    threads = [threading.Thread(target=run, args=(i, c)) for i, c in enumerate(calls)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


class GamWatch(threading.Thread):
    """Samples the per-process GAM folders while runs go on: pid -> the set of domains its gam.cfg
    named. A folder whose configuration changes domain was written by two runs."""

    def __init__(self, root):
        super().__init__(daemon=True)
        self.parent = os.path.join(root, "root")
        self.seen = {}
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            for name in os.listdir(self.parent) if os.path.isdir(self.parent) else []:
                m = re.fullmatch(r"\.gam\.(\d+)", name)
                if not m:
                    continue
                try:
                    with open(os.path.join(self.parent, name, "gam.cfg")) as f:
                        text = f.read()
                except OSError:
                    continue
                dm = re.search(r"^domain = (\S+)$", text, re.M)
                if dm:
                    self.seen.setdefault(int(m.group(1)), set()).add(dm.group(1))
            time.sleep(0.002)

    def stop(self):
        self.done.set()
        self.join()
        return self.seen


class ConcurrencyCase(test_tasks.TaskCase):
    """A root with the demo domain and a second domain, a task of each, and what a backup of each
    holds when it runs alone."""

    @classmethod
    def env(cls, **extra):
        return super().env(**dict({"QLM_SLEEP_SCALE": "0"}, **extra))

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        second = cls.path("var/lib/gwssim/domains", SECOND)
        gwssim = cls.path("usr/local/bin/gwssim")
        subprocess.run([gwssim, "init", second, "--domain", SECOND, "--seed", "7", "--shared-drives", "3"],
                       env=cls.env(), check=True)
        key_b = subprocess.run([gwssim, "key", second, "--grant", "drive,gmail,calendar,contacts"], env=cls.env(),
                               check=True, capture_output=True).stdout
        helper = cls()
        cls.task_a = helper.new_task(ADMIN_A)
        reply = helper.upload(key_b, admin=ADMIN_B)
        cls.task_b = helper.add(reply["auth_id"], ADMIN_B)["task_id"]
        cls.domain_of = {cls.task_a: "example.test", cls.task_b: SECOND}
        cls.reference = {}
        for task in (cls.task_a, cls.task_b):
            r = subprocess.run([helper.cgi_path, "-backup", str(uuid.uuid4()), task, "1", "1", "1", "1", "1"],
                               env=cls.env(), capture_output=True, timeout=300)
            assert r.returncode == 0, r.stderr
            cls.reference[task] = helper.fingerprint(task)
        shutil.rmtree(cls.path(test_tasks.GWS, "conf/mission"), ignore_errors=True)

    def setUp(self):
        self.clear_faults()
        self.first_row = max([r["ID"] for r in self.log_rows()], default=0)
        shutil.rmtree(self.gws("conf/mission"), ignore_errors=True)
        os.makedirs(self.gws("conf/mission/history_mission"))

    # -- what a task's backup holds ------------------------------------------------------------------

    def fingerprint(self, task):
        """Every catalog row (without times, local ids and indexes) and the checksum of every stored
        file of the task, by service and account; a shared drive's uuid is replaced by its Google id."""
        base = self.gws("backup")
        mapping = {}
        map_db = os.path.join(base, "shared_drive_map_db", task, task + "_mapping.db")
        if os.path.exists(map_db):
            with sqlite3.connect("file:%s?mode=ro" % map_db, uri=True) as db:
                mapping = dict(db.execute("SELECT shared_drive_uuid, shared_drive_id FROM "
                                          "shared_drive_mapping_uuid_table"))
        out = {}
        for service in sorted(os.listdir(base)):
            folder = os.path.join(base, service, task)
            for dirpath, _, files in os.walk(folder):
                for name in files:
                    path = os.path.join(dirpath, name)
                    rel = os.path.relpath(path, folder)
                    if rel.endswith(("_lck", "-wal", "-shm", "-journal")) or rel.endswith(".cache") or ".summaries" in rel:
                        continue  # locks, SQLite's own files and the browse's page and summary caches
                    parts = rel.split(os.sep)
                    account = mapping.get(parts[0].rsplit(".db", 1)[0], parts[0].rsplit(".db", 1)[0])
                    if service == "shared_drive_map_db":
                        account = "map"
                    entry = out.setdefault((service, account), [])
                    if name.endswith(".db"):
                        entry.extend(self.catalog_rows(path))
                    else:
                        with open(path, "rb") as f:
                            entry.append(("file", UUID_RE.sub("U", "/".join(parts[1:-1])),
                                          hashlib.md5(f.read()).hexdigest()))
        return {k: sorted(v) for k, v in out.items()}

    @staticmethod
    def catalog_rows(path):
        rows = []
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
            for (table,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE "
                                       "'sqlite%'").fetchall():
                cur = db.execute('SELECT * FROM "%s"' % table)
                keep = [i for i, d in enumerate(cur.description) if not VOLATILE.search(d[0])]
                rows.extend((table,) + tuple(str(r[i]) for i in keep) for r in cur.fetchall())
            (check,) = db.execute("PRAGMA integrity_check").fetchone()
            assert check == "ok", (path, check)
        return rows

    def wipe(self, task):
        """Forgets everything the task's backups stored, so the next run writes it all again."""
        base = self.gws("backup")
        for service in os.listdir(base):
            shutil.rmtree(os.path.join(base, service, task), ignore_errors=True)
        cache = self.gws("backup/domain_user_and_shared_dirve_db", task)
        shutil.rmtree(cache, ignore_errors=True)

    def assertSameBackup(self, task):
        got, want = self.fingerprint(task), self.reference[task]
        self.assertEqual(sorted(got), sorted(want))
        for key in want:
            self.assertEqual(got[key], want[key], key)
        other = SECOND if self.domain_of[task] != SECOND else "example.test"
        self.assertNotIn("@" + other, repr(got), "a backup holds the other domain's items")

    # -- runs ------------------------------------------------------------------------------------

    def backup(self, task, **services):
        return self.request(dict({"act": "backup", "task_id": task}, **(services or ALL_SERVICES)))

    def history(self):
        folder = self.gws("conf/mission/history_mission")
        out = []
        for name in os.listdir(folder):
            with open(os.path.join(folder, name)) as f:
                out.append(json.load(f))
        return out

    def running(self):
        folder = self.gws("conf/mission")
        return [n for n in os.listdir(folder) if os.path.isfile(os.path.join(folder, n))]

    def wait_history(self, count, deadline=120):
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            records = self.history()
            if len(records) >= count and not self.running():
                return records
            time.sleep(0.05)
        self.fail("%d of %d runs ended; log: %s" % (len(self.history()), count, self.messages()[-20:]))

    def messages(self):
        return [r["sql_name"] for r in self.log_rows() if r["ID"] > self.first_row]

    def failures(self):
        return [r["sql_name"] for r in self.log_rows() if r["ID"] > self.first_row and r["sql_status"] == "FAIL"]

    def assertNothingLeft(self):
        """No running record, tool file, plain key or GAM folder outlives the runs."""
        self.assertEqual(self.running(), [])
        end = time.monotonic() + 30
        while os.listdir(self.path("root")) and time.monotonic() < end:
            time.sleep(0.05)
        self.assertEqual(os.listdir(self.path("root")), [])
        self.assertEqual(os.listdir(self.path("usr/local/tmp")), [])
        self.assertEqual([n for n in os.listdir(self.gws("tmp")) if n.endswith("_de")], [])

    def assertOwnDomains(self, seen, records):
        """Every GAM folder seen belonged to one worker and named that worker's domain only."""
        pids = {r["process_pid"]: self.domain_of[r["task_id"]] for r in records if "process_pid" in r}
        for pid, domains in seen.items():
            if pid in pids:
                self.assertEqual(domains, {pids[pid]}, "GAM folder of worker %d" % pid)
            else:
                self.assertEqual(len(domains), 1, "GAM folder of process %d" % pid)


class MissionWatch(threading.Thread):
    """Polls mission_list and the export markers while runs go on: every reply must succeed, an
    export's progress never goes back (its shared-memory record is its own), and each marker names
    one worker for its whole life."""

    def __init__(self, case):
        super().__init__(daemon=True)
        self.case = case
        self.markers = case.gws("conf/mission/progress_mission")
        self.pids = {}       # mission -> set of pids its marker named
        self.progress = {}   # mission -> the total_progress values listed, in order
        self.bad = []
        self.polls = 0
        self.together = 0  # polls that listed an export beside a backup
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            for name in os.listdir(self.markers) if os.path.isdir(self.markers) else []:
                try:
                    with open(os.path.join(self.markers, name)) as f:
                        text = f.read()
                except OSError:
                    continue
                if text:
                    self.pids.setdefault(name, set()).add(text.strip())
            reply = self.case.request({"act": "mission_list"})
            self.polls += 1
            if reply.get("success") is not True:
                self.bad.append(reply)
                continue
            modes = {m.get("mode") for m in reply["mission_List"]}
            self.together += {"export", "backup"} <= modes
            for m in reply["mission_List"]:
                if m.get("mode") == "export":
                    self.progress.setdefault(m["mission_id"], []).append(m["total_progress"])

    def stop(self):
        self.done.set()
        self.join()
        return self


class BesideBackups(ConcurrencyCase):
    """Restores and exports of the demo domain's task started together with backups: of the same
    task, and of the second domain's. Restores write into bob's account, so bob's stored content
    is compared whole only where it cannot have changed."""

    TARGET = test_restore.BOB
    SOURCE = test_restore.ALICE
    events = classmethod(test_calcontact_restore.CalContactCase.events.__func__)
    contacts = classmethod(test_calcontact_restore.CalContactCase.contacts.__func__)
    catalog = test_calcontact_restore.CalContactCase.catalog
    backed_up_events = test_calcontact_restore.CalContactCase.backed_up_events
    backed_up_contacts = test_calcontact_restore.CalContactCase.backed_up_contacts
    mail = classmethod(test_gmail_restore.GmailRestoreCase.mail.__func__)
    local_ids = test_gmail_restore.GmailRestoreCase.local_ids
    read = test_gmail_restore.GmailRestoreCase.read
    stored = test_gmail_restore.GmailRestoreCase.stored
    restored_mail = test_gmail_restore.GmailRestoreCase.restored
    stamp = test_restore.RestoreCase.stamp

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.task = cls.task_a
        cls.clock = 1700000000
        cls.share = cls.path("shares", "Public")
        os.makedirs(cls.share)
        cls.nasctl("share", "add", "Public", cls.share)

    def setUp(self):
        super().setUp()
        type(self).clock += 3600  # a restore label and an export folder of this round's own

    def tearDown(self):
        # Every export is a folder of its own in the share, and nothing else is written there.
        for name in os.listdir(self.share):
            self.assertRegex(name, r"^Quillmere_Export_\d{8}_\d{6}(_\d+)?$")

    def slow_mail(self):
        """Each mail a backup reads takes a while, so the runs started with it meet it mid-way."""
        self.fault("gam", "export messages", "delay", "--ms", "100")

    def overlapped(self, prefix):
        """True when the run whose first row starts with prefix began while the demo domain's
        backup was still writing its rows."""
        rows = [r for r in self.log_rows() if r["ID"] > self.first_row and r["task_id"] == self.task_a]
        first = [r["ID"] for r in rows if r["sql_name"].startswith(prefix)]
        backup = [r["ID"] for r in rows if "restore" not in r["sql_name"].lower()
                  and not r["sql_name"].startswith("Exported ")]
        return bool(first and backup) and min(backup) < first[0] < max(backup)

    def clocked(self, query):
        return self.request(query, extra_env={"QLM_FIXED_TIME": str(self.clock)})

    def start_all(self, *calls, later=(), when=None):
        """Starts the calls together under the watches, and the later ones together once when()
        holds; (replies of all, history records, GAM folders, mission watch)."""
        gam = GamWatch(self.root)
        gam.start()
        missions = MissionWatch(self)
        missions.start()
        replies = at_once(*calls)
        if later:
            end = time.monotonic() + 60
            while not when() and time.monotonic() < end:
                time.sleep(0.01)
            self.assertTrue(when(), "the later runs' moment never came")
            replies += at_once(*later)
        calls = calls + tuple(later)
        for reply in replies:
            self.assertTrue(reply.get("success"), replies)
        records = self.wait_history(len(calls))
        missions.stop()
        seen = gam.stop()
        self.assertEqual(missions.bad, [])
        self.assertGreater(missions.polls, 0)
        self.assertOwnDomains(seen, records)
        for mission, pids in missions.pids.items():
            self.assertEqual(len(pids), 1, "marker of %s" % mission)
        for mission, values in missions.progress.items():
            self.assertEqual(values, sorted(values), "progress of %s" % mission)
            self.assertTrue(all(0 <= v <= 100 for v in values), values)
        return replies, records, seen, missions

    def assertBackupsWhole(self, records, tasks):
        """The backups finished with the content a run alone gives; bob's, whom restores write
        into, with every catalog readable and every stored mail whole and in his mailbox."""
        backups = sorted(r["task_id"] for r in records if r.get("mode") == "backup")
        self.assertEqual(backups, sorted(tasks))
        self.assertEqual([r["backup_status"] for r in records if r.get("mode") == "backup"], ["finish"] * len(tasks),
                         self.messages()[-20:])
        for task in tasks:
            got, want = self.fingerprint(task), self.reference[task]
            for key in set(got) | set(want):
                if task == self.task_a and key[1] == self.TARGET:
                    continue
                self.assertEqual(got.get(key), want.get(key), key)
        mailbox = {(md5, size) for u, md5, size, _ in self.mail() if u == self.TARGET}
        ids = set(self.local_ids(self.TARGET))
        store = self.gws("backup/gmail", self.task_a, self.TARGET)
        files = {n for n in os.listdir(store) if not n.endswith("_lck")}
        self.assertEqual(files, ids, "every stored mail of bob has its row, and every row its mail")
        self.assertLessEqual(set(self.stored(self.TARGET, inserted=False)), mailbox)  # the backup's bytes as Google has them

    def test_a_gmail_restore_beside_a_backup_of_its_task_and_one_of_the_other_domain(self):
        outcomes = collections.Counter()
        for rnd in range(2):
            with self.subTest(round=rnd):
                self.setUp()
                self.slow_mail()
                want = self.stored(self.SOURCE)
                self.assertGreater(sum(want.values()), 3)
                restore = lambda: self.clocked(dict({"act": "restore", "task_id": self.task_a,
                                                     "domain_user_email": self.SOURCE, "target_account": self.TARGET,
                                                     "localid_list": "ALL"}, **test_gmail_restore.GMAIL_ONLY))
                backups = (lambda: self.backup(self.task_a), lambda: self.backup(self.task_b))
                if rnd == 0:
                    replies, records, seen, _ = self.start_all(restore, *backups)
                else:
                    # The backup writes alice's mailbox anew; the restore asks for it once that began.
                    store = self.gws("backup/gmail", self.task_a, self.SOURCE)
                    shutil.rmtree(store)
                    os.unlink(self.gws("backup/gmail_db", self.task_a, self.SOURCE + ".db"))
                    replies, records, seen, _ = self.start_all(
                        *backups, later=(restore,), when=lambda: os.path.isdir(store) and len(os.listdir(store)) >= 2)
                [restore] = [r for r in records if r.get("mode") == "restore"]
                got = self.restored_mail(self.TARGET)
                skipped = [m for m in self.messages()
                           if m.startswith("Skipped Gmail restore of an account whose backup is in use")]
                if restore["backup_status"] == "finish" and not skipped:
                    self.assertEqual(got, want, "every message once")
                    outcomes["restored"] += 1
                else:
                    # The system's own word for a restore that could not take the account.
                    self.assertTrue(skipped, (restore, self.messages()[-20:]))
                    self.assertFalse(got - want)
                    self.assertEqual(max(got.values(), default=1), 1)
                    outcomes["skipped"] += 1
                outcomes["overlapped"] += self.overlapped("Start Gmail restore process")
                self.assertBackupsWhole(records, [self.task_a, self.task_b])
                self.assertNothingLeft()
        print("gmail restore beside backups: %s, %d GAM folders" % (dict(outcomes), len(seen)), file=sys.stderr)

    def test_a_calendar_and_a_contacts_restore_of_one_task_beside_its_backup(self):
        overlapped = 0
        for rnd in range(2):
            with self.subTest(round=rnd):
                self.setUp()
                self.slow_mail()
                before = (self.events(self.TARGET), self.contacts(self.TARGET))
                want = (self.backed_up_events(self.SOURCE), self.backed_up_contacts(self.SOURCE))
                self.assertTrue(all(sum(w.values()) > 0 for w in want), want)
                query = {"act": "restore", "task_id": self.task_a, "domain_user_email": self.SOURCE,
                         "target_account": self.TARGET, "localid_list": "ALL"}
                replies, records, seen, _ = self.start_all(
                    lambda: self.clocked(dict(query, **test_calcontact_restore.CALENDAR)),
                    lambda: self.clocked(dict(query, **test_calcontact_restore.CONTACTS)),
                    lambda: self.backup(self.task_a))
                restores = [r for r in records if r.get("mode") == "restore"]
                self.assertEqual([r["backup_status"] for r in restores], ["finish", "finish"], self.messages()[-20:])
                after = (self.events(self.TARGET), self.contacts(self.TARGET))
                for old, new, expected in zip(before, after, want):
                    self.assertFalse(old - new, "something of bob went")
                    self.assertEqual(new - old, expected)
                self.assertBackupsWhole(records, [self.task_a])
                self.assertNothingLeft()
                overlapped += self.overlapped("Start Calendar restore") + self.overlapped("Start Contact")
        print("calendar and contacts restores beside a backup: %d of 4 began during it" % overlapped,
              file=sys.stderr)

    def exported_mails(self, folder):
        """The mails of an export folder: {name without its counter: sorted contents}."""
        out = collections.defaultdict(list)
        for name in os.listdir(folder):
            if name.endswith(".eml"):
                with open(os.path.join(folder, name), "rb") as f:
                    out[test_drive_exports.uncounted(name)].append(f.read())
        return {k: sorted(v) for k, v in out.items()}

    def export(self, act, task, user, **params):
        return self.clocked(dict({"act": act, "task_id": task, "nas_path": "/Public", "domain_user_email": user},
                                 **params))

    def test_exports_of_two_domains_into_one_share_beside_backups_of_the_same_accounts(self):
        other = sorted(n[:-3] for n in os.listdir(self.gws("backup/drive_db", self.task_b)) if n.endswith(".db"))[0]
        gmail = lambda: self.export("export_gmail_to_nas", self.task_a, self.SOURCE, gmail_localid="ALL")
        drive = lambda: self.export("export_drive_to_nas", self.task_b, other, index="ALL")
        # What each export gives alone.
        alone = self.start_all(gmail, drive)[0]
        self.assertNotEqual(alone[0]["path"], alone[1]["path"])  # one second, yet a folder each
        want_mails = self.exported_mails(alone[0]["path"])
        [top] = os.listdir(alone[1]["path"])
        want_drive = test_drive_exports.files_below(os.path.join(alone[1]["path"], top))
        self.assertTrue(want_mails and want_drive)
        stored = {self.read(self.SOURCE, i) for i in self.local_ids(self.SOURCE)}
        self.assertEqual({m for v in want_mails.values() for m in v}, stored)
        counts = collections.Counter()
        for rnd in range(2):
            with self.subTest(round=rnd):
                self.setUp()
                self.slow_mail()
                backups = (lambda: self.backup(self.task_a), lambda: self.backup(self.task_b))
                if rnd == 0:
                    replies, records, seen, missions = self.start_all(gmail, drive, *backups)
                    replies = replies[:2]
                else:
                    # The backup writes alice's mailbox anew; the exports start once it has begun.
                    store = self.gws("backup/gmail", self.task_a, self.SOURCE)
                    shutil.rmtree(store)
                    os.unlink(self.gws("backup/gmail_db", self.task_a, self.SOURCE + ".db"))
                    replies, records, seen, missions = self.start_all(
                        *backups, later=(gmail, drive),
                        when=lambda: os.path.isdir(store) and len(os.listdir(store)) >= 2)
                    replies = replies[2:]
                exports = {r["service"][0]: r for r in records if r.get("mode") == "export"}
                self.assertEqual({k: r["backup_status"] for k, r in exports.items()},
                                 {"gmail": "finish", "drive": "finish"}, self.messages()[-20:])
                self.assertNotEqual(replies[1]["path"], replies[0]["path"])
                self.assertEqual(test_drive_exports.files_below(os.path.join(replies[1]["path"], top)), want_drive)
                got = self.exported_mails(replies[0]["path"])
                if rnd == 0:
                    self.assertEqual(got, want_mails)
                else:
                    # Each mail whole and under the name its row gives, none twice.
                    for name, mails in got.items():
                        self.assertIn(name, want_mails)
                        self.assertLessEqual(collections.Counter(mails), collections.Counter(want_mails[name]))
                counts["mails round %d" % rnd] += sum(len(v) for v in got.values())
                counts["listed beside a backup"] += missions.together
                counts["progress samples"] += sum(len(v) for v in missions.progress.values())
                counts["mission lists"] += missions.polls
                self.assertBackupsWhole(records, [self.task_a, self.task_b])
                self.assertNothingLeft()
                for reply in replies[:2]:
                    self.assertFalse(os.path.exists(self.gws("conf/mission/progress_mission", reply["mission_id"])))
                    self.assertFalse(os.path.exists("/dev/shm/" + reply["mission_id"]))
        print("exports beside backups: %s" % dict(counts), file=sys.stderr)


class TwoDomains(ConcurrencyCase):

    def test_backups_of_two_domains_started_together_each_hold_their_own_domain(self):
        folders = 0
        for rnd in range(ROUNDS):
            with self.subTest(round=rnd):
                self.setUp()
                for task in (self.task_a, self.task_b):
                    self.wipe(task)
                watch = GamWatch(self.root)
                watch.start()
                replies = at_once(lambda: self.backup(self.task_a), lambda: self.backup(self.task_b))
                for reply in replies:
                    self.assertEqual(list(reply), ["success", "mission_id"], reply)
                records = self.wait_history(2)
                seen = watch.stop()
                self.assertEqual(sorted((r["task_id"], r["backup_status"]) for r in records),
                                 sorted([(self.task_a, "finish"), (self.task_b, "finish")]), self.messages())
                self.assertEqual(self.failures(), [])
                self.assertOwnDomains(seen, records)
                folders += len(seen)
                for task in (self.task_a, self.task_b):
                    self.assertSameBackup(task)
                self.assertNothingLeft()
        print("two domains: %d rounds, %d GAM folders watched" % (ROUNDS, folders), file=sys.stderr)

    def test_every_tool_call_of_the_two_runs_was_accepted(self):
        """A clobbered GAM configuration or key copy shows as a refused call (GAM's 401 / 403)."""
        for task in (self.task_a, self.task_b):
            self.wipe(task)
        self.calls(clear=True)
        at_once(lambda: self.backup(self.task_a), lambda: self.backup(self.task_b))
        self.wait_history(2)
        calls = self.calls()
        self.assertGreater(len(calls), 20)
        refused = [(c["tool"], c["argv"], c.get("exit")) for c in calls if c.get("exit") not in (0, 60)]
        self.assertEqual(refused, [])


class SlowCountCase(ConcurrencyCase):
    """Mail counts page slowly, so a run holds its task's lock well past the moment the others
    started at the same time reach it."""

    @classmethod
    def env(cls, **extra):
        return super().env(**dict({"GWSSIM_COUNT_DELAY_MS": "100"}, **extra))


class SameTask(SlowCountCase):

    def test_two_backups_of_one_task_at_once_run_once_and_the_other_is_refused(self):
        for rnd in range(ROUNDS):
            with self.subTest(round=rnd):
                self.setUp()
                self.wipe(self.task_a)
                mission = str(uuid.uuid4())
                replies = at_once(
                    lambda: self.backup(self.task_a),
                    lambda: self.backup(self.task_a),
                    lambda: subprocess.run([self.cgi_path, "-backup", mission, self.task_a, "1", "1", "1", "1", "1"],
                                           env=self.env(), capture_output=True, timeout=300).returncode)
                self.assertEqual(replies[2], 0)
                started = [r for r in replies[:2] if "mission_id" in r]
                [record] = self.wait_history(1)
                self.assertEqual(record["backup_status"], "finish")
                skipped = [m for m in self.messages() if m.startswith("Skipped scheduled backup")]
                runs = [m for m in self.messages() if m.startswith("Started backup for all accounts")]
                self.assertEqual((len(runs), len(skipped)), (1, 2), self.messages())
                self.assertLessEqual(len(started), 1)
                self.assertEqual(len(self.history()), 1)
                self.assertSameBackup(self.task_a)
                self.assertNothingLeft()


class BrowseDuringBackup(SlowCountCase):
    """Requests that read the catalogs while a backup of the task rewrites them."""

    def queries(self):
        """(pages whose content the backup does not change, pages that show the run itself, downloads)."""
        alice = "alice@example.test"
        with sqlite3.connect(self.gws("backup/drive_db", self.task_a, alice + ".db")) as db:
            root, = db.execute("SELECT drive_index FROM drive_sql_database WHERE drive_depth = -1").fetchone()
            plan, = db.execute("SELECT drive_index FROM drive_sql_database WHERE drive_name = 'plan.txt'").fetchone()
        with sqlite3.connect(self.gws("backup/gmail_db", self.task_a, alice + ".db")) as db:
            mails = [r[0] for r in db.execute("SELECT drive_localid FROM gmail_sql_database WHERE drive_localid != '' "
                                              "ORDER BY id LIMIT 3")]
        map_db = self.gws("backup/shared_drive_map_db", self.task_a, self.task_a + "_mapping.db")
        with sqlite3.connect(map_db) as db:
            team, = db.execute("SELECT shared_drive_uuid FROM shared_drive_mapping_uuid_table WHERE "
                               "shared_drive_name = 'Team Drive'").fetchone()
        stable = [
            {"act": "list_drive_local_backup", "domain_user_email": alice, "start": 0, "limit": 1000, "index": root},
            {"act": "list_shared_drive_local_backup", "shared_drive_id": team, "start": 0, "limit": 1000, "index": 1},
            {"act": "gmail_list", "domain_user_email": alice},
            {"act": "list_gmail_local_backup", "domain_user_email": alice, "gmail_name": "INBOX", "start": 0,
             "limit": 50},
            {"act": "contact_list", "domain_user_email": alice},
            {"act": "calendar_list", "domain_user_email": alice},
            {"act": "drive_advanced_search", "domain_user_email": alice, "name_key_word": "a"},
            {"act": "list_local_domain"},
        ]
        live = [{"act": "mission_list"}, {"act": "history_mission_list"}, {"act": "list_log", "start": 0, "limit": 20}]
        downloads = [
            {"act": "export_drive", "browser": "curl", "domain_user_email": alice, "index": str(plan)},
            {"act": "export_drive", "browser": "curl", "domain_user_email": alice, "index": str(root)},
            {"act": "export_eml", "browser": "curl", "domain_user_email": alice, "gmail_localid": ",".join(mails)},
            {"act": "export_shared_drive", "browser": "curl", "shared_drive_id": team, "index": "ALL"},
        ]
        for q in stable + live + downloads:
            if q["act"] not in ("list_local_domain", "mission_list", "history_mission_list", "list_log"):
                q["task_id"] = self.task_a
        return stable, live, downloads

    def fetch(self, query):
        """A download's file bytes (a zip's member names and bytes), or its JSON refusal."""
        status, header, body = self.run_cgi(query, sid=self.sid)
        self.assertEqual(status, 0, body)
        if "Content-Disposition" not in header:
            return self.json_body(body)  # the refusal of a file that is not stored (yet)
        if body[:2] != b"PK":
            return body
        import io
        import zipfile
        with zipfile.ZipFile(io.BytesIO(body)) as z:
            # Several mails come in a folder named after the request's own temporary folder.
            return sorted((re.sub(r"^tnq_[0-9a-f-]{36}/", "", n), z.read(n)) for n in z.namelist())

    def page(self, query):
        """A page's reply with the local ids masked: a store written anew has new ones."""
        return json.loads(UUID_RE.sub("U", json.dumps(self.request(query))))

    def forget_accounts(self):
        """Drops the task's stored accounts (shared drives stay, under the uuids the queries name), so
        the next backup writes every account's catalog and files anew."""
        for service in ("drive", "drive_db", "gmail", "gmail_db", "contact", "contact_db", "group_contact_db",
                        "calendar", "calendar_db"):
            shutil.rmtree(self.gws("backup", service, self.task_a), ignore_errors=True)

    def test_pages_and_downloads_during_a_backup_show_before_or_after_or_say_busy(self):
        stable, live, downloads = self.queries()
        after = [self.page(q) for q in stable]
        for q, reply in zip(stable, after):
            self.assertTrue(reply["success"] and len(reply) > 1, (q, reply))
        after_files = [self.fetch(q) for q in downloads]
        counts = {"after": 0, "before": 0, "busy": 0, "partial search": 0, "live": 0, "downloads": 0}
        for rnd in range(ROUNDS):
            self.setUp()
            self.forget_accounts()
            before = [self.page(q) for q in stable]
            before_files = [self.fetch(q) for q in downloads]
            reply = self.backup(self.task_a)
            self.assertTrue(reply["success"], reply)
            while True:
                ended = not self.running() and self.history()
                for q, old, new in zip(stable, before, after):
                    got = self.page(q)
                    if got == {"success": True}:
                        counts["busy"] += 1  # the system's answer while a backup writes the account
                        continue
                    if q["act"].endswith("_advanced_search") and got not in (old, new):
                        # Searches take no lock: while an account is first written they show the
                        # rows stored so far, each of them whole.
                        self.assertEqual(got["total"], len(got["tree"]))
                        self.assertTrue(all(row in new["tree"] for row in got["tree"]), got)
                        counts["partial search"] += 1
                        continue
                    self.assertIn(got, (old, new), q["act"])
                    counts["after" if got == new else "before"] += 1
                for q in live:
                    self.assertTrue(self.request(q)["success"], q)
                    counts["live"] += 1
                for q, old, new in zip(downloads, before_files, after_files):
                    self.assertIn(self.fetch(q), (old, new), q["act"])
                    counts["downloads"] += 1
                if ended:
                    break
            [record] = self.wait_history(1)
            self.assertEqual(record["backup_status"], "finish", self.messages())
            self.assertEqual([self.page(q) for q in stable], after)
        print("requests during %d backups: %s" % (ROUNDS, counts), file=sys.stderr)
        self.assertSameBackup(self.task_a)
        self.assertNothingLeft()


class Schedules(SlowCountCase):
    """The scheduler daemon starting missions of both domains and two of one task in the same minute."""

    start_daemon = test_daemon.DaemonCase.start_daemon
    daemon_env = test_daemon.DaemonCase.daemon_env
    clock_env = test_daemon.DaemonCase.clock_env
    processes = test_daemon.DaemonCase.processes
    daemons = test_daemon.DaemonCase.daemons
    wait_for = test_daemon.DaemonCase.wait_for
    kill_quietly = staticmethod(test_daemon.DaemonCase.kill_quietly)

    @property
    def daemon_path(self):
        return self.path(qlmtest.APP, "bin", "qlm_deamon")

    @property
    def sched_dir(self):
        return self.gws("conf/mission/scheduling_mission")

    def setUp(self):
        super().setUp()
        self.offset = 0
        os.makedirs(self.sched_dir, mode=0o700, exist_ok=True)

    def tearDown(self):
        for pid in self.daemons():
            self.kill_quietly(os.kill, pid)

    def put_record(self, mission, task, at, name):
        hm = time.gmtime(at)
        record = {"service": list(SERVICE_NAMES), "mission_name": name, "backup_scheduling_enable": 1,
                  "task_id": task, "domain": ADMIN_A if task == self.task_a else ADMIN_B, "mode": "backup",
                  "start_time": int(time.time()), "backup_status": "scheduling", "total_amount": 0,
                  "backuped_amount": 0, "schedule_frequency": "once", "schedule_interval": None,
                  "schedule_year": str(hm.tm_year), "schedule_month": str(hm.tm_mon),
                  "schedule_day": json.dumps([str(hm.tm_mday)]), "schedule_week": "[]",
                  "schedule_hour": str(hm.tm_hour), "schedule_minute": str(hm.tm_min),
                  "schedule_hour_end": None, "schedule_minute_end": None, "backup_mode": "scheduling"}
        fd, tmp = tempfile.mkstemp(dir=self.gws("tmp"))
        with os.fdopen(fd, "w") as f:
            json.dump(record, f)
        os.rename(tmp, os.path.join(self.sched_dir, mission))

    def test_missions_due_in_the_same_minute_all_start_and_one_task_runs_once(self):
        for task in (self.task_a, self.task_b):
            self.wipe(task)
        target, self.offset = test_daemon.minute_ahead(3)
        names = {"A1": self.task_a, "A2": self.task_a, "B1": self.task_b}
        for name, task in names.items():
            self.put_record(str(uuid.uuid4()), task, target, name)
        watch = GamWatch(self.root)
        watch.start()
        self.assertEqual(self.start_daemon(), 0)
        # Two missions of the task A, one of B: one run of each task, the third is refused.
        self.wait_for(lambda: any("Skipped scheduled backup" in m for m in self.messages()) and
                      len(self.history()) >= 2 and not self.running(),
                      "the scheduled runs never ended", deadline=90)
        records = self.wait_history(2)
        seen = watch.stop()
        self.assertEqual(sorted((r["task_id"], r["backup_status"]) for r in records),
                         sorted([(self.task_a, "finish"), (self.task_b, "finish")]), self.messages())
        self.assertIn(sorted(r["mission_name"] for r in records), (["A1", "B1"], ["A2", "B1"]))
        self.assertEqual([m for m in self.messages() if m.startswith("Skipped scheduled backup")],
                         ["Skipped scheduled backup for account %s, reason: There is already a task in progress."
                          % ADMIN_A])
        self.assertEqual(self.failures(), [])
        self.assertOwnDomains(seen, records)
        for task in (self.task_a, self.task_b):
            self.assertSameBackup(task)
        self.assertNothingLeft()


class TwoAdds(test_tasks.TaskCase):
    """Requests that give a domain its one task, arriving together."""

    TAKEN = {"success": False, "error_code": 5044, "error_msg": "admin_email"}

    def test_two_adds_of_one_domain_at_once_make_one_task(self):
        for rnd in range(8):
            with self.subTest(round=rnd):
                self.drop_tasks()
                auths = [self.new_auth(), self.new_auth()]
                replies = at_once(*[lambda a=a: self.add(a, ADMIN_A) for a in auths])
                self.assertEqual(sorted(r["success"] for r in replies), [False, True], replies)
                self.assertIn(self.TAKEN, replies)
                tasks = [t for t in os.listdir(self.gws("conf")) if len(t) == 36]
                self.assertEqual(len(tasks), 1)
                # The refused key stays for a task that can take it.
                [refused] = [a for a, r in zip(auths, replies) if not r["success"]]
                self.assertTrue(os.path.exists(self.gws("tmp", refused + "_en")))

    def test_an_add_and_a_domain_edit_to_the_same_domain_at_once_leave_one_task_of_it(self):
        for rnd in range(8):
            with self.subTest(round=rnd):
                self.drop_tasks()
                other = self.new_task("admin@example2.test")
                auth = self.new_auth()
                replies = at_once(lambda: self.add(auth, ADMIN_A),
                                  lambda: self.request({"act": "edit_domain", "task_id": other,
                                                        "admin_email": ADMIN_A}))
                self.assertEqual(sorted(r["success"] for r in replies), [False, True], replies)
                domains = [self.task_conf(t)["admin_email"].split("@")[1]
                           for t in os.listdir(self.gws("conf")) if len(t) == 36]
                self.assertEqual(domains.count("example.test"), 1, domains)


class BackupBesideRestore(test_restore.RestoreCase):
    """A restore of the task's Drive and a new Drive backup of the same task, started together."""

    def test_a_restore_and_a_backup_of_one_task_both_end_with_their_content(self):
        alice, bob = test_restore.ALICE, test_restore.BOB
        want = self.backed_up(alice)
        catalog = self.gws("backup/drive_db", self.task, alice + ".db")
        before_ids = self.catalog_ids(catalog)
        for rnd in range(ROUNDS):
            with self.subTest(round=rnd):
                self.setUp()
                replies = at_once(
                    lambda: self.restore(domain_user_email=alice, target_account=bob, localid_list="ALL",
                                         **test_restore.DRIVE_ONLY),
                    lambda: self.request(dict({"act": "backup", "task_id": self.task}, **test_restore.DRIVE_ONLY)))
                self.assertEqual(list(replies[1]), ["success", "mission_id"], replies[1])
                records = self.wait_history(2)
                self.assertEqual(sorted(r["backup_status"] for r in records), ["finish", "finish"], self.messages())
                self.assertSameTree(self.restored(bob), want)
                # The restore wrote into bob's Drive only: alice's catalog holds what it held.
                self.assertEqual(self.catalog_ids(catalog), before_ids)
                self.assertNothingLeft()

    @staticmethod
    def catalog_ids(path):
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
            return sorted(db.execute("SELECT drive_id, drive_name, drive_md5Checksum FROM drive_sql_database"))


if __name__ == "__main__":
    unittest.main()
