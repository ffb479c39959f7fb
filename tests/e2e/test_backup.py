"""Backup runs through orvenna.cgi (the action and the -backup mode), their mission records and the
mission lists, against the simulated demo domain."""

import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import time
import unittest
import uuid

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_tasks  # noqa: E402

ADMIN = test_tasks.ADMIN
HISTORY_KEYS = {"service", "mission_name", "task_id", "domain", "mode", "start_time", "backup_status",
                "total_progress", "drive_progress", "shared_drive_progress", "gmail_progress", "contact_progress",
                "calendar_progress", "backup_current", "drive_current", "shared_drive_current", "gmail_current",
                "contact_current", "calendar_current", "process_pid", "backup_mode", "total_amount",
                "backuped_amount", "backup_total", "drive_total", "shared_drive_total", "gmail_total",
                "contact_total", "calendar_total", "end_time"}
NO_SERVICE = {"drive_enable": "0", "shared_drive_enable": "0", "calendar_enable": "0", "gmail_enable": "0",
              "contact_enable": "0"}


def proc_stats():
    """(pid, program name, the fields after the name) of every readable /proc/<pid>/stat."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                comm, rest = f.read().rsplit(")", 1)
        except (OSError, ValueError):
            continue
        yield int(entry), comm.split("(", 1)[1], rest.split()


def proc_table():
    """pid -> (state, ppid, pgrp, cmdline) of every readable process."""
    out = {}
    for pid, _, fields in proc_stats():
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        out[pid] = (fields[0], int(fields[1]), int(fields[2]), cmd)
    return out


def alive(pid):
    info = proc_table().get(pid)
    return info is not None and info[0] != "Z"


class BackupCase(test_tasks.TaskCase):
    """A task of the demo domain per test; helpers to start runs and wait for their history."""

    @classmethod
    def env(cls, **extra):
        # Retry and record pauses take no time here; the tools get no delay.
        return super().env(QLM_SLEEP_SCALE="0", **extra)

    def setUp(self):
        self.clear_faults()
        self.calls(clear=True)
        self.drop_tasks()
        shutil.rmtree(self.gws("conf/mission"), ignore_errors=True)
        self.task = self.new_task()
        self.fresh_tmp()

    def fresh_tmp(self):
        """Forgets the calls and temporary files of the set-up (and of workers a test killed)."""
        self.calls(clear=True)
        tmp = self.path("usr/local/tmp")
        for name in os.listdir(tmp):
            shutil.rmtree(os.path.join(tmp, name), ignore_errors=True)
            if os.path.exists(os.path.join(tmp, name)):
                os.unlink(os.path.join(tmp, name))
        for name in os.listdir(self.path("root")):
            shutil.rmtree(self.path("root", name), ignore_errors=True)

    def tearDown(self):
        self.clear_faults()
        for pid in getattr(self, "workers", []):
            try:
                os.killpg(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def run_plain(self, mission, *switches):
        """orvenna.cgi -backup MISSION TASK switches..., without any CGI environment."""
        return subprocess.run([self.cgi_path, "-backup", mission, self.task] + list(switches), env=self.env(),
                              capture_output=True, timeout=300)

    def backup(self, **switches):
        return self.request(dict({"act": "backup", "task_id": self.task}, **switches))

    def mission_list(self, act="mission_list", **params):
        reply = self.request(dict({"act": act}, **params))
        self.assertEqual(list(reply), ["success", "mission_List"])
        self.assertTrue(reply["success"])
        return reply["mission_List"]

    def history(self):
        folder = self.gws("conf/mission/history_mission")
        out = []
        for name in os.listdir(folder) if os.path.isdir(folder) else []:
            with open(os.path.join(folder, name)) as f:
                out.append(dict(json.load(f), file=name))
        return out

    def wait_history(self, count=1, deadline=120):
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            records = self.history()
            if len(records) >= count:
                return records
            time.sleep(0.05)
        self.fail("no history record within %d s; log: %s" % (deadline, [r["sql_name"] for r in self.log_rows()]))

    def wait_gam_folder_gone(self, deadline=60):
        """The worker removes its GAM folder just after it has filed the history record."""
        end = time.monotonic() + deadline
        while time.monotonic() < end and os.listdir(self.path("root")):
            time.sleep(0.05)
        return os.listdir(self.path("root"))

    def running(self, mission_id, deadline=60):
        path = self.gws("conf/mission", mission_id)
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            try:
                with open(path) as f:
                    return json.load(f)
            except (FileNotFoundError, json.JSONDecodeError):
                time.sleep(0.05)
        self.fail("no running record")

    def messages(self):
        return [r["sql_name"] for r in self.log_rows()]

    def assertNoRecordsLeft(self):
        self.assertEqual([n for n in os.listdir(self.gws("conf/mission")) if n != "history_mission"], [])

    def hanging_listing(self, pgid):
        """True once the tree listing runs in the worker's group (GAM's set-up runs gam too), as the
        tool itself or as a shell running it."""
        for pid in self.group_members(pgid):
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    if b"print filetree" in f.read().replace(b"\0", b" "):
                        return True
            except OSError:
                pass
        return False

    def group_members(self, pgid):
        """pid -> program name of the live processes of a process group."""
        return {pid: comm for pid, comm, fields in proc_stats() if int(fields[2]) == pgid and fields[0] != "Z"}

    def kill_tools_of(self, pgid, tool):
        """Ends the tools named `tool` in the worker's process group, the worker itself left running."""
        for pid, comm in self.group_members(pgid).items():
            if pid != pgid and comm == tool:
                os.kill(pid, signal.SIGKILL)

    def add_schedule(self, task=None, **params):
        query = dict({"act": "add_schedule_mission", "task_id": task or self.task}, **params)
        reply = self.request(query)
        self.assertEqual(list(reply), ["success", "mission_id"], reply)
        uuid.UUID(reply["mission_id"])
        return reply["mission_id"]

    def gam_tools_of(self, worker):
        """pids of the gam processes in the worker's group or below it."""
        table = proc_table()
        below, frontier = set(), [worker]
        while frontier:
            parent = frontier.pop()
            for pid, (state, ppid, pgrp, cmd) in table.items():
                if ppid == parent and pid not in below:
                    below.add(pid)
                    frontier.append(pid)
        gam = self.path(qlmtest.APP, "bin", "gam")
        return {pid for pid, (state, ppid, pgrp, cmd) in table.items()
                if (pgrp == worker or pid in below) and gam in cmd and state != "Z"}

    def wait_tools(self, worker, deadline=60):
        """The worker's gam tools once its download hangs in a group of its own."""
        end = time.monotonic() + deadline
        def group(pid):
            # A listing may end between the look at the process table and this one.
            try:
                return os.getpgid(pid)
            except ProcessLookupError:
                return worker

        while time.monotonic() < end:
            tools = self.gam_tools_of(worker)
            if any(group(p) != worker for p in tools):
                return tools
            time.sleep(0.05)
        self.fail("no hanging download under worker %d" % worker)


