"""Scheduled missions (add, edit, detail, run now), mission abort and mission delete through
orvenna.cgi, against the simulated demo domain. No scheduler daemon is needed: runs start through
run_mission and the backup action."""

import json
import os
import signal
import struct
import subprocess
import sys
import time
import unittest
import uuid

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_backup  # noqa: E402
import test_tasks  # noqa: E402
from test_backup import alive, proc_table  # noqa: E402

ADMIN = test_tasks.ADMIN
RECORD_KEYS = ["service", "mission_name", "backup_scheduling_enable", "task_id", "domain", "mode", "start_time",
               "backup_status", "total_amount", "backuped_amount", "schedule_frequency", "schedule_interval",
               "schedule_year", "schedule_month", "schedule_day", "schedule_week", "schedule_hour",
               "schedule_minute", "schedule_hour_end", "schedule_minute_end", "backup_mode"]
FLAGS = ["drive_enable", "shared_drive_enable", "calendar_enable", "gmail_enable", "contact_enable"]
# A "once" schedule long past: even a daemon that a signal starts never runs it.
# How far, in seconds, a worker's start may trail its mission's.
SLACK = 5
NEVER = {"schedule_frequency": "once", "schedule_year": "2001", "schedule_month": "1", "schedule_day": "1",
         "schedule_hour": "0", "schedule_minute": "0"}


class MissionCase(test_backup.BackupCase):
    """A task of the demo domain per test, and helpers over scheduling and history records."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # These suites check what the actions themselves write and signal. A daemon that a
        # schedule change starts would rewrite start_time and next_time meanwhile, so this root
        # has none; the actions with the daemon running are tested in test_daemon.py.
        daemon = cls.path(qlmtest.APP, "bin", "qlm_deamon")
        if os.path.exists(daemon):
            os.rename(daemon, daemon + ".off")

    @classmethod
    def tearDownClass(cls):
        # Whatever this root's programs left running (a worker, or a daemon that a schedule
        # change started once the daemon is installed) ends with the root.
        if cls.root:
            for pid in proc_table():
                try:
                    if os.readlink("/proc/%d/exe" % pid).startswith(cls.root + "/"):
                        os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        super().tearDownClass()

    def tearDown(self):
        super().tearDown()
        for pid in getattr(self, "spawned", []):
            if pid.poll() is None:
                pid.kill()
                pid.wait()

    def sched_path(self, mission):
        return self.gws("conf/mission/scheduling_mission", mission)

    def sched(self, mission):
        with open(self.sched_path(mission)) as f:
            return json.load(f)

    def put(self, rel, content):
        path = self.gws("conf/mission", rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(content if isinstance(content, str) else json.dumps(content))
        return path

    def clone_task(self):
        """A second task of the same domain, made as a copy of the first one's file."""
        other = str(uuid.uuid4())
        with open(self.gws("conf", self.task)) as f:
            text = f.read()
        with open(self.gws("conf", other), "w") as f:
            f.write(text.replace(self.task, other))
        return other

    def sleeper(self):
        """A live process of the test that is no worker of the system."""
        p = subprocess.Popen(["sleep", "600"])
        self.spawned = getattr(self, "spawned", []) + [p]
        return p.pid


