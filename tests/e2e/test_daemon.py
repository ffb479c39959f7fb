"""The scheduler daemon qlm_deamon under a test root: it starts each scheduled mission as
orvenna.cgi -backup at its time, reloads at once on SIGUSR1, keeps to one instance, and ends when
nothing is scheduled. The clock knob QLM_TIME_OFFSET puts the daemon a few seconds before a
schedule's minute, in UTC."""

import calendar
import datetime
import json
import os
import shlex
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import uuid
import zoneinfo

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_backup  # noqa: E402

ADMIN = test_backup.ADMIN
# What a web server hands the CGI program that starts the daemon.
CGI_ENV = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET", "QUERY_STRING": "act=edit_schedule_mission",
           "HTTP_COOKIE": "NAS_SID=x"}


def minute_ahead(seconds_before):
    """(T, offset): T a minute boundary over a minute away, offset the shift that makes the clock
    read seconds_before seconds before T now."""
    real = int(time.time())
    target = (real // 60 + 2) * 60
    return target, target - seconds_before - real


BERLIN = "Europe/Berlin"


def berlin(y, mo, d, h=0, mi=0):
    """The instant of a Berlin wall time, its day carried over as the schedules carry it:
    30 February 2027 is 2 March."""
    day = datetime.date(y, mo, 1) + datetime.timedelta(days=d - 1)
    return int(datetime.datetime(day.year, day.month, day.day, h, mi, tzinfo=zoneinfo.ZoneInfo(BERLIN)).timestamp())


class DaemonCase(test_backup.BackupCase):

    def setUp(self):
        super().setUp()
        self.offset = 0
        self.zone = "UTC"
        self.fixed = None  # an instant: the clock stands there instead of running on with the offset
        os.makedirs(self.sched_dir, mode=0o700, exist_ok=True)

    def tearDown(self):
        for pid in self.daemons():
            self.kill_quietly(os.kill, pid)
        self.wait_for(lambda: not self.daemons(), "the daemons never ended")
        for pid in self.running_workers():
            self.kill_quietly(lambda p, sig: os.killpg(os.getpgid(p), sig), pid)
        super().tearDown()

    @staticmethod
    def kill_quietly(kill, pid):
        try:
            kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass  # it ended by itself meanwhile

    @property
    def sched_dir(self):
        return self.gws("conf/mission/scheduling_mission")

    @property
    def daemon_path(self):
        return self.path(qlmtest.APP, "bin", "qlm_deamon")

    def clock_env(self):
        """The zone and the shifted clock the daemon runs on (a CGI that starts it passes them on)."""
        # Suites that borrow these helpers without this class's set-up run on UTC's moving clock.
        zone, fixed = getattr(self, "zone", "UTC"), getattr(self, "fixed", None)
        if fixed is not None:
            return {"TZ": zone, "QLM_FIXED_TIME": str(fixed)}
        return {"TZ": zone, "QLM_TIME_OFFSET": str(self.offset)}

    def daemon_env(self, **extra):
        return self.env(**self.clock_env(), **extra)

    def start_daemon(self, *args):
        """Runs qlm_deamon as the CGI program does: with its environment and an open descriptor of
        its own (as its database would be). The exit status."""
        with tempfile.TemporaryFile() as held:
            return subprocess.run([self.daemon_path] + list(args or ["-daemon"]), env=self.daemon_env(**CGI_ENV),
                                  stdin=subprocess.DEVNULL, capture_output=True, pass_fds=(held.fileno(),),
                                  timeout=60).returncode

    def processes(self):
        """pid -> (program name, real program path, process group, session) of every live process
        (a zombie has no program path)."""
        out = {}
        for entry in filter(str.isdigit, os.listdir("/proc")):
            pid = int(entry)
            try:
                exe = os.readlink("/proc/%d/exe" % pid)
                with open("/proc/%d/comm" % pid) as f:
                    comm = f.read().rstrip("\n")
                out[pid] = (comm, exe, os.getpgid(pid), os.getsid(pid))
            except OSError:
                continue
        return out

    def daemons(self):
        """Live processes named qlm_deamon that run this root's daemon program."""
        real = os.path.realpath(self.daemon_path)
        return sorted(pid for pid, (comm, exe, _, _) in self.processes().items() if comm == "qlm_deamon" and exe == real)

    def running_workers(self):
        real = os.path.realpath(self.cgi_path)
        return [pid for pid, (_, exe, _, _) in self.processes().items() if exe == real]

    def wait_for(self, check, message, deadline=60):
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            got = check()
            if got:
                return got
            time.sleep(0.05)
        self.fail(message)

    def daemon_fds(self, pid):
        """fd -> target of the daemon's descriptors, once no record write is under way."""
        tmp = os.path.realpath(self.gws("tmp")) + "/"

        def settled():
            fds = {int(n): os.readlink("/proc/%d/fd/%s" % (pid, n)) for n in os.listdir("/proc/%d/fd" % pid)}
            return None if any(t.startswith(tmp) for t in fds.values()) else fds
        return self.wait_for(settled, "the daemon kept writing")

    def one_daemon(self):
        return self.wait_for(lambda: len(self.daemons()) == 1 and self.daemons()[0], "not exactly one daemon")

    def put_record(self, mission, frequency, at, services=(), name="Scheduled", **schedule):
        """Writes a scheduling record as the schedule actions do, whole (written beside, then renamed)."""
        hm = time.gmtime(at)
        record = {"service": list(services), "mission_name": name, "backup_scheduling_enable": 1,
                  "task_id": self.task, "domain": ADMIN, "mode": "backup", "start_time": int(time.time()),
                  "backup_status": "scheduling", "total_amount": 0, "backuped_amount": 0,
                  "schedule_frequency": frequency, "schedule_interval": None,
                  "schedule_year": str(hm.tm_year), "schedule_month": str(hm.tm_mon),
                  "schedule_day": json.dumps([str(hm.tm_mday)]), "schedule_week": "[]",
                  "schedule_hour": str(hm.tm_hour), "schedule_minute": str(hm.tm_min),
                  "schedule_hour_end": None, "schedule_minute_end": None, "backup_mode": "scheduling"}
        record.update(schedule)
        fd, tmp = tempfile.mkstemp(dir=self.gws("tmp"))
        with os.fdopen(fd, "w") as f:
            json.dump(record, f)
        os.rename(tmp, os.path.join(self.sched_dir, mission))
        return record

    def record(self, mission):
        with open(os.path.join(self.sched_dir, mission)) as f:
            return json.load(f)

    def history_of(self, name):
        return [r for r in self.history() if r["mission_name"] == name]

    def reload(self):
        for pid in self.daemons():
            os.kill(pid, signal.SIGUSR1)

    def stop_daemons(self):
        for pid in self.daemons():
            self.kill_quietly(os.kill, pid)
        self.wait_for(lambda: not self.daemons(), "the daemon never ended")


class Scheduling(DaemonCase):

    def test_a_started_daemon_runs_the_mission_at_its_time_as_the_backup_program(self):
        target, self.offset = minute_ahead(4)
        mission = str(uuid.uuid4())
        self.put_record(mission, "daily", target, services=("drive",))
        self.fault("gam", "filetree", "hang")  # keeps the run going while it is looked at
        self.assertEqual(self.start_daemon(), 0)
        daemon = self.one_daemon()
        # Loaded: the next run is stored (or already tomorrow's, on a slow machine).
        self.wait_for(lambda: self.record(mission).get("next_time") in (target, target + 86400),
                      "next_time never stored")

        running = self.running(mission)  # the running record of the scheduled mission
        worker = running["process_pid"]
        self.workers = [worker]
        self.assertEqual(running["backup_mode"], "scheduling")
        self.assertEqual(running["service"], ["drive"])
        procs = self.processes()
        # The run is the backup program itself, in a session and group of its own; the daemon is
        # the only process of its name.
        self.assertEqual(os.path.realpath(procs[worker][1]), os.path.realpath(self.cgi_path))
        self.assertEqual(procs[worker][2], worker)
        self.assertNotEqual(procs[worker][3], procs[daemon][3])
        self.assertEqual(self.daemons(), [daemon])
        with open("/proc/%d/cmdline" % worker, "rb") as f:
            argv = f.read().split(b"\0")[:-1]
        self.assertEqual([a.decode() for a in argv[1:]], ["-backup", mission, self.task, "1", "0", "0", "0", "0"])
        # A reload request that reaches the run (still under the daemon's name at first) never ends it.
        with open("/proc/%d/status" % worker) as f:
            ignored = int([l for l in f if l.startswith("SigIgn:")][0].split()[1], 16)
        self.assertTrue(ignored & (1 << (signal.SIGUSR1 - 1)))
        # The daemon kept no descriptor of its starter (only its lock and the standard streams).
        fds = self.daemon_fds(daemon)
        self.assertEqual({fds[n] for n in (0, 1, 2)}, {"/dev/null"})
        self.assertEqual([p for n, p in fds.items() if n > 2], [os.path.realpath(self.gws("qlm_deamon.lck"))])

        sched = self.record(mission)
        self.assertEqual(sched["next_time"], target + 86400)
        self.assertEqual(sched["start_time"], target + 86400)
        self.assertGreaterEqual(sched["last_time"], target)
        self.assertEqual(sched["backup_status"], "scheduling")
        self.assertEqual(sched["mission_name"], "Scheduled")

        self.clear_faults()
        self.kill_tools_of(worker, "gam")
        [done] = self.wait_history()
        self.assertEqual(done["mission_name"], "Scheduled")
        self.assertEqual(done["task_id"], self.task)
        self.assertEqual(self.daemons(), [daemon])  # tomorrow's run is still ahead

    def test_a_once_mission_runs_once_ends_finish_and_the_daemon_ends(self):
        target, self.offset = minute_ahead(4)
        mission = str(uuid.uuid4())
        self.put_record(mission, "once", target, name="Just once")
        self.assertEqual(self.start_daemon(), 0)
        [done] = self.wait_history()
        self.assertEqual(done["mission_name"], "Just once")
        self.assertEqual(done["backup_status"], "finish")
        self.wait_for(lambda: not self.daemons(), "the daemon went on with nothing scheduled")
        sched = self.record(mission)
        self.assertEqual(sched["backup_status"], "finish")
        self.assertEqual(sched["next_time"], target)
        self.assertGreaterEqual(sched["last_time"], target)
        # Started again, the daemon finds nothing to run and ends.
        self.assertEqual(self.start_daemon(), 0)
        self.wait_for(lambda: not self.daemons(), "a second start kept running")
        self.assertEqual(len(self.history()), 1)

    def test_with_nothing_scheduled_the_daemon_ends_and_other_arguments_do_nothing(self):
        self.put_record("not-a-mission-id", "daily", int(time.time()) + 120)  # never read
        self.assertEqual(self.start_daemon("-start"), 0)
        self.wait_for(lambda: not self.daemons(), "the daemon stayed with nothing scheduled")
        self.assertEqual(self.start_daemon("-status"), 0)
        self.assertEqual(self.daemons(), [])
        self.assertNotIn("next_time", self.record("not-a-mission-id"))


class CarriedOverDates(DaemonCase):

    def test_a_run_announced_on_a_date_the_month_lacks_is_started_at_that_time(self):
        # "Monthly on the 31st" computed in April announces 1 May; the daemon (restarted since,
        # so that "today" is 1 May when it loads and when the run is due) starts it then.
        target = calendar.timegm((2027, 5, 1, 0, 1, 0))
        self.offset = target - 4 - int(time.time())
        mission = str(uuid.uuid4())
        self.put_record(mission, "monthly", target, name="On the 31st", schedule_day='["31"]',
                        next_time=target, start_time=target)
        self.assertEqual(self.start_daemon(), 0)
        [done] = self.wait_history(deadline=90)
        self.assertEqual(done["mission_name"], "On the 31st")
        self.assertGreaterEqual(done["start_time"], target)
        sched = self.record(mission)
        self.assertGreaterEqual(sched["last_time"], target)
        self.assertEqual(sched["next_time"], calendar.timegm((2027, 5, 31, 0, 1, 0)))


class MonthEnds(DaemonCase):
    """Monthly schedules on days that February lacks, in a zone with daylight saving."""

    def setUp(self):
        super().setUp()
        self.zone = BERLIN

    def monthly(self, name, days):
        mission = str(uuid.uuid4())
        self.put_record(mission, "monthly", 0, name=name, schedule_day=json.dumps([str(d) for d in days]),
                        schedule_hour="8", schedule_minute="0")
        return mission

    def test_each_day_runs_once_a_month_whatever_day_the_daemon_loads_on(self):
        # The daemon is started (and stopped again) with its clock standing at each run of
        # February and March 2027, as it computes the next run right after starting one, and at
        # each midnight around the month's end, as a daemon that loads, restarts or reloads then.
        # Each time every schedule must announce its first run still ahead: each listed day once
        # a month, on the day it carries over to (29, 30 and 31 February are 1, 2 and 3 March).
        schedules = {"days 30 31": [30, 31], "days 29 30 31": [29, 30, 31], "days 31 1": [31, 1]}
        missions = {name: self.monthly(name, days) for name, days in schedules.items()}
        runs = {name: sorted({berlin(2027, mo, d, 8) for mo in (1, 2, 3, 4) for d in days})
                for name, days in schedules.items()}
        start, end = berlin(2027, 2, 1), berlin(2027, 4, 1)
        steps = {start} | {berlin(2027, 2, 26 + k) for k in range(7)}
        steps |= {t for r in runs.values() for t in r if start < t < end}
        self.assertIn(berlin(2027, 3, 3, 8), steps)
        for now in sorted(steps):
            when = datetime.datetime.fromtimestamp(now, zoneinfo.ZoneInfo(BERLIN)).strftime("%d %b %H:%M")
            with self.subTest(at=when):
                self.fixed = now
                written = {m: os.stat(os.path.join(self.sched_dir, m)).st_ino for m in missions.values()}
                self.assertEqual(self.start_daemon(), 0)
                self.wait_for(lambda: all(os.stat(os.path.join(self.sched_dir, m)).st_ino != written[m]
                                          for m in missions.values()), "the daemon never stored its runs")
                self.stop_daemons()
                got = {name: self.record(m)["next_time"] for name, m in missions.items()}
                want = {name: min(t for t in r if t > now) for name, r in runs.items()}
                self.assertEqual(got, want)
        self.assertEqual(self.history(), [])  # a standing clock starts nothing

    def test_the_run_of_30_february_announces_that_of_31_february(self):
        target = berlin(2027, 2, 30, 8)  # 2 March
        self.offset = target - 4 - int(time.time())
        mission = self.monthly("On the 30th and 31st", [30, 31])
        self.assertEqual(self.start_daemon(), 0)
        [done] = self.wait_history(deadline=90)
        self.assertEqual(done["mission_name"], "On the 30th and 31st")
        self.assertGreaterEqual(done["start_time"], target)
        self.assertEqual(self.record(mission)["next_time"], berlin(2027, 3, 3, 8))


class Reloading(DaemonCase):

    def test_an_edit_and_a_delete_take_effect_at_once_on_the_signal(self):
        target, self.offset = minute_ahead(12)  # time for the load and the reload before it
        kept, dropped, edited = (str(uuid.uuid4()) for _ in range(3))
        later = target + 7200  # the daemon sleeps an hour at most before looking again
        for mission, name in ((kept, "kept"), (dropped, "dropped"), (edited, "edited")):
            self.put_record(mission, "daily", later, name=name)
        self.assertEqual(self.start_daemon(), 0)
        self.one_daemon()
        self.wait_for(lambda: all(self.record(m).get("next_time") == later for m in (kept, dropped, edited)),
                      "the records were never loaded")
        # Two brought forward to the same second: the sleeping daemon takes them at once.
        self.put_record(edited, "daily", target, name="edited")
        self.put_record(dropped, "daily", target, name="dropped")
        self.reload()
        self.wait_for(lambda: all(self.record(m).get("next_time") == target for m in (edited, dropped)),
                      "the edits were not reloaded")
        self.assertEqual(self.record(kept)["next_time"], later)
        # Deleted while listed and due: it starts nothing and is not written again.
        os.unlink(os.path.join(self.sched_dir, dropped))

        self.wait_for(lambda: self.history_of("edited"), "the edited mission never ran")
        self.assertEqual(self.record(edited)["next_time"], target + 86400)
        self.assertFalse(os.path.exists(os.path.join(self.sched_dir, dropped)))
        self.assertFalse(os.path.exists(self.gws("conf/mission", dropped)))
        self.assertEqual(self.history_of("dropped"), [])
        self.assertEqual(self.history_of("kept"), [])

        # Every record deleted and the signal sent: the daemon ends now, not after its sleep.
        for mission in (kept, edited):
            os.unlink(os.path.join(self.sched_dir, mission))
        self.reload()
        self.wait_for(lambda: not self.daemons(), "the daemon did not end on the signal", deadline=30)

    def test_deleting_the_task_through_the_cgi_tells_the_daemon_which_ends(self):
        mission = str(uuid.uuid4())
        self.put_record(mission, "weekly", int(time.time()) + 7200, schedule_week='["monday"]')
        self.assertEqual(self.start_daemon(), 0)
        daemon = self.one_daemon()
        self.wait_for(lambda: "next_time" in self.record(mission), "the record was never loaded")
        reply = self.request({"act": "delete", "task_id": self.task, "password": "admin"})
        self.assertTrue(reply["success"], reply)
        self.assertFalse(os.path.exists(os.path.join(self.sched_dir, mission)))
        self.wait_for(lambda: not self.daemons(), "the daemon was not told, or did not end")
        self.assertNotIn(daemon, self.processes())


class ComingBack(DaemonCase):
    """A daemon killed (SIGKILL, the out-of-memory killer) or never started after a restart of the
    NAS comes back through the boot unit's command, and through the pages an administrator looks
    at, which say so once in the activity log."""

    UNIT = "usr/local/lib/systemd/system/quillmere-scheduler.service"
    APP_DIR = "/usr/local/Kivora/quillmere"

    def unit_command(self):
        """The unit's ExecStart as a command line under the test root, after checking the unit."""
        with open(self.path(self.UNIT)) as f:
            lines = [line.strip() for line in f if line.strip() and not line.startswith("#")]
        settings = dict(line.split("=", 1) for line in lines if "=" in line)
        self.assertEqual(settings["Type"], "forking")
        self.assertEqual(settings["WantedBy"], "multi-user.target")
        # "-": a starter that finds a daemon running ends with 1, which is no failure of the unit.
        words = shlex.split(settings["ExecStart"].lstrip("-"))
        self.assertEqual(words, [self.APP_DIR + "/bin/qlm_deamon", "-start"])
        return [self.path(words[0].lstrip("/"))] + words[1:]

    def scheduled_then_killed(self, mission):
        """A daily schedule loaded by a running daemon, then the daemon killed and the record as
        a restart would find it before any daemon wrote its next run."""
        self.put_record(mission, "daily", int(time.time()) + 7200)
        self.assertEqual(self.start_daemon(), 0)
        daemon = self.one_daemon()
        self.wait_for(lambda: "next_time" in self.record(mission), "the record was never loaded")
        os.kill(daemon, signal.SIGKILL)
        self.wait_for(lambda: not self.daemons(), "the daemon outlived SIGKILL")
        self.put_record(mission, "daily", int(time.time()) + 7200)
        self.assertNotIn("next_time", self.record(mission))

    def assertBack(self, mission):
        self.one_daemon()
        self.wait_for(lambda: self.record(mission).get("next_time", 0) > time.time(),
                      "the record never got its next run again")

    def restart_rows(self):
        return [r for r in self.log_rows() if "scheduler was not running" in r["sql_name"]]

    def test_the_boot_units_command_brings_the_daemon_back_and_is_harmless_when_one_runs(self):
        mission = str(uuid.uuid4())
        rows = len(self.restart_rows())  # the log outlives each test of the class
        self.scheduled_then_killed(mission)
        command = self.unit_command()
        # As systemd runs it: no web server's environment.
        run = lambda: subprocess.run(command, env=self.daemon_env(), stdin=subprocess.DEVNULL,  # noqa: E731
                                     capture_output=True, timeout=60).returncode
        self.assertEqual(run(), 0)
        self.assertBack(mission)
        daemon = self.daemons()
        self.assertEqual(run(), 1)
        self.assertEqual(self.daemons(), daemon)
        # With nothing scheduled the unit's daemon ends by itself.
        self.stop_daemons()
        os.unlink(os.path.join(self.sched_dir, mission))
        self.assertEqual(run(), 0)
        self.wait_for(lambda: not self.daemons(), "a daemon with nothing to run stayed")
        self.assertEqual(len(self.restart_rows()), rows)

    def test_each_page_request_brings_a_dead_daemon_back_and_says_so_once(self):
        for act in ("mission_list", "history_mission_list", "list_local_domain"):
            with self.subTest(act=act):
                mission = str(uuid.uuid4())
                self.scheduled_then_killed(mission)
                before = len(self.restart_rows())
                self.assertTrue(self.request({"act": act})["success"])
                self.assertBack(mission)
                rows = self.restart_rows()[before:]
                self.assertEqual([(r["sql_status"], r["sql_type"]) for r in rows], [("FAIL", "warn")])
                self.assertIn("runs missed while it was down are not made up", rows[0]["sql_name"])
                # With the daemon running again, the page says nothing more.
                self.assertTrue(self.request({"act": act})["success"])
                self.assertEqual(len(self.restart_rows()), before + 1)
                os.unlink(os.path.join(self.sched_dir, mission))
                self.stop_daemons()

    def test_without_a_schedule_ahead_the_page_starts_nothing(self):
        cases = {"no record": None,
                 "a once schedule already run": dict(backup_status="finish"),
                 "a once schedule whose time has passed": dict()}
        rows = len(self.restart_rows())
        for name, extra in cases.items():
            with self.subTest(name):
                for entry in os.listdir(self.sched_dir):
                    os.unlink(os.path.join(self.sched_dir, entry))
                if extra is not None:
                    self.put_record(str(uuid.uuid4()), "once", int(time.time()) - 7200, **extra)
                self.mission_list()
                self.assertEqual(self.daemons(), [])
                self.assertEqual(len(self.restart_rows()), rows)


class OneInstance(DaemonCase):

    def test_daemons_started_at_once_leave_exactly_one(self):
        self.put_record(str(uuid.uuid4()), "daily", int(time.time()) + 7200)
        starters = [subprocess.Popen([self.daemon_path, "-daemon"], env=self.daemon_env(**CGI_ENV),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    for _ in range(6)]
        codes = sorted(p.wait(timeout=60) for p in starters)
        self.assertEqual(codes, [0] + [1] * 5)
        daemon = self.one_daemon()
        # A later start while it runs is refused too, and changes nothing.
        self.assertEqual(self.start_daemon(), 1)
        self.assertEqual(self.daemons(), [daemon])

    def test_a_start_with_closed_standard_streams_still_holds_the_lock(self):
        self.put_record(str(uuid.uuid4()), "daily", int(time.time()) + 7200)
        r = subprocess.run(["/bin/sh", "-c", 'exec "$0" -daemon <&- >&- 2>&-', self.daemon_path],
                           env=self.daemon_env(), timeout=60)
        self.assertEqual(r.returncode, 0)
        daemon = self.one_daemon()
        fds = self.daemon_fds(daemon)
        self.assertEqual(fds, {0: "/dev/null", 1: "/dev/null", 2: "/dev/null",
                               max(fds): os.path.realpath(self.gws("qlm_deamon.lck"))})
        self.assertEqual(self.start_daemon(), 1)


if __name__ == "__main__":
    unittest.main()