class ManualBackup(BackupCase):

    def test_a_backup_without_services_answers_a_mission_id_and_ends_finish(self):
        reply = self.backup(**NO_SERVICE)
        self.assertEqual(list(reply), ["success", "mission_id"])
        self.assertTrue(reply["success"])
        uuid.UUID(reply["mission_id"])
        [record] = self.wait_history()
        self.assertEqual(set(record) - {"file"}, HISTORY_KEYS | {"last_time"})
        self.assertEqual(record["backup_status"], "finish")
        self.assertEqual(record["service"], [])
        self.assertEqual((record["task_id"], record["domain"], record["mode"], record["backup_mode"]),
                         (self.task, ADMIN, "backup", "manual"))
        for key in ("total", "drive", "shared_drive", "gmail", "contact", "calendar"):
            self.assertEqual(record[key + "_progress"], 100.0, key)
        self.assertEqual(record["backup_total"], 0)
        self.assertGreaterEqual(record["end_time"], record["start_time"])
        self.assertEqual(record["last_time"], record["start_time"])
        self.assertTrue(record["mission_name"].startswith("Task"))
        self.assertNoRecordsLeft()
        self.assertEqual(self.messages()[-2:], ["Started backup for all accounts in domain %s." % ADMIN,
                                                "Completed backup for all accounts in domain %s." % ADMIN])
        # The worker led its own process group and did not keep the lock.
        self.assertEqual([c["argv"][0] for c in self.calls("scoutix")], ["-info"])  # GAM's set-up only
        [listed] = self.mission_list("history_mission_list")
        self.assertEqual(listed["mission_id"], record["file"])
        self.assertEqual(listed["elapsed_time"], record["end_time"] - record["start_time"])

    def test_drive_and_shared_drive_run_and_the_history_keeps_the_totals(self):
        reply = self.backup(drive_enable="1", shared_drive_enable="1")
        self.assertTrue(reply["success"], reply)
        [record] = self.wait_history()
        self.assertEqual(record["backup_status"], "finish", self.messages())
        self.assertEqual(record["service"], ["drive", "shared_drive"])
        self.assertGreater(record["drive_total"], 0)
        self.assertGreater(record["shared_drive_total"], 0)
        self.assertEqual(record["backup_total"], record["drive_total"] + record["shared_drive_total"])
        self.assertEqual(set(record) - {"file"}, HISTORY_KEYS | {"last_time"})
        self.assertNoRecordsLeft()
        options = [c["argv"][0] for c in self.calls("scoutix")]
        self.assertEqual(options[0], "-check_drive")
        self.assertEqual(options.count("-check_drive"), 1)
        # The worker's tools ran in the worker's own process group, not the CGI's.
        pgids = {c["pgid"] for c in self.calls("gam") if "pgid" in c}
        self.assertNotIn(os.getpgid(0), pgids)
        self.assertEqual(self.wait_gam_folder_gone(), [])
        self.assertEqual(os.listdir(self.path("usr/local/tmp")), [])

    def test_unselected_services_never_run_and_no_service_is_a_placeholder(self):
        before = len(self.log_rows())
        self.backup(gmail_enable="1", calendar_enable="1", contact_enable="1", drive_enable="2")
        [record] = self.wait_history()
        self.assertEqual(record["backup_status"], "finish")
        self.assertEqual(record["service"], ["gmail", "calendar", "contact"])
        self.assertEqual(self.calls("tallyx"), [])
        self.assertNotIn("-check_drive", [c["argv"][0] for c in self.calls("scoutix")])
        rows = [r for r in self.log_rows()[before:] if r["sql_type"] == "warn"]
        self.assertEqual([r["sql_name"] for r in rows if "not available" in r["sql_name"]], [])

    def test_calendar_and_contacts_snapshot_every_user_and_the_history_keeps_the_totals(self):
        self.backup(calendar_enable="1", contact_enable="1")
        [record] = self.wait_history()
        self.assertEqual(record["backup_status"], "finish", self.messages())
        self.assertEqual(record["service"], ["calendar", "contact"])
        self.assertEqual(record["backup_total"], record["calendar_total"] + record["contact_total"])
        backup = self.path("usr/local/Kivora/quillmere/database/gws/backup")
        stored = {}
        for folder, table in (("calendar_db", "calendar_sql_database"), ("contact_db", "contact_sql_database"),
                              ("group_contact_db", "group_contact_sql_database")):
            catalogs = sorted(os.listdir(os.path.join(backup, folder, self.task)))
            self.assertIn("alice@example.test.db", catalogs, folder)
            stored[folder] = 0
            for name in catalogs:
                with sqlite3.connect(os.path.join(backup, folder, self.task, name)) as db:
                    stored[folder] += db.execute("SELECT COUNT(*) FROM %s" % table).fetchone()[0]
        self.assertGreater(stored["calendar_db"], 0)
        self.assertGreater(stored["group_contact_db"], 0)
        self.assertEqual(record["calendar_total"], stored["calendar_db"])
        self.assertEqual(record["contact_total"], stored["contact_db"])
        # The store folders of the accounts stay empty.
        for service in ("calendar", "contact"):
            for account in os.listdir(os.path.join(backup, service, self.task)):
                path = os.path.join(backup, service, self.task, account)
                if os.path.isdir(path):
                    self.assertEqual(os.listdir(path), [], path)
        self.assertNoRecordsLeft()
        self.assertEqual(os.listdir(self.path("usr/local/tmp")), [])

    def test_a_running_backup_shows_in_mission_list_and_a_second_one_is_skipped(self):
        self.fault("gam", "filetree", "hang")
        reply = self.backup(drive_enable="1")
        mission = reply["mission_id"]
        record = self.running(mission)
        self.workers = [record["process_pid"]]
        self.assertEqual(os.getpgid(record["process_pid"]), record["process_pid"])
        [listed] = [m for m in self.mission_list() if m["mission_id"] == mission]
        self.assertEqual((listed["backup_status"], listed["mode"], listed["service"]), ("backing", "backup", ["drive"]))
        self.assertEqual(listed["total_progress"], 0.0)
        self.assertGreaterEqual(listed["elapsed_time"], 0)
        self.assertEqual(self.mission_list(key_word="no-such-word"), [])
        self.assertEqual(len(self.mission_list(key_word="example.test")), 1)

        before = len(self.log_rows())
        self.assertEqual(self.backup(drive_enable="1"), {"success": True})
        self.assertEqual(self.messages()[before:], ["Skipped scheduled backup for account %s, reason: There is "
                                                    "already a task in progress." % ADMIN])
        before = len(self.log_rows())
        r = self.run_plain(str(uuid.uuid4()), "1", "0", "0", "0", "0")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.messages()[before:], ["Skipped scheduled backup for account %s, reason: There is "
                                                    "already a task in progress." % ADMIN])
        self.assertEqual(self.history(), [])  # neither the refused request nor the refused mode left a record

        self.clear_faults()
        self.kill_tools_of(record["process_pid"], "gam")
        [done] = self.wait_history()
        self.assertIn(done["backup_status"], ("finish", "error"))
        self.assertNoRecordsLeft()

    def sigterm_during_a_listing(self):
        """Starts a Drive backup, ends its worker with SIGTERM while a listing hangs, and waits until
        the worker's whole group is gone. The worker's pid."""
        self.fault("gam", "filetree", "hang")
        record = self.running(self.backup(drive_enable="1")["mission_id"])
        worker = record["process_pid"]
        self.workers = [worker]
        end = time.monotonic() + 60
        while time.monotonic() < end and not self.hanging_listing(worker):
            time.sleep(0.05)
        self.assertTrue(self.hanging_listing(worker), "the hanging listing never started")
        os.kill(worker, signal.SIGTERM)
        end = time.monotonic() + 60
        while time.monotonic() < end and self.group_members(worker):
            time.sleep(0.05)
        self.assertEqual(self.group_members(worker), {})
        self.workers = []
        return worker

    def test_sigterm_ends_the_worker_and_the_tool_it_waits_for(self):
        worker = self.sigterm_during_a_listing()
        # The worker's copy of the key went with it.
        self.assertFalse(os.path.exists(self.path("root", ".gam.%d" % worker)))

    def test_the_next_worker_removes_the_tool_files_a_killed_worker_left(self):
        self.sigterm_during_a_listing()
        tmp = self.path("usr/local/tmp")
        left = os.listdir(tmp)
        self.assertTrue(any(n.endswith("_err") for n in left), left)  # what the worker's guards never removed
        self.clear_faults()
        # A file of a live process that looks like a worker's is never touched.
        mine = os.path.join(tmp, "tnq_%s_%d" % (uuid.uuid4(), os.getpid()))
        with open(mine, "w") as f:
            f.write("a live process's listing")
        self.backup(**NO_SERVICE)
        [done] = self.wait_history()  # the killed run left only its running record
        self.assertEqual(done["backup_status"], "finish")
        self.assertEqual(self.wait_gam_folder_gone(), [])
        self.assertEqual(os.listdir(tmp), [os.path.basename(mine)])

    def test_permission_check_failures_give_5613_and_an_early_record(self):
        cases = [
            ({"drive_enable": "1"}, "-check_drive", "Check drive permissions fail."),
            ({"shared_drive_enable": "1"}, "-check_drive", "Check drive permissions fail."),
            ({"calendar_enable": "1"}, "-check_calendar", "Check calendar permissions fail."),
            ({"gmail_enable": "1"}, "-check_gmail", "Check gmail permissions fail."),
            ({"contact_enable": "1"}, "-check_contacts", "Check contact permissions fail."),
        ]
        for switches, option, message in cases:
            for action in ("fail", "garbage"):
                with self.subTest(option=option, action=action, switches=switches):
                    self.clear_faults()
                    before = len(self.history())
                    rows_before = len(self.log_rows())
                    self.fault("scoutix", option, action)
                    reply = self.backup(**switches)
                    self.assertEqual(reply, {"success": False, "error_code": 5613, "error_msg": message})
                    self.assertEqual(self.messages()[rows_before:],
                                     ["Backup failed for domain %s: Google Workspace authorization check failed." % ADMIN])
                    records = self.history()
                    self.assertEqual(len(records), before + 1)
                    early = max(records, key=lambda r: os.stat(self.gws("conf/mission/history_mission", r["file"])).st_mtime_ns)
                    self.assertEqual(set(early) - {"file"}, {"service", "mission_name", "task_id", "domain", "mode",
                                                            "start_time", "backup_status"})
                    self.assertEqual(early["backup_status"], "error")
                    self.assertNoLeftovers()
                    self.assertNoRecordsLeft()

    def test_a_later_check_fails_after_earlier_ones_passed(self):
        self.fault("scoutix", "-check_gmail", "fail")
        reply = self.backup(drive_enable="1", calendar_enable="1", gmail_enable="1", contact_enable="1")
        self.assertEqual(reply, {"success": False, "error_code": 5613, "error_msg": "Check gmail permissions fail."})
        self.assertEqual([c["argv"][0] for c in self.calls("scoutix")], ["-check_drive", "-check_calendar", "-check_gmail"])

    def test_hand_picked_accounts_make_the_failed_check_a_selected_accounts_row(self):
        self.drop_tasks()
        self.task = self.new_task(auto_add_user_enable="0", auto_add_shared_drive_enable="0",
                                  manual_domain_user=json.dumps([{"iD": test_tasks.ALICE,
                                                                         "Email": "alice@example.test"}]),
                                  manual_shared_drive="[]")
        self.fresh_tmp()
        self.fault("scoutix", "-check_drive", "fail")
        self.assertEqual(self.backup(drive_enable="1")["error_code"], 5613)
        self.assertEqual(self.messages()[-1], "Backup failed for selected accounts in domain %s: Google Workspace "
                                              "authorization check failed." % ADMIN)

    def test_request_refusals(self):
        cases = [
            ({}, {"success": False, "error_code": 5303, "error_msg": "task_id"}),
            ({"task_id": "../../etc"}, {"success": False, "error_code": 5302, "error_msg": "task_id"}),
            ({"task_id": str(uuid.uuid4())}, {"success": False, "error_code": 5302, "error_msg": "task_id"}),
        ]
        for params, expected in cases:
            with self.subTest(params=params):
                self.assertEqual(self.request(dict({"act": "backup"}, **params)), expected)
        self.assertEqual(self.history(), [])
        self.assertEqual(self.messages()[-1],
                         "Error occurred while backing up all accounts in domain : Parameter error.")