class ScheduleActions(MissionCase):

    def test_add_stores_every_key_in_order_and_logs(self):
        mission = self.add_schedule(
            mission_name="Nightly", backup_scheduling_enable="1", drive_enable="1", gmail_enable="1",
            contact_enable="0", schedule_frequency="weekly", schedule_interval="60", schedule_year="2024",
            schedule_month="3", schedule_day="1, 15", schedule_week="monday,friday", schedule_hour="01",
            schedule_minute="30", schedule_hour_end="05", schedule_minute_end="00")
        rec = self.sched(mission)
        self.assertEqual(list(rec), RECORD_KEYS)
        conf = self.task_conf(self.task)
        expected = {
            "service": ["drive", "gmail"], "mission_name": "Nightly", "backup_scheduling_enable": 1,
            "task_id": self.task, "domain": ADMIN, "mode": "backup", "backup_status": "scheduling",
            "total_amount": int(conf["total_user_number"]), "backuped_amount": int(conf["total_user_number"]),
            "schedule_frequency": "weekly", "schedule_interval": "60", "schedule_year": "2024",
            "schedule_month": "3", "schedule_day": '["1","15"]', "schedule_week": '["monday","friday"]',
            "schedule_hour": "01", "schedule_minute": "30", "schedule_hour_end": "05", "schedule_minute_end": "00",
            "backup_mode": "scheduling"}
        for key, value in expected.items():
            self.assertEqual(rec[key], value, key)
        self.assertLessEqual(abs(rec["start_time"] - time.time()), 60)
        self.assertLogged("User admin added Nightly to the task list.", task_id=self.task, domain=ADMIN,
                          user="admin", sql_status="SUCCESS", sql_event="backup", sql_type="info")

    def test_add_with_the_least_gives_defaults_and_nulls(self):
        mission = self.add_schedule(mission_name="")
        rec = self.sched(mission)
        self.assertEqual(list(rec), RECORD_KEYS)
        self.assertEqual(rec["service"], [])
        self.assertEqual(rec["backup_scheduling_enable"], -1)
        self.assertRegex(rec["mission_name"], r"^Task\d{8}-\d+$")
        for key in ("schedule_frequency", "schedule_interval", "schedule_hour", "schedule_minute_end"):
            self.assertIsNone(rec[key], key)
        self.assertEqual((rec["schedule_day"], rec["schedule_week"]), ("[]", "[]"))
        self.assertLogged("User admin added %s to the task list." % rec["mission_name"])

    def test_add_refusals(self):
        self.put("scheduling_mission/keep", "{}")
        cases = [({}, 5303), ({"task_id": "../../conf"}, 5302), ({"task_id": str(uuid.uuid4())}, 5302)]
        for params, code in cases:
            with self.subTest(params=params):
                reply = self.request(dict({"act": "add_schedule_mission"}, **params))
                self.assertEqual(reply, {"success": False, "error_code": code, "error_msg": "task_id"})
        self.assertEqual(os.listdir(self.gws("conf/mission/scheduling_mission")), ["keep"])

    def test_edit_replaces_the_schedule_and_keeps_the_task_keys(self):
        mission = self.add_schedule(mission_name="Nightly", backup_scheduling_enable="1", drive_enable="1",
                                    schedule_frequency="daily", schedule_hour="1", schedule_minute="0",
                                    schedule_interval="30")
        rec = self.sched(mission)
        rec.update(next_time=1234, last_time=1200, total_amount=77, backuped_amount=5, start_time=1,
                   backup_status="abort", mode="restore", backup_mode="scheduling")
        self.put("scheduling_mission/" + mission, rec)
        before = len(self.log_rows())
        reply = self.request({"act": "edit_schedule_mission", "mission_id": mission, "mission_name": "Weekly",
                              "backup_scheduling_enable": "0", "gmail_enable": "1", "calendar_enable": "1",
                              "schedule_frequency": "monthly", "schedule_day": "31,1", "schedule_week": "sunday",
                              "schedule_hour": "2", "schedule_minute": "15"})
        self.assertEqual(reply, {"success": True, "mission_id": mission})
        after = self.sched(mission)
        # The daemon's announcement of the old schedule is withdrawn until it announces anew.
        self.assertEqual(list(after), RECORD_KEYS + ["last_time"])
        rec.pop("next_time")
        expected = dict(rec, service=["gmail", "calendar"], backup_scheduling_enable=0, mode="backup",
                        backup_status="scheduling", mission_name="Weekly", schedule_frequency="monthly",
                        schedule_interval=None, schedule_year=None, schedule_month=None,
                        schedule_day='["31","1"]', schedule_week='["sunday"]', schedule_hour="2",
                        schedule_minute="15", schedule_hour_end=None, schedule_minute_end=None)
        for key in expected:
            if key != "start_time":
                self.assertEqual(after[key], expected[key], key)
        self.assertGreater(after["start_time"], 1)
        [row] = self.log_rows()[before:]
        self.assertEqual((row["sql_name"], row["task_id"], row["domain"], row["user"]),
                         ("User admin edited the settings of task Nightly.", self.task, ADMIN, "admin"))

    def test_an_edit_with_an_empty_name_gives_the_default_name(self):
        mission = self.add_schedule(mission_name="Nightly", **NEVER)
        reply = self.request(dict({"act": "edit_schedule_mission", "mission_id": mission, "mission_name": ""},
                                  **NEVER))
        self.assertEqual(reply, {"success": True, "mission_id": mission})
        self.assertRegex(self.sched(mission)["mission_name"], r"^Task\d{8}-\d+$")
        self.assertLogged("User admin edited the settings of task Nightly.")

    def test_names_stored_as_sent_reach_every_page_as_valid_utf8(self):
        # %ff%fe, an overlong "/" and a surrogate: a strict client (json_body decodes strictly)
        # reads each as U+FFFD, while the record keeps the bytes as sent.
        name = b"Nightly\xff\xfe\xc0\xaf\xed\xa0\x80"
        shown = name.decode("utf-8", "replace")
        mission = self.add_schedule(mission_name=name, **NEVER)
        with open(self.sched_path(mission), "rb") as f:
            self.assertIn(name, f.read())
        detail = self.request({"act": "detail_schedule_mission", "mission_id": mission})
        self.assertEqual(detail["data"]["mission_name"], shown)
        [listed] = [m for m in self.mission_list() if m["mission_id"] == mission]
        self.assertEqual(listed["mission_name"], shown)
        message = "User admin added %s to the task list." % shown
        for params in ({"act": "list_log"}, {"act": "find_log", "key_word": "Nightly"}):
            with self.subTest(act=params["act"]):
                reply = self.request(dict(params, start="0", limit="100"))
                self.assertIn(message, [row["sql_name"] for row in reply["log"]])

    def test_edit_keeps_the_array_form_the_detail_shows(self):
        mission = self.add_schedule(schedule_frequency="weekly", schedule_week="monday,friday", schedule_day="2")
        data = self.request({"act": "detail_schedule_mission", "mission_id": mission})["data"]
        params = {k: data[k] for k in ("schedule_frequency", "schedule_week", "schedule_day")}
        self.request(dict({"act": "edit_schedule_mission", "mission_id": mission}, **params))
        rec = self.sched(mission)
        self.assertEqual((rec["schedule_week"], rec["schedule_day"]), ('["monday","friday"]', '["2"]'))
        self.assertIsNone(rec["mission_name"])  # an edit without a name stores none, as sent

    def test_detail_shows_the_services_as_booleans(self):
        mission = self.add_schedule(mission_name="Shown", drive_enable="1", contact_enable="1", **NEVER)
        rec = self.sched(mission)
        rec["service"] = ["contact", "drive", "Drive", "mail", 7]
        self.put("scheduling_mission/" + mission, rec)
        reply = self.request({"act": "detail_schedule_mission", "mission_id": mission})
        self.assertEqual(list(reply), ["success", "data"])
        data = reply["data"]
        self.assertEqual(list(data), RECORD_KEYS[1:] + FLAGS)
        self.assertEqual({k: data[k] for k in FLAGS},
                         {"drive_enable": True, "shared_drive_enable": False, "calendar_enable": False,
                          "gmail_enable": False, "contact_enable": True})
        self.assertEqual(data["schedule_day"], '["1"]')
        self.assertEqual(self.sched(mission), rec)  # the file is not changed

    def test_mission_id_refusals_touch_nothing(self):
        victim = self.path("victim")
        with open(victim, "w") as f:
            f.write('{"keep": 1}')
        garbled = str(uuid.uuid4())
        self.put("scheduling_mission/" + garbled, "{not json")
        self.put("history_mission/h", "{}")
        hostile = ["../../../../../../../../victim", "../" * 12 + victim.lstrip("/"), victim, "", "x" * 36]
        for act in ("edit_schedule_mission", "detail_schedule_mission", "run_mission", "mission_abort",
                    "mission_delete"):
            with self.subTest(act=act):
                self.assertEqual(self.request({"act": act}),
                                 {"success": False, "error_code": 5303, "error_msg": "mission_id"})
                for mission in hostile + [str(uuid.uuid4())]:
                    self.assertEqual(self.request({"act": act, "mission_id": mission}),
                                     {"success": False, "error_code": 5302, "error_msg": "mission_id"}, mission)
                if act not in ("mission_abort", "mission_delete"):
                    self.assertEqual(self.request({"act": act, "mission_id": garbled})["error_code"], 5302)
        with open(victim) as f:
            self.assertEqual(f.read(), '{"keep": 1}')
        self.assertEqual(os.listdir(self.gws("conf/mission/history_mission")), ["h"])
        self.assertTrue(os.path.exists(self.sched_path(garbled)))
        self.assertEqual(self.history(), [{"file": "h"}])


