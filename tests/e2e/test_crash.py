"""Crash consistency: backups, restores and exports killed with SIGKILL at chosen points (inside a download or
an upload, inside a catalog write, inside a record write, and at a sweep of delays across a run),
then the same work run again. Afterwards every catalog passes its integrity check, every stored file
has its row and its whole content, every item is stored (or restored) exactly once, and no mission
stays running."""

import collections
import hashlib
import json
import os
import signal
import sqlite3
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_backup  # noqa: E402
import test_calcontact_restore  # noqa: E402
import test_exports  # noqa: E402
import test_gmail_restore  # noqa: E402
import test_restore  # noqa: E402
import test_tasks  # noqa: E402

alive = test_backup.alive

NO_SERVICE = test_backup.NO_SERVICE
ALL_SERVICES = {k: "1" for k in NO_SERVICE}
ALL_SERVICES_NAMES = [k[:-len("_enable")] for k in NO_SERVICE]
BACKUP = os.path.join(test_tasks.GWS, "backup")
FOLDER = "application/vnd.google-apps.folder"


def md5_of(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


def spread(count, points):
    """points call numbers spread evenly over a run of count calls, first and last included."""
    return sorted({round(i * (count - 1) / (points - 1)) for i in range(points)})


def read_rows(path, sql):
    """Rows of a catalog, read only; the integrity check has run before."""
    with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
        return db.execute(sql).fetchall()


class Killing:
    """Killing a worker at a point seen from outside, as a power cut would."""

    def descendants(self, pid):
        """Every live process below pid or in its process group (tools run in groups of their own)."""
        table = test_backup.proc_table()
        out, frontier = set(), [pid]
        while frontier:
            parent = frontier.pop()
            for p, (state, ppid, pgrp, cmd) in table.items():
                if (ppid == parent or pgrp == pid) and p not in out and state != "Z":
                    out.add(p)
                    frontier.append(p)
        return out

    def crash(self, worker):
        """SIGKILL to the worker and every process it started, as a power cut would: nothing of it
        runs a handler. Returns once all of them are gone."""
        victims = self.descendants(worker) | {worker}
        for p in victims:  # frozen first, so none of them starts a new one in between
            try:
                os.kill(p, signal.SIGSTOP)
            except ProcessLookupError:
                pass
        victims |= self.descendants(worker)
        for p in victims:
            try:
                os.kill(p, signal.SIGKILL)
            except ProcessLookupError:
                pass
        end = time.monotonic() + 30
        while time.monotonic() < end and any(test_backup.alive(p) for p in victims):
            time.sleep(0.02)
        self.assertFalse([p for p in victims if test_backup.alive(p)])
        self.workers = []

    def wait_for(self, what, predicate, worker, deadline=60):
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            if predicate():
                return
            if not test_backup.alive(worker):
                self.fail("the worker ended before %s" % what)
            time.sleep(0.01)
        self.fail("never saw %s" % what)

    def hanging(self, worker, needle):
        """True once a tool whose command line holds needle runs under the worker."""
        table = test_backup.proc_table()
        return any(needle in table[p][3] for p in self.descendants(worker) if p in table)

    def kill_at_a_record_write(self, worker):
        """SIGKILL to the worker's group as soon as a whole-file write's temporary file shows, then
        to everything else it started."""
        tmp = self.gws("tmp")
        end = time.monotonic() + 60
        while time.monotonic() < end:
            if any(n.startswith("w.") for n in os.listdir(tmp)):
                os.killpg(worker, signal.SIGKILL)
                return self.crash(worker)
        self.fail("no record write seen")

    def kill_root_processes(self):
        """Whatever still runs from this class's root (a test that failed before its kill)."""
        for pid, (state, ppid, pgrp, cmd) in test_backup.proc_table().items():
            if self.root in cmd and pid != os.getpid():
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def count_calls(self):
        """(calls of the request, calls of its worker) since the last clear: the request's tools run in
        this test's process group, the worker's in the worker's or their own."""
        calls = self.calls()
        mine = len([c for c in calls if c.get("pgid") == os.getpgid(0)])
        return mine, len(calls) - mine

    def hang_nth_call(self, before, n):
        """The point: the worker's n-th tool call (from 0), whichever tool it is, hangs (the request
        makes `before` calls first); reached once that call runs."""
        self.fault("*", "", "hang", "--skip", str(before + n), "--times", "1")

        def reached(worker):
            self.wait_for("tool call %d" % n, lambda: any(c.get("rule", -1) >= 0 and c.get("exit") is None
                                                           for c in self.calls()), worker)
        return reached

    def wait_until(self, when, worker):
        while time.monotonic() < when and test_backup.alive(worker):
            time.sleep(0.005)


    def holds_open(self, pid, path):
        try:
            fds = os.listdir("/proc/%d/fd" % pid)
        except OSError:
            return False
        for fd in fds:
            try:
                if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == path:
                    return True
            except OSError:
                pass
        return False


class CrashCase(Killing, test_backup.BackupCase):
    """Runs killed at a chosen point and run again, and what the stores hold afterwards."""

    reference = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # What a run that nobody disturbs stores of the demo domain, to compare every rerun with.
        helper = cls()
        helper.setUp()
        reply = helper.backup(**ALL_SERVICES)
        assert reply["success"], reply
        started = time.monotonic()
        helper.wait_history()
        cls.run_seconds = time.monotonic() - started
        cls.reference = helper.stored()
        cls.request_calls, cls.run_calls = helper.count_calls()
        helper.tearDown()

    def start(self, **switches):
        """Starts a backup of the given services; (mission id, worker pid) once it runs."""
        reply = self.backup(**dict(NO_SERVICE, **switches))
        self.assertTrue(reply["success"], reply)
        record = self.running(reply["mission_id"])
        self.workers = [record["process_pid"]]
        return reply["mission_id"], record["process_pid"]

    # ---- after the crash ----

    def assertNotRunning(self, mission):
        """The killed run is no longer listed as running and has a history record."""
        listed = [m for m in self.mission_list() if m["mission_id"] == mission]
        self.assertEqual(listed, [], "a dead worker's mission is listed as running")
        self.assertNoRecordsLeft()

    def backup_once(self, services):
        self.rerun(**{k + "_enable": "1" for k in services})

    def rerun(self, **switches):
        """The same backup again, to its end; its history record."""
        before = {r["file"] for r in self.history()}
        reply = self.backup(**dict(NO_SERVICE, **switches))
        self.assertEqual(list(reply), ["success", "mission_id"], (reply, self.messages()[-3:]))
        end = time.monotonic() + 120
        done = []
        while time.monotonic() < end and not done:
            done = [r for r in self.history() if r["file"] not in before]
            time.sleep(0.05)
        self.assertEqual(len(done), 1, done)
        self.assertEqual(done[0]["backup_status"], "finish", self.messages()[-10:])
        self.assertNoRecordsLeft()
        self.wait_gam_folder_gone()
        return done[0]

    def catalogs(self):
        out = []
        for folder, dirs, files in os.walk(self.path(BACKUP)):
            out += [os.path.join(folder, n) for n in files if n.endswith(".db")]
        return out + [self.gws("quillmere_log_datebase.db")]

    def assertCatalogsSound(self):
        for path in self.catalogs():
            with sqlite3.connect(path) as db:  # read-write: a hot journal a crash left is rolled back
                self.assertEqual(db.execute("PRAGMA integrity_check").fetchall(), [("ok",)], path)

    def store_of(self, service, key):
        return self.path(BACKUP, service, self.task, key)

    def files_of_rows(self, service, key, rows):
        """{item id: md5 of its stored file or None}; the store holds the rows' files and nothing else."""
        store = self.store_of(service, key)
        named = collections.Counter(local for _, local in rows if local)
        self.assertEqual([n for n, c in named.items() if c > 1], [], "a local id named twice")
        have = set(os.listdir(store)) if os.path.isdir(store) else set()
        have = {n for n in have if not n.endswith(("_lck",))}
        self.assertEqual(sorted(have - set(named)), [], "stored files without a row in %s" % store)
        out = {}
        for item, local in rows:
            path = os.path.join(store, local) if local else None
            out[item] = md5_of(path) if path and os.path.isfile(path) else None
        return out

    def stored(self):
        """What the task's stores hold, checked for rows without files and files without rows:
        {(service, account, item id): md5 of the stored content or None}."""
        self.assertCatalogsSound()
        out = {}
        task = self.task

        def add(service, account, rows):
            ids = collections.Counter(item for item, _ in rows)
            self.assertEqual([i for i, c in ids.items() if c > 1], [], "%s %s: an item stored twice" % (service, account))
            for item, digest in self.files_of_rows(service, account, rows).items():
                out[(service, account, item)] = digest

        for name in os.listdir(self.path(BACKUP, "drive_db", task)) if os.path.isdir(self.path(BACKUP, "drive_db", task)) else []:
            if name.endswith(".db"):
                rows = read_rows(self.path(BACKUP, "drive_db", task, name),
                                 "SELECT drive_id, drive_localid FROM drive_sql_database")
                add("drive", name[:-3], rows)
        mapping = self.path(BACKUP, "shared_drive_map_db", task, task + "_mapping.db")
        if os.path.exists(mapping):
            for uuid_, sd in read_rows(mapping, "SELECT shared_drive_uuid, shared_drive_id FROM "
                                                "shared_drive_mapping_uuid_table"):
                catalog = self.path(BACKUP, "shared_drive_db", task, uuid_ + ".db")
                rows = read_rows(catalog, "SELECT drive_id, drive_localid FROM shared_drive_sql_database") \
                    if os.path.exists(catalog) else []
                for item, digest in self.files_of_rows("shared_drive", uuid_, rows).items():
                    out[("shared_drive", sd, item)] = digest
        folder = self.path(BACKUP, "gmail_db", task)
        for name in os.listdir(folder) if os.path.isdir(folder) else []:
            if name.endswith(".db"):
                add("gmail", name[:-3], read_rows(os.path.join(folder, name),
                                                  "SELECT gmail_id, drive_localid FROM gmail_sql_database"))
        for service, table, column in (("calendar_db", "calendar_sql_database", "iCalUID"),
                                       ("contact_db", "contact_sql_database", "resourceName"),
                                       ("group_contact_db", "group_contact_sql_database", "resourceName")):
            folder = self.path(BACKUP, service, task)
            for name in os.listdir(folder) if os.path.isdir(folder) else []:
                if name.endswith(".db"):
                    rows = read_rows(os.path.join(folder, name), "SELECT %s FROM %s" % (column, table))
                    ids = collections.Counter(r[0] for r in rows)
                    self.assertEqual([i for i, c in ids.items() if c > 1], [], name)
                    for (item,) in rows:
                        out[(service, name[:-3], item)] = None
        return out

    def assertSameAsReference(self, services):
        """The stores hold exactly what an undisturbed run stores, for the services given."""
        prefixes = {"drive": ("drive",), "shared_drive": ("shared_drive",), "gmail": ("gmail",),
                    "calendar": ("calendar_db",), "contact": ("contact_db", "group_contact_db")}
        wanted = {p for s in services for p in prefixes[s]}
        got = {k: v for k, v in self.stored().items() if k[0] in wanted}
        want = {k: v for k, v in self.reference.items() if k[0] in wanted}
        self.assertEqual(sorted(set(want) - set(got)), [], "items missing")
        self.assertEqual(sorted(set(got) - set(want)), [], "items not in the domain")
        self.assertEqual({k for k in got if got[k] != want[k]}, set(), "stored contents differ")

    def assertNoLeftovers(self):
        """Nothing of the killed run stays in the shared temporary folders or the stores."""
        # A killed stand-in tool may leave its own half-written output (it writes through a temporary
        # name; the real tools write in place, under the worker's file name that the sweep removes).
        self.assertEqual([n for n in os.listdir(self.path("usr/local/tmp")) if not n.startswith(".gwssim-tmp-")], [])
        self.assertEqual([n for n in os.listdir(self.gws("tmp")) if not n.endswith(("_en", "_userlist"))], [])
        for folder, dirs, files in os.walk(self.path(BACKUP)):
            self.assertEqual([n for n in files if n.endswith((".tmp", "-journal"))], [], folder)


class BackupKills(CrashCase):

    def setUp(self):
        super().setUp()
        self.readers = []

    def tearDown(self):
        self.close_readers()
        super().tearDown()
        self.kill_root_processes()

    def close_readers(self):
        for reader in self.readers:
            reader.close()
        self.readers = []

    def kill_and_rerun(self, services, point, kill=None):
        """Starts a backup of services, kills it once point(worker) returns, checks the crash's traces
        are cleared and runs the same backup again."""
        switches = {k + "_enable": "1" for k in services}
        mission, worker = self.start(**switches)
        point(worker)
        (kill or self.crash)(worker)
        self.close_readers()
        self.clear_faults()
        self.assertNotRunning(mission)
        self.rerun(**switches)
        self.assertSameAsReference(services)
        self.assertNoLeftovers()

    def hang_at(self, tool, match, skip, needle):
        """The point: the (skip+1)-th call of tool matching match hangs; reached once it runs."""
        self.fault(tool, match, "hang", "--skip", str(skip), "--times", "1")
        return lambda worker: self.wait_for(needle, lambda: self.hanging(worker, needle), worker)

    def test_killed_inside_a_download(self):
        cases = [
            (["drive"], "gam", "get drivefile", 0),
            (["drive"], "gam", "get drivefile", 15),
            (["shared_drive"], "gam", "get drivefile", 2),
            (["gmail"], "gam", "export messages", 0),
            (["gmail"], "gam", "export messages", 9),
            (["gmail"], "gam", "countsonly", 5),  # the pass's own counts, after the run's four
            (["calendar"], "gam", "print events", 5),
            (["contact"], "gam", "print contacts", 1),
        ]
        for services, tool, match, skip in cases:
            with self.subTest(services=services, match=match, skip=skip):
                self.setUp()
                self.kill_and_rerun(services, self.hang_at(tool, match, skip, match))


    def inside_catalog_write(self, service, account):
        """The point: the worker waits to commit its write of the account's catalog, whose original
        pages are in its rollback journal, while a reader holds the catalog."""
        folder = {"drive": "drive_db", "gmail": "gmail_db", "calendar": "calendar_db", "contact": "contact_db",
                  "shared_drive": "shared_drive_db"}[service]
        catalog = self.path(BACKUP, folder, self.task, account + ".db")
        self.assertTrue(os.path.exists(catalog), catalog)
        holder = sqlite3.connect(catalog, isolation_level=None)
        self.readers.append(holder)
        if service != "gmail":
            holder.execute("BEGIN")
            holder.execute("SELECT COUNT(*) FROM sqlite_master").fetchall()  # a shared lock until closed
            journal = catalog + "-journal"
            return lambda worker: self.wait_for("a write of " + catalog, lambda: os.path.exists(journal)
                                                and os.path.getsize(journal) > 0, worker)
        # A write-ahead log never keeps a writer from its commit: a held write lock stops the
        # worker as it begins its write, once it has saved the message again.
        holder.execute("BEGIN IMMEDIATE")
        seen = []

        def writing(worker):
            seen.append(self.holds_open(worker, catalog))
            return seen[-5:] == [True] * 5

        return lambda worker: self.wait_for("a write of " + catalog, lambda: writing(worker) or time.sleep(0.05),
                                            worker)

    def test_killed_inside_a_catalog_write(self):
        alice = "alice@example.test"
        for service in ("drive", "shared_drive", "gmail", "calendar", "contact"):
            with self.subTest(service=service):
                self.setUp()
                self.backup_once([service])
                account = alice
                if service == "shared_drive":
                    [(account,)] = read_rows(self.path(BACKUP, "shared_drive_map_db", self.task, self.task + "_mapping.db"),
                                             "SELECT shared_drive_uuid FROM shared_drive_mapping_uuid_table "
                                             "WHERE shared_drive_name = 'Team Drive'")
                if service == "gmail":
                    # A stored message whose file was emptied is saved again: the pass writes its catalog.
                    store = self.store_of("gmail", alice)
                    open(os.path.join(store, sorted(os.listdir(store))[0]), "w").close()
                self.kill_and_rerun([service], self.inside_catalog_write(service, account))

    def test_killed_inside_a_record_write(self):
        """The kill lands while the worker writes a mission record: its temporary file exists."""
        for services in (["drive", "gmail"], ["calendar", "contact", "shared_drive"]):
            with self.subTest(services=services):
                self.setUp()
                self.kill_and_rerun(services, lambda worker: None, self.kill_at_a_record_write)

    def test_a_worker_killed_alone_is_filed_and_the_tool_it_waited_for_ends(self):
        """As the out-of-memory killer would: the worker goes, its hanging download stays."""
        tools = []

        def kill_alone(worker):
            # The point may have seen one of the listings before the one that hangs, ended since.
            end = time.monotonic() + 60
            while not tools and time.monotonic() < end:
                tools.extend(self.gam_tools_of(worker))
                time.sleep(0.01)
            os.kill(worker, signal.SIGKILL)
            end = time.monotonic() + 30
            while test_backup.alive(worker) and time.monotonic() < end:
                time.sleep(0.02)

        # A listing runs in the worker's group (a download runs in a group of its own, which nothing
        # can tell from another's once its worker is gone).
        self.kill_and_rerun(["drive"], self.hang_at("gam", "print filelist", 2, "print filelist"), kill_alone)
        self.assertTrue(tools)
        self.assertEqual([p for p in tools if test_backup.alive(p)], [])
        [filed] = [r for r in self.history() if r["backup_status"] != "finish"]
        self.assertEqual((filed["backup_status"], filed["service"]), ("error", ["drive"]))
        self.assertIn("end_time", filed)

    def test_a_sweep_of_kills_across_a_whole_run(self):
        """Kills at evenly spread delays over the time an undisturbed run of every service takes."""
        for fraction in (0.05, 0.2, 0.35, 0.5, 0.65, 0.8, 0.95):
            with self.subTest(fraction=fraction):
                self.setUp()
                self.kill_and_rerun(list(ALL_SERVICES_NAMES), lambda worker: self.wait_until(
                    time.monotonic() + fraction * self.run_seconds, worker))

    def test_a_sweep_of_kills_over_the_tool_calls_of_a_whole_run(self):
        """Kills at the worker's n-th tool call, for calls spread evenly over an undisturbed run of
        every service."""
        for n in spread(self.run_calls, 8):
            with self.subTest(call=n):
                self.setUp()
                self.kill_and_rerun(list(ALL_SERVICES_NAMES), self.hang_nth_call(self.request_calls, n))


class RestoreKilling(Killing):
    """A restore killed at a point and asked for again. check_partial(clock) checks what the killed
    restore made at its clock is whole; check_whole(clock) that the restore of that clock holds
    every backed-up item exactly once."""

    def setUp(self):
        super().setUp()
        self.workers = []

    def tearDown(self):
        self.clear_faults()
        self.kill_root_processes()

    def kill_restore(self, params, point, check_partial, check_whole, kill=None):
        """False when the restore ended before the point (no kill inside it)."""
        killed_clock = self.clock
        mission = self.restore(**params)["mission_id"]
        worker = self.running_worker(mission)
        self.workers = [worker]
        point(worker)
        if not alive(worker):
            return False  # the restore ended before the point: no kill
        (kill or self.crash)(worker)
        self.clear_faults()
        listed = [m for m in self.request({"act": "mission_list"})["mission_List"] if m["mission_id"] == mission]
        self.assertEqual(listed, [], "a dead worker's restore is listed as running")
        [filed] = self.history()
        if filed["backup_status"] == "finish":  # killed after it filed its history: no kill inside it
            check_whole(killed_clock)
            return False
        self.assertEqual(filed["backup_status"], "error")
        # The running record and its journal went with the filing.
        self.assertEqual([n for n in os.listdir(self.gws("conf/mission")) if n != "history_mission"], [])
        check_partial(killed_clock)
        type(self).clock += 3600
        record = self.finished_again(**params)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        check_whole(self.clock)
        self.assertNothingLeft()  # the killed worker's tool files went when the next one started
        for path in self.catalogs():
            with sqlite3.connect(path) as db:  # read-write: a hot journal a crash left is rolled back
                self.assertEqual(db.execute("PRAGMA integrity_check").fetchall(), [("ok",)], path)
            self.assertFalse(os.path.exists(path + "-journal"), path)
        return True

    def catalogs(self):
        out = [self.gws("quillmere_log_datebase.db")]
        for folder, dirs, files in os.walk(self.gws("backup")):
            out += [os.path.join(folder, n) for n in files if n.endswith(".db")]
        return out

    def at_clock(self, clock, what, *args):
        """what(*args) as seen by the restore of that clock (its folder or label is named by it)."""
        saved, type(self).clock = type(self).clock, clock
        try:
            return what(*args)
        finally:
            type(self).clock = saved

    def running_worker(self, mission, deadline=60):
        path = self.gws("conf/mission", mission)
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            try:
                with open(path) as f:
                    return json.load(f)["process_pid"]
            except (OSError, ValueError, KeyError):
                time.sleep(0.02)
        self.fail("no running record")

    def finished_again(self, **params):
        before = len(self.history())
        self.restore(**params)
        end = time.monotonic() + 120
        while time.monotonic() < end:
            running = [n for n in os.listdir(self.gws("conf/mission")) if n != "history_mission"]
            if len(self.history()) > before and not running:
                break
            time.sleep(0.05)
        records = sorted(self.history(), key=lambda r: r.get("start_time", 0))
        self.assertEqual(len(records), before + 1)
        return [r for r in records if r["backup_status"] != "error"][-1]

    def hang_at(self, match, skip):
        self.fault("gam", match, "hang", "--skip", str(skip), "--times", "1")
        return lambda worker: self.wait_for(match, lambda: self.hanging(worker, match), worker)


class RestoreKills(RestoreKilling, test_restore.RestoreCase):
    """Drive and Shared Drive restores killed at chosen points, then asked for again: the new
    restore folder holds every backed-up item exactly once, and what the killed one made is whole."""

    ALICE, BOB = test_restore.ALICE, test_restore.BOB

    def kill_and_ask_again(self, params, owner, what, want, point, kill=None):
        def partial(clock):
            # What the killed restore made is whole: every file it uploaded has the backed-up bytes.
            for path, value in self.at_clock(clock, self.restored, owner, what).items():
                if path in want and want[path] is not test_restore.EXPORTED:
                    self.assertEqual(value, want[path], path)
        return self.kill_restore(params, point, partial,
                                 lambda clock: self.assertSameTree(self.at_clock(clock, self.restored, owner, what),
                                                                   want), kill)

    def cases(self):
        team_uuid, _ = self.shared_drive("Team Drive")
        drive = (dict(domain_user_email=self.ALICE, target_account=self.BOB, localid_list="ALL",
                      **test_restore.DRIVE_ONLY), self.BOB, "drive", self.backed_up(self.ALICE))
        shared = (dict(shared_drive_id=team_uuid, localid_list="ALL", **test_restore.SHARED_ONLY), "Team Drive",
                  "shared", self.backed_up("Team Drive", "shared"))
        return drive, shared

    def test_killed_inside_an_upload_or_a_folder_creation(self):
        drive, shared = self.cases()
        for (params, owner, what, want), match, skip in ((drive, "localfile", 0), (drive, "localfile", 6),
                                                         (drive, "mimetype gfolder", 2), (shared, "localfile", 2),
                                                         (shared, "mimetype gfolder", 1)):
            with self.subTest(what=what, match=match, skip=skip):
                self.setUp()
                self.kill_and_ask_again(params, owner, what, want, self.hang_at(match, skip))

    def test_killed_inside_a_record_write(self):
        for params, owner, what, want in self.cases():
            with self.subTest(what=what):
                self.setUp()
                self.kill_and_ask_again(params, owner, what, want, lambda worker: None, self.kill_at_a_record_write)

    def test_a_sweep_of_kills_across_a_whole_restore(self):
        """Kills at the n-th tool call, for calls spread evenly over an undisturbed restore, and at
        delays spread over its time."""
        drive, shared = self.cases()
        for params, owner, what, want in (drive, shared):
            self.setUp()
            self.running_worker(self.restore(**params)["mission_id"])
            started = time.monotonic()
            self.wait_history()
            seconds = time.monotonic() - started  # the worker's own time, from its running record on
            before, calls = self.count_calls()
            for n in spread(calls, 6):
                with self.subTest(what=what, call=n):
                    self.setUp()
                    self.assertTrue(self.kill_and_ask_again(params, owner, what, want, self.hang_nth_call(before, n)))
            for fraction in (0.2, 0.5, 0.8):
                with self.subTest(what=what, fraction=fraction):
                    self.setUp()
                    self.kill_and_ask_again(params, owner, what, want, lambda worker: self.wait_until(
                        time.monotonic() + fraction * seconds, worker))


class GmailRestoreKills(RestoreKilling, test_gmail_restore.GmailRestoreCase):
    """A Gmail restore killed inside an insert and inside a record write, then asked for again: the
    new restore label holds every backed-up message exactly once, and every message the killed one
    inserted is whole."""

    ALICE, BOB = test_gmail_restore.ALICE, test_gmail_restore.BOB

    def kill_and_ask_again(self, point, kill=None):
        want = self.stored(self.ALICE)

        def partial(clock):
            made = self.at_clock(clock, self.restored, self.BOB)
            self.assertFalse(made - want, "a message inserted part way or twice")
            return made
        return self.kill_restore(dict(domain_user_email=self.ALICE, target_account=self.BOB, localid_list="ALL"),
                                 point, partial,
                                 lambda clock: self.assertEqual(self.at_clock(clock, self.restored, self.BOB), want),
                                 kill)

    def test_killed_inside_an_insert_or_a_record_write(self):
        for skip in (0, 3):
            with self.subTest(insert=skip):
                self.setUp()
                self.assertTrue(self.kill_and_ask_again(self.hang_at("insert messages", skip)))
        with self.subTest("record write"):
            self.setUp()
            self.kill_and_ask_again(lambda worker: None, self.kill_at_a_record_write)


class CalContactRestoreKills(RestoreKilling, test_calcontact_restore.CalContactCase):
    """Calendar and Contacts restores killed inside an import or a creation and inside a record
    write, then asked for again: the new run makes every backed-up event or contact exactly once
    (beside what the killed run made, every piece of which was a whole backed-up item)."""

    ALICE, BOB = test_calcontact_restore.ALICE, test_calcontact_restore.BOB

    def kill_and_ask_again(self, service, point, kill=None):
        if service == "calendar":
            params, now, want = test_calcontact_restore.CALENDAR, self.events, self.backed_up_events(self.ALICE)
        else:
            params, now, want = test_calcontact_restore.CONTACTS, self.contacts, self.backed_up_contacts(self.ALICE)
        seen = [now(self.BOB)]

        def partial(clock):
            made = now(self.BOB) - seen[0]
            self.assertFalse(made - want, "an item made part way or twice")
            seen[0] = now(self.BOB)

        def whole(clock):
            self.assertEqual(now(self.BOB) - seen[0], want)
        return self.kill_restore(dict(domain_user_email=self.ALICE, target_account=self.BOB, localid_list="ALL",
                                      **params), point, partial, whole, kill)

    def test_killed_inside_a_tool_call_or_a_record_write(self):
        for service, match, skip in (("calendar", "import event", 0), ("calendar", "import event", 4),
                                     ("contact", "create contacts", 0), ("contact", "create contacts", 3)):
            with self.subTest(service=service, call=skip):
                self.setUp()
                self.assertTrue(self.kill_and_ask_again(service, self.hang_at(match, skip)))
        for service in ("calendar", "contact"):
            with self.subTest(service=service, point="record write"):
                self.setUp()
                self.kill_and_ask_again(service, lambda worker: None, self.kill_at_a_record_write)


class ExportKills(test_exports.ExportCase, Killing):
    """The five exports to a NAS folder killed inside a header run or a copy: the mission list files
    the dead worker as "error", no marker, progress record or tool file is left, and the same export
    run again writes into its new folder what an undisturbed one writes, every file once and whole."""

    SLOW = test_exports.SLOW

    def setUp(self):
        super().setUp()
        self.workers = []
        cls = type(self)
        if getattr(cls, "reference", None) is None:
            test_exports.Progress.slow_mails(self)
            cls.reference = {}
            for name, (act, params) in self.exports().items():
                reply, _ = self.run_export(act, **params)
                cls.reference[name] = self.folder_of(reply["path"])
                self.assertTrue(cls.reference[name], name)

    def tearDown(self):
        self.clear_faults()
        self.kill_root_processes()

    def exports(self):
        with sqlite3.connect("file:%s?mode=ro" % self.gws("backup/shared_drive_map_db", self.task,
                                                          self.task + "_mapping.db"), uri=True) as db:
            [(team,)] = db.execute("SELECT shared_drive_uuid FROM shared_drive_mapping_uuid_table "
                                   "WHERE shared_drive_name = 'Team Drive'").fetchall()
        return {"gmail": ("export_gmail_to_nas", dict(gmail_localid="ALL", domain_user_email=self.SLOW)),
                "contact": ("export_contact_to_nas", dict(localid="ALL")),
                "calendar": ("export_calendar_to_nas", dict(localid="ALL")),
                "drive": ("export_drive_to_nas", dict(index="ALL")),
                "shared_drive": ("export_shared_drive_to_nas", dict(index="ALL", shared_drive_id=team,
                                                                    domain_user_email=None))}

    def folder_of(self, top):
        """Path below top -> md5 of every file below it; a CSV export's one file (named by its
        time) -> its md5."""
        if os.path.isfile(top):
            return {"csv": md5_of(top)}
        out = {}
        for folder, dirs, files in os.walk(top):
            for n in files:
                path = os.path.join(folder, n)
                out[os.path.relpath(path, top)] = md5_of(path)
        return out

    def kill_and_export_again(self, name, point, hold_log=False):
        """point(mission, reply path) returns the worker's pid once the point is reached. With
        hold_log a reader holds the activity log's write lock from before the request until the kill."""
        act, params = self.exports()[name]
        holder = None
        if hold_log:
            holder = sqlite3.connect(self.gws("quillmere_log_datebase.db"), isolation_level=None)
            holder.execute("BEGIN IMMEDIATE")
            self.addCleanup(holder.close)
        reply = self.export(act, **params)
        self.assertTrue(reply.get("success"), reply)
        mission = reply["mission_id"]
        worker = point(mission, reply["path"])
        if not alive(worker):
            self.clear_faults()
            self.finished(mission)
            return False  # the export ended before the point: no kill
        self.workers = [worker]
        self.crash(worker)
        if holder:
            holder.close()
        self.clear_faults()
        listed = [m for m in self.request({"act": "mission_list"})["mission_List"] if m["mission_id"] == mission]
        self.assertEqual(listed, [], "a dead worker's export is listed as running")
        new = [r for r in self.history_records() if r["file"] not in self.seen_history]
        self.seen_history |= {r["file"] for r in new}
        self.assertEqual([(r["backup_status"], r["mode"]) for r in new], [("error", "export")])
        self.no_trace(mission)
        again, record = self.run_export(act, **params)
        self.assertNotEqual(again["path"], reply["path"])
        self.assertEqual(self.folder_of(again["path"]), self.reference[name])
        # The killed worker's tool and temporary files went when the next one started.
        self.assertEqual(os.listdir(self.path("usr/local/tmp")), [])
        self.assertEqual([n for n in os.listdir(self.gws("tmp")) if not n.endswith(("_en", "_userlist"))], [])
        with sqlite3.connect(self.gws("quillmere_log_datebase.db")) as db:
            self.assertEqual(db.execute("PRAGMA integrity_check").fetchall(), [("ok",)])
        return True

    def worker_of(self, mission):
        """The worker's pid once its marker is written (it is written whole)."""
        try:
            with open(self.marker(mission)) as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    def test_killed_inside_a_header_run_or_a_copy(self):
        def in_header_run(mission, folder):
            # Each header run is slow: the kill lands inside the third one.
            worker = self.wait_for(lambda: self.worker_of(mission), 30, "no worker")
            self.wait_for(lambda: len(os.listdir(folder)) >= 2 and self.hanging(worker, "emlsift"), 60,
                          "no header run")
            return worker

        def logging_a_copy(mission, path):
            # The worker logs each file it wrote as it goes: with the log's write lock held it waits
            # inside that write, its first file made, the rest of its copies to come.
            worker = self.wait_for(lambda: self.worker_of(mission), 30, "no worker")
            log = self.gws("quillmere_log_datebase.db")
            seen = []

            def waiting():
                seen.append(self.holds_open(worker, log) and bool(self.folder_of(path)))
                time.sleep(0.05)
                return seen[-5:] == [True] * 5
            self.wait_for(waiting, 60, "no log write")
            return worker
        self.fault("emlsift", "--header", "delay", "--ms", "300")
        self.assertTrue(self.kill_and_export_again("gmail", in_header_run))
        for name in ("contact", "calendar", "drive", "shared_drive"):
            with self.subTest(name):
                self.assertTrue(self.kill_and_export_again(name, logging_a_copy, hold_log=True))


if __name__ == "__main__":
    unittest.main()