class RunFailures(BackupCase):
    """Faults of the stand-ins that fail one step of a run, and what the run leaves."""

    def fault_n(self, tool, match, action, times=None, skip=None):
        extra = []
        if times is not None:
            extra += ["--times", str(times)]
        if skip is not None:
            extra += ["--skip", str(skip)]
        self.fault(tool, match, action, *extra)

    def run_to_history(self, **switches):
        before = len(self.log_rows())
        reply = self.backup(**switches)
        self.assertTrue(reply["success"], reply)
        [record] = self.wait_history()
        self.assertNoRecordsLeft()
        self.assertEqual(self.wait_gam_folder_gone(), [])  # the GAM folder goes on every end
        return record, self.log_rows()[before:]

    def test_a_service_failing_twice_is_retried_and_the_run_finishes(self):
        self.fault_n("tallyx", "-k", "fail", times=2)
        record, rows = self.run_to_history(drive_enable="1")
        self.assertEqual(record["backup_status"], "finish")
        err = "Error occurred while backing up all accounts in domain %s: Drive backup fail.." % ADMIN
        wrapper = [(r["sql_status"], r["sql_type"], r["sql_name"]) for r in rows
                   if r["sql_name"] == err or "Waiting" in r["sql_name"]]
        self.assertEqual(wrapper, [("FAIL", "info", err), ("FAIL", "warn", "Drive backup fail. Waiting 20 sec before retry 2."),
                                   ("FAIL", "info", err), ("FAIL", "warn", "Drive backup fail. Waiting 40 sec before retry 3.")])
        self.assertEqual(len(self.calls("tallyx")), 3)
        self.assertEqual(rows[-1]["sql_name"], "Completed backup for all accounts in domain %s." % ADMIN)

    def test_lost_connections_in_calendar_and_contacts_are_retried_and_the_run_finishes(self):
        # The pre-count lists the events of the demo domain's four users first; then the first backup
        # attempt of each service loses the connection.
        self.fault_n("gam", "print events", "conn", times=1, skip=4)
        self.fault_n("gam", "print contactgroup", "conn", times=1)
        record, rows = self.run_to_history(calendar_enable="1", contact_enable="1")
        self.assertEqual(record["backup_status"], "finish", [r["sql_name"] for r in rows])
        errors = [r["sql_name"] for r in rows if r["sql_status"] == "FAIL" and r["sql_type"] == "info"]
        self.assertEqual(errors, ["Error occurred while backing up all accounts in domain %s: %s backup fail.." %
                                  (ADMIN, service) for service in ("Calendar", "Contact")])
        backup = self.path("usr/local/Kivora/quillmere/database/gws/backup")
        for folder in ("calendar_db", "contact_db", "group_contact_db"):
            self.assertIn("alice@example.test.db", os.listdir(os.path.join(backup, folder, self.task)), folder)

    def test_one_users_failing_contact_group_listing_fails_that_user_alone(self):
        alice = "alice@example.test"
        backup = self.gws("backup")
        self.run_to_history(contact_enable="1")
        shutil.rmtree(self.gws("conf/mission/history_mission"))
        self.calls(clear=True)
        files = {}
        for folder in ("contact_db", "group_contact_db"):
            with open(os.path.join(backup, folder, self.task, alice + ".db"), "rb") as f:
                files[folder] = f.read()
            for name in os.listdir(os.path.join(backup, folder, self.task)):
                if name != alice + ".db" and name.endswith(".db"):
                    os.unlink(os.path.join(backup, folder, self.task, name))
        self.fault("gam", alice, "fail", "--match", "print contactgroup", "--times", "1000")
        record, rows = self.run_to_history(contact_enable="1", drive_enable="1")
        self.assertEqual(record["backup_status"], "finish", [r["sql_name"] for r in rows])
        failed = [r["sql_name"] for r in rows if r["sql_status"] == "FAIL"]
        self.assertEqual(failed, ["Failed to retrieve Contact list for user account %s." % alice])
        self.assertEqual(len([c for c in self.calls("gam") if "contactgroup" in c["argv"] and alice in c["argv"]]), 1)
        for folder, data in files.items():  # his previous snapshot stays as it was
            with open(os.path.join(backup, folder, self.task, alice + ".db"), "rb") as f:
                self.assertEqual(f.read(), data, folder)
        users = [u for u in os.listdir(self.path("var/lib/gwssim/users")) if u != alice]
        for folder in ("group_contact_db",):  # the others got theirs
            self.assertTrue({u + ".db" for u in users} <= set(os.listdir(os.path.join(backup, folder, self.task))))
        self.assertEqual(len(self.calls("tallyx")), 1)  # Drive, after Contacts, ran
        self.assertEqual(rows[-1]["sql_name"], "Completed backup for all accounts in domain %s." % ADMIN)

    def test_an_account_whose_backup_is_in_progress_elsewhere_is_a_fail_row(self):
        alice = "alice@example.test"
        for service in ("calendar", "contact"):
            folder = self.gws("backup", service, self.task)
            os.makedirs(folder, exist_ok=True)
            qlmtest.hold_lock(self, os.path.join(folder, "%s.%s_lck" % (alice, service)))
        record, rows = self.run_to_history(calendar_enable="1", contact_enable="1")
        self.assertEqual(record["backup_status"], "finish")
        skipped = [(r["sql_status"], r["sql_type"], r["sql_name"]) for r in rows if "in progress" in r["sql_name"]]
        self.assertEqual(skipped, [("FAIL", "warn", "%s backup is already in progress for user account %s." % (s, alice))
                                   for s in ("Calendar", "Contact")])

    def test_a_service_that_never_succeeds_ends_the_run_with_error_before_later_services(self):
        # The pre-count lists the shared drives once; every service attempt after that fails.
        self.fault_n("scoutix", "-shared", "fail", times=1000, skip=1)
        record, rows = self.run_to_history(shared_drive_enable="1", drive_enable="1")
        self.assertEqual(record["backup_status"], "error")
        self.assertIn("end_time", record)
        names = [r["sql_name"] for r in rows]
        self.assertEqual(names.count("Error occurred while backing up all accounts in domain %s: Shared drive "
                                     "backup fail.." % ADMIN), 15)
        self.assertEqual(len([n for n in names if n.startswith("Shared drive backup fail. Waiting")]), 14)
        self.assertIn("Shared drive backup fail. Waiting 30000 sec before retry 13.", names)
        self.assertNotIn("Completed backup for all accounts in domain %s." % ADMIN, names)
        self.assertEqual(self.calls("tallyx"), [])  # Drive, after Shared Drive, never ran
        self.assertEqual(record["drive_total"] + record["shared_drive_total"], record["backup_total"])

    def test_a_shared_drive_the_administrator_cannot_read_is_skipped_and_the_run_goes_on(self):
        self.fault("gam", "adminaccess", "fail")
        record, rows = self.run_to_history(shared_drive_enable="1", drive_enable="1")
        self.assertEqual(record["backup_status"], "finish")
        names = [r["sql_name"] for r in rows]
        self.assertNotIn("Error occurred while backing up all accounts in domain %s: Shared drive backup fail.." % ADMIN,
                         names)
        skipped = [r for r in rows if r["sql_name"].startswith("Failed to get Shared Drive permission list")]
        self.assertTrue(skipped, names)
        self.assertEqual({r["sql_status"] for r in skipped}, {"FAIL"})
        self.assertEqual(len(self.calls("tallyx")), 1)  # Drive, after Shared Drive, ran once
        self.assertEqual(names[-1], "Completed backup for all accounts in domain %s." % ADMIN)

    def test_gam_set_up_and_count_failures_end_with_error_and_their_row(self):
        cases = [
            ("GAM set-up", dict(skip=None), "Failed to initialize API configuration.", {"drive_enable": "1"}),
            ("Drive count", dict(skip=1), "Failed in Drive counting process.", {"drive_enable": "1"}),
            ("Shared Drive count", dict(skip=None), "Failed in Shared Drive counting process.",
             {"shared_drive_enable": "1", "match": "-shared"}),
        ]
        for name, kw, message, switches in cases:
            with self.subTest(name):
                self.clear_faults()
                shutil.rmtree(self.gws("conf/mission"), ignore_errors=True)
                switches = dict(switches)
                self.fault_n("scoutix", switches.pop("match", "-info"), "fail", times=1, **kw)
                record, rows = self.run_to_history(**switches)
                self.assertEqual(record["backup_status"], "error")
                self.assertIn("end_time", record)
                self.assertEqual((rows[-1]["sql_status"], rows[-1]["sql_name"]), ("FAIL", message))