class RunNow(MissionCase):

    def wait_gone(self, path, deadline=120):
        end = time.monotonic() + deadline
        while time.monotonic() < end and os.path.exists(path):
            time.sleep(0.05)
        return not os.path.exists(path)

    def wait_worker_end(self, pid, deadline=60):
        end = time.monotonic() + deadline
        while time.monotonic() < end and alive(pid):
            time.sleep(0.05)
        self.assertFalse(alive(pid))

    def test_run_now_backs_up_under_the_mission_id_and_keeps_an_enabled_record(self):
        mission = self.add_schedule(mission_name="Nightly", backup_scheduling_enable="1", drive_enable="1",
                                    **NEVER)
        self.assertEqual(self.request({"act": "run_mission", "mission_id": mission}), {"success": True})
        [record] = self.wait_history()
        self.assertEqual(record["backup_status"], "finish", self.messages())
        self.assertEqual((record["mission_name"], record["service"], record["backup_mode"], record["task_id"]),
                         ("Nightly", ["drive"], "scheduling", self.task))
        self.assertGreater(record["drive_total"], 0)
        self.wait_worker_end(record["process_pid"])
        self.assertTrue(os.path.exists(self.sched_path(mission)))
        self.assertFalse(os.path.exists(self.gws("conf/mission", mission)))
        # The worker led a group of its own, apart from the CGI's.
        self.assertEqual({c["pgid"] for c in self.calls("gam") if "pgid" in c} & {os.getpgid(0)}, set())

    def test_run_now_deletes_a_record_enabled_0_or_without_the_flag(self):
        for params in ({"backup_scheduling_enable": "0"}, {}):
            with self.subTest(params=params):
                mission = self.add_schedule(**params)
                rec = self.sched(mission)
                if not params:
                    del rec["backup_scheduling_enable"]
                    self.put("scheduling_mission/" + mission, rec)
                before = len(self.history())
                self.assertEqual(self.request({"act": "run_mission", "mission_id": mission}), {"success": True})
                self.wait_history(before + 1)
                self.assertTrue(self.wait_gone(self.sched_path(mission)))

    def test_run_now_answers_at_once_while_the_backup_hangs(self):
        # The request's pipes are not held by the worker: the reply comes back before the run ends.
        self.fault("gam", "filetree", "hang")
        mission = self.add_schedule(drive_enable="1", backup_scheduling_enable="1", **NEVER)
        self.assertEqual(self.request({"act": "run_mission", "mission_id": mission}), {"success": True})
        record = self.running(mission)
        self.workers = [record["process_pid"]]
        self.assertEqual(record["backup_mode"], "scheduling")
        self.assertEqual(os.getpgid(record["process_pid"]), record["process_pid"])
        with open("/proc/%d/cmdline" % record["process_pid"], "rb") as f:
            self.assertTrue(f.read().split(b"\0")[0].endswith(b"/orvenna.cgi"))
        fds = {os.readlink("/proc/%d/fd/%d" % (record["process_pid"], n)) for n in (0, 1, 2)}
        self.assertEqual(fds, {"/dev/null"})