class BackupMode(BackupCase):

    def test_the_backup_mode_runs_the_same_with_the_scheduled_name(self):
        mission = str(uuid.uuid4())
        sched = self.gws("conf/mission/scheduling_mission")
        os.makedirs(sched, exist_ok=True)
        with open(os.path.join(sched, mission), "w") as f:
            json.dump({"mission_name": "Nightly", "backup_status": "scheduling"}, f)
        r = self.run_plain(mission, "1", "1", "0", "0", "0")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, b"")  # standard output is /dev/null in a worker
        [record] = self.history()
        self.assertEqual(record["backup_status"], "finish", self.messages())
        self.assertEqual((record["mission_name"], record["backup_mode"]), ("Nightly", "scheduling"))
        self.assertNotIn("last_time", record)
        self.assertEqual(set(record) - {"file"}, HISTORY_KEYS)
        self.assertEqual(record["service"], ["drive", "shared_drive"])
        self.assertFalse(os.path.exists(self.gws("conf/mission", mission)))
        # The scheduling record is listed again once the run is over.
        [listed] = self.mission_list()
        self.assertEqual((listed["mission_id"], listed["elapsed_time"]), (mission, -1))

    def test_the_backup_mode_refuses_checks_as_the_action_does(self):
        self.fault("scoutix", "-check_drive", "fail")
        r = self.run_plain(str(uuid.uuid4()), "1", "0", "0", "0", "0")
        self.assertEqual(r.returncode, 0)
        [early] = self.history()
        self.assertEqual(early["backup_status"], "error")
        self.assertEqual(early["mission_name"][:4], "Task")
        self.assertEqual(self.messages()[-1],
                         "Backup failed for domain %s: Google Workspace authorization check failed." % ADMIN)


class MissionLists(BackupCase):
    """Records laid down by hand: what each list shows of them."""

    def put(self, folder, name, record):
        path = self.gws("conf/mission", folder, name) if folder else self.gws("conf/mission", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(record if isinstance(record, str) else json.dumps(record))

    def test_lists_order_filter_and_hide_id_maps(self):
        run, sched_only, hist_a, hist_b, hist_c = (str(uuid.uuid4()) for _ in range(5))
        self.put("", run, {"mission_name": "Run", "domain": "d@x", "start_time": 100, "backup_current": 50,
                           "backup_total": 40, "drive_current": 1, "drive_total": 4, "restore_idmap_drive": ["a"],
                           "restore_idmap_gmail": [], "restore_idmap_shared_drive": [], "total_progress": 3.0})
        self.put("scheduling_mission", run, {"mission_name": "Run", "start_time": 9})  # shown once, as running
        self.put("scheduling_mission", sched_only, {"mission_name": "Later", "domain": "d@x"})
        self.put("", "garbled", "{not json")
        self.put("history_mission", hist_a, {"mission_name": "A", "start_time": 10, "end_time": 25})
        self.put("history_mission", hist_b, {"mission_name": "B", "domain": "b@y", "start_time": 30})
        self.put("history_mission", hist_c, {"mission_name": "C", "start_time": 20, "end_time": 5,
                                             "restore_idmap_shared_drive": ["z"]})
        listed = self.mission_list()
        self.assertEqual([m["mission_id"] for m in listed], [sched_only, run])
        self.assertEqual(listed[0]["elapsed_time"], -1)
        entry = listed[1]
        self.assertEqual((entry["total_progress"], entry["drive_progress"]), (100.0, 25.0))
        self.assertFalse(any(k.startswith("restore_idmap") for k in entry))
        self.assertEqual([m["mission_id"] for m in self.mission_list(key_word="Later")], [sched_only])
        self.assertEqual(self.mission_list(key_word="run"), [])  # case-sensitive
        hist = self.mission_list("history_mission_list")
        self.assertEqual([(m["mission_name"], m["elapsed_time"]) for m in hist], [("B", 0), ("C", 0), ("A", 15)])
        self.assertFalse(any(k.startswith("restore_idmap") for m in hist for k in m))
        self.assertEqual([m["mission_name"] for m in self.mission_list("history_mission_list", key_word="b@y")], ["B"])
        # The stored files are untouched by the lists.
        with open(self.gws("conf/mission", run)) as f:
            self.assertEqual(json.load(f)["total_progress"], 3.0)

    def waiting_cgi(self):
        """A live orvenna.cgi process, standing for an export's worker: it waits for a body."""
        env = self.env(GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD="POST", CONTENT_LENGTH="100",
                       CONTENT_TYPE="application/x-www-form-urlencoded", QUERY_STRING="act=list_task")
        proc = subprocess.Popen([self.path(qlmtest.APP, "webman", "orvenna.cgi")], env=env, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        return proc.pid

    def test_running_exports_come_first_from_their_shared_progress(self):
        import struct
        good, short, no_marker, dead = (str(uuid.uuid4()) for _ in range(4))
        data = struct.pack("<iii256s256s256s256s", 3, 12, 1000, b"Export1", b"bob@example.test", b"drive", b"export")
        self.assertEqual(len(data), 1036)
        made = []
        worker = self.waiting_cgi()
        try:
            for name, body in ((good, data), (short, data[:500]), (no_marker, data), (dead, data)):
                with open("/dev/shm/" + name, "wb") as f:
                    f.write(body)
                made.append(name)
            for name in (good, short):
                self.put("progress_mission", name, str(worker))
            self.put("progress_mission", dead, "4242")
            self.put("scheduling_mission", str(uuid.uuid4()), {"mission_name": "Later"})
            listed = self.mission_list()
            self.assertEqual(listed[0], {"mission_id": good, "service": ["drive"], "total_progress": 25.0,
                                         "mode": "export", "start_time": 1000,
                                         "elapsed_time": listed[0]["elapsed_time"], "domain": "bob@example.test",
                                         "mission_name": "Export1", "backup_status": "exporting"})
            self.assertGreater(listed[0]["elapsed_time"], 0)
            # A truncated object or one without its marker is no running export.
            self.assertEqual([m.get("mission_name") for m in listed], ["Export1", "Later"])
            self.assertEqual([m["mission_id"] for m in self.mission_list(key_word="bob@")], [good])
            # One whose worker is gone is filed as failed, once, and its traces go.
            self.assertFalse(os.path.exists(self.gws("conf/mission/progress_mission", dead)))
            self.assertFalse(os.path.exists("/dev/shm/" + dead))
            failed = [m for m in self.mission_list("history_mission_list") if m["backup_status"] == "error"]
            self.assertEqual([(m["mission_name"], m["domain"], m["service"], m["start_time"]) for m in failed],
                             [("Export1", "bob@example.test", ["drive"], 1000)])
        finally:
            for name in made:
                if os.path.exists("/dev/shm/" + name):
                    os.unlink("/dev/shm/" + name)

if __name__ == "__main__":
    unittest.main()