class Abort(MissionCase):

    def start_hanging(self, task, scheduled):
        """A backup of task whose Drive download hangs and ignores SIGTERM; (mission id, worker pid)."""
        if scheduled:
            mission = self.add_schedule(task, drive_enable="1", backup_scheduling_enable="1", **NEVER)
            self.assertEqual(self.request({"act": "run_mission", "mission_id": mission}), {"success": True})
        else:
            mission = self.request({"act": "backup", "task_id": task, "drive_enable": "1"})["mission_id"]
        worker = self.running(mission)["process_pid"]
        self.workers = getattr(self, "workers", []) + [worker]
        return mission, worker

    def test_abort_stops_one_run_with_all_its_tools_and_leaves_the_other(self):
        self.fault("gam", "get drivefile", "hang_noterm")
        other_task = self.clone_task()
        mission, worker = self.start_hanging(self.task, scheduled=True)
        other_mission, other_worker = self.start_hanging(other_task, scheduled=False)
        tools = self.wait_tools(worker)
        other_tools = self.wait_tools(other_worker)
        self.assertEqual(tools & other_tools, set())
        self.assertEqual(self.sched(mission)["schedule_frequency"], "once")
        running = self.running(mission)

        self.assertEqual(self.request({"act": "mission_abort", "mission_id": mission}), {"success": True})
        # By the reply the worker and every tool it started are gone, the one ignoring SIGTERM too.
        self.assertFalse(alive(worker))
        self.assertEqual({p for p in tools if alive(p)}, set())
        self.assertFalse(os.path.exists(self.gws("conf/mission", mission)))
        [filed] = self.history()
        self.assertEqual(filed["backup_status"], "abort")
        self.assertGreaterEqual(filed["end_time"], filed["start_time"])
        for key in ("mission_name", "task_id", "start_time", "process_pid", "backup_mode", "service"):
            self.assertEqual(filed[key], running[key], key)
        # A "once" schedule is marked so and kept (enable 1).
        self.assertEqual(self.sched(mission)["backup_status"], "abort")
        # The other run goes on untouched.
        self.assertTrue(alive(other_worker))
        self.assertEqual({p for p in other_tools if alive(p)}, other_tools)
        self.assertTrue(os.path.exists(self.gws("conf/mission", other_mission)))

        self.assertEqual(self.request({"act": "mission_abort", "mission_id": other_mission}), {"success": True})
        self.assertEqual({p for p in other_tools if alive(p)}, set())
        self.assertEqual(sorted(r["backup_status"] for r in self.history()), ["abort", "abort"])
        self.assertEqual(os.listdir(self.path("root")), [])  # no worker left its copy of the key
        self.workers = []

    def test_a_task_deleted_while_it_backs_up_is_stopped_and_nothing_of_it_comes_back(self):
        # Every Drive download is slow: the run is half way through the store when the delete comes.
        self.fault("gam", "get drivefile", "delay", "--ms", "300")
        for scheduled in (False, True):
            with self.subTest(scheduled=scheduled):
                if scheduled:
                    self.task = self.new_task()
                mission, worker = self.start_hanging(self.task, scheduled)
                store = self.gws("backup/drive", self.task)
                end = time.monotonic() + 60
                while time.monotonic() < end and not any(files for _, _, files in os.walk(store)):
                    time.sleep(0.05)
                self.assertTrue(os.path.isdir(store), "the run never reached the store")
                before = len(self.history())

                self.assertEqual(self.request({"act": "delete", "task_id": self.task, "password": "admin"}),
                                 {"success": True})
                # By the reply the worker and every tool of it are gone, and the run is filed "abort".
                self.assertFalse(alive(worker))
                self.assertEqual([p for p, (state, ppid, pgrp, cmd) in proc_table().items()
                                  if self.root in cmd and p != os.getpid() and state != "Z"], [])
                filed = [r for r in self.history() if r["task_id"] == self.task]
                self.assertEqual(len(self.history()), before + 1)
                self.assertEqual([r["backup_status"] for r in filed], ["abort"])
                self.assertFalse(os.path.exists(self.gws("conf/mission", mission)))
                self.assertFalse(os.path.exists(self.sched_path(mission)))
                for left in (self.gws("conf", self.task), store, self.gws("backup/drive_db", self.task)):
                    self.assertFalse(os.path.exists(left), left)
                # The delete's own row is the task's last: the run's earlier rows stay.
                rows = [r["sql_name"] for r in self.log_rows() if r["task_id"] == self.task]
                self.assertEqual(rows[-1], "User admin removed %s from the domain list." % ADMIN, rows)
                self.assertIn("Started backup for all accounts in domain %s." % ADMIN, rows)
                self.workers = []

    def test_abort_of_an_enable_0_schedule_removes_it(self):
        self.fault("gam", "filetree", "hang")
        mission = self.add_schedule(drive_enable="1", backup_scheduling_enable="0", **NEVER)
        self.assertEqual(self.request({"act": "run_mission", "mission_id": mission}), {"success": True})
        worker = self.running(mission)["process_pid"]
        self.workers = [worker]
        self.assertEqual(self.request({"act": "mission_abort", "mission_id": mission}), {"success": True})
        self.assertFalse(alive(worker))
        self.assertFalse(os.path.exists(self.sched_path(mission)))
        [filed] = self.history()
        self.assertEqual(filed["backup_status"], "abort")

    def test_stale_running_records_are_filed_and_nothing_else_is_signalled(self):
        sleeper = self.sleeper()
        cases = [("not json", "{broken", {"backup_status": "abort"}),
                 ("no pid", {"mission_name": "A"}, {"mission_name": "A", "backup_status": "abort"}),
                 ("pid 0", {"mission_name": "B", "process_pid": 0}, None),
                 ("pid of another program", {"mission_name": "C", "process_pid": sleeper}, None),
                 ("pid gone", {"mission_name": "D", "process_pid": 2 ** 22 + 1}, None)]
        for name, content, expected in cases:
            with self.subTest(name):
                filed = self.abort_stale(content)
                self.assertLessEqual(abs(filed.pop("end_time") - time.time()), 60)
                filed.pop("file")
                self.assertEqual(filed, expected or dict(content, backup_status="abort"))
        self.assertTrue(alive(sleeper))

    def abort_stale(self, content):
        """Aborts a running record of this content, which it must file; the history record."""
        mission = str(uuid.uuid4())
        self.put(mission, content)
        before = {r["file"] for r in self.history()}
        self.assertEqual(self.request({"act": "mission_abort", "mission_id": mission}), {"success": True})
        [filed] = [r for r in self.history() if r["file"] not in before]
        self.assertFalse(os.path.exists(self.gws("conf/mission", mission)))
        return filed

    def test_a_pid_that_a_later_process_took_is_never_signalled(self):
        # Another task's worker, started now, stands for any process that took a stale pid since:
        # a web request of orvenna.cgi or a worker with its tools.
        self.fault("gam", "filetree", "hang")
        other_task = self.clone_task()
        _, worker = self.start_hanging(other_task, scheduled=False)
        end = time.monotonic() + 60
        while not self.hanging_listing(worker) and time.monotonic() < end:
            time.sleep(0.05)
        tools = self.gam_tools_of(worker)
        self.assertNotEqual(tools, set())
        hour_ago = int(time.time()) - 3600
        for name, content in [("started an hour before", {"mission_name": "Old", "process_pid": worker,
                                                          "start_time": hour_ago}),
                              ("no start", {"mission_name": "Unknown", "process_pid": worker})]:
            with self.subTest(name):
                filed = self.abort_stale(content)
                self.assertEqual((filed["mission_name"], filed["backup_status"]), (content["mission_name"], "abort"))
                self.assertTrue(alive(worker))
                self.assertEqual({p for p in tools if alive(p)}, tools)
        with self.subTest("export marker written an hour before"):
            export = str(uuid.uuid4())
            self.shm(export)
            marker = self.put("progress_mission/" + export, str(worker))
            os.utime(marker, (hour_ago, hour_ago))
            self.assertEqual(self.request({"act": "mission_abort", "mission_id": export}), {"success": True})
            self.assertFalse(os.path.exists(marker))
            # Its worker is gone (the pid is a later process's): filed as a dead export is.
            [filed] = [r for r in self.history() if r.get("mode") == "export"]
            self.assertEqual((filed["mission_name"], filed["backup_status"]), ("Export1", "error"))
            self.assertTrue(alive(worker))
            self.assertFalse(os.path.exists("/dev/shm/" + export))

    def test_a_worker_whose_checks_took_long_is_still_stopped(self):
        # The permission checks run before the worker starts; a slow one must not make the worker
        # look younger than its mission.
        scoutix = self.path(qlmtest.APP, "bin", "scoutix")
        os.rename(scoutix, scoutix + ".real")
        try:
            with open(scoutix, "w") as f:
                f.write('#!/bin/sh\ncase "$1" in -check_drive) sleep %d;; esac\nexec "$0.real" "$@"\n'
                        % (SLACK + 3))
            os.chmod(scoutix, 0o755)
            self.fault("gam", "filetree", "hang")
            mission, worker = self.start_hanging(self.task, scheduled=False)
            # The wrapper stays until the abort: the worker's own GAM set-up runs scoutix through it
            # too, and a wrapper whose real program was renamed under it would fail that run.
            self.assertEqual(self.request({"act": "mission_abort", "mission_id": mission}), {"success": True})
        finally:
            os.replace(scoutix + ".real", scoutix)
        self.assertFalse(alive(worker))
        [filed] = self.history()
        self.assertEqual(filed["backup_status"], "abort")

    def shm(self, mission, service=b"drive"):
        data = struct.pack("<iii256s256s256s256s", 3, 12, 1000, b"Export1", b"bob@example.test", service, b"export")
        with open("/dev/shm/" + mission, "wb") as f:
            f.write(data)
        self.shms = getattr(self, "shms", []) + [mission]

    def tearDown(self):
        super().tearDown()
        for name in getattr(self, "shms", []):
            if os.path.exists("/dev/shm/" + name):
                os.unlink("/dev/shm/" + name)

    def test_export_abort_ends_the_worker_files_the_history_and_cleans_up(self):
        # Any orvenna.cgi worker serves as the export's: a backup whose listing hangs.
        self.fault("gam", "filetree", "hang")
        _, worker = self.start_hanging(self.task, scheduled=False)
        export = str(uuid.uuid4())
        self.shm(export)
        marker = self.put("progress_mission/" + export, str(worker))
        self.assertEqual(self.request({"act": "mission_abort", "mission_id": export}), {"success": True})
        self.assertFalse(alive(worker))
        self.assertFalse(os.path.exists(marker))
        self.assertFalse(os.path.exists("/dev/shm/" + export))
        [filed] = [r for r in self.history() if r.get("mode") == "export"]
        self.assertLessEqual(abs(filed.pop("end_time") - time.time()), 60)
        filed.pop("file")
        self.assertEqual(filed, {"service": ["drive"], "mission_name": "Export1", "domain": "bob@example.test",
                                 "mode": "export", "start_time": 1000, "backup_status": "abort"})

    def test_an_export_whose_worker_is_gone_is_filed_error_when_aborted(self):
        # Killed, or the NAS restarted: the marker names no live worker of the export. The abort
        # files it as the mission list does, and removes its shared progress record; without a
        # progress record there is nothing to file, and only the marker goes.
        sleeper = self.sleeper()
        for name, content, with_shm in [("garbage", "12ab", True), ("empty", "", True), ("pid 1", "1", True),
                                        ("pid -1", "-1", True), ("another program", str(sleeper), True),
                                        ("gone", str(2 ** 22 + 1), True), ("gone, no progress record",
                                                                          str(2 ** 22 + 1), False)]:
            with self.subTest(name):
                export = str(uuid.uuid4())
                if with_shm:
                    self.shm(export)
                marker = self.put("progress_mission/" + export, content)
                before = {r["file"] for r in self.history()}
                self.assertEqual(self.request({"act": "mission_abort", "mission_id": export}), {"success": True})
                self.assertFalse(os.path.exists(marker))
                self.assertFalse(os.path.exists("/dev/shm/" + export))
                filed = [r for r in self.history() if r["file"] not in before]
                self.assertEqual([(r["mission_name"], r["mode"], r["backup_status"]) for r in filed],
                                 [("Export1", "export", "error")] if with_shm else [])
                # Not in the running list either: nowhere but in the history.
                self.assertEqual(self.request({"act": "mission_abort", "mission_id": export}),
                                 {"success": False, "error_code": 5302, "error_msg": "mission_id"})
        self.assertTrue(alive(sleeper))

    def test_a_live_export_worker_without_its_progress_record_is_stopped_with_5302(self):
        self.fault("gam", "filetree", "hang")
        _, worker = self.start_hanging(self.task, scheduled=False)
        export = str(uuid.uuid4())
        marker = self.put("progress_mission/" + export, str(worker))
        self.assertEqual(self.request({"act": "mission_abort", "mission_id": export}),
                         {"success": False, "error_code": 5302, "error_msg": "mission_id"})
        self.assertFalse(os.path.exists(marker))
        self.assertEqual([r for r in self.history() if r.get("mode") == "export"], [])


class Delete(MissionCase):

    def test_delete_removes_only_the_named_record_and_logs_schedules(self):
        keep = self.add_schedule(mission_name="Keep", **NEVER)
        gone = self.add_schedule(mission_name="Gone", **NEVER)
        hist_keep, hist_gone = str(uuid.uuid4()), str(uuid.uuid4())
        self.put("history_mission/" + hist_keep, {"mission_name": "H1"})
        self.put("history_mission/" + hist_gone, {"mission_name": "H2"})
        self.put("history_mission/" + gone, {"mission_name": "same id"})  # the schedule goes first
        before = len(self.log_rows())

        self.assertEqual(self.request({"act": "mission_delete", "mission_id": gone}), {"success": True})
        self.assertFalse(os.path.exists(self.sched_path(gone)))
        self.assertTrue(os.path.exists(self.gws("conf/mission/history_mission", gone)))
        [row] = self.log_rows()[before:]
        self.assertEqual((row["sql_name"], row["task_id"], row["domain"], row["user"], row["sql_status"]),
                         ("User admin removed Gone from the task list.", self.task, ADMIN, "admin", "SUCCESS"))

        for mission in (hist_gone, gone):
            self.assertEqual(self.request({"act": "mission_delete", "mission_id": mission}), {"success": True})
        self.assertEqual(len(self.log_rows()), before + 1)  # history records leave no row
        self.assertEqual(os.listdir(self.gws("conf/mission/scheduling_mission")), [keep])
        self.assertEqual(os.listdir(self.gws("conf/mission/history_mission")), [hist_keep])
        self.assertEqual(self.request({"act": "mission_delete", "mission_id": gone}),
                         {"success": False, "error_code": 5302, "error_msg": "mission_id"})


if __name__ == "__main__":
    unittest.main()
