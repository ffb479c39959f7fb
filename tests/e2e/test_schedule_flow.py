"""Schedules changed through orvenna.cgi with the real scheduler daemon: a change starts the
daemon or makes the running one reload, and the runs it starts can be run now, aborted and
deleted through the same actions. Every request carries the daemon's zone and the clock knob, as
a web server's environment would, so the daemon a request starts keeps them."""

import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import test_daemon  # noqa: E402
from test_backup import alive, proc_table  # noqa: E402

FAR = 7200  # ahead of the daemon's longest sleep (an hour): only a reload brings such a run nearer


def at_minute(when, frequency="daily"):
    """The schedule parameters of a run at the UTC minute `when`."""
    t = time.gmtime(when)
    return {"schedule_frequency": frequency, "schedule_year": str(t.tm_year), "schedule_month": str(t.tm_mon),
            "schedule_day": str(t.tm_mday), "schedule_hour": str(t.tm_hour), "schedule_minute": str(t.tm_min)}


class FlowCase(test_daemon.DaemonCase):

    def request(self, params, **kw):
        # The set-up requests come before DaemonCase gives the test its offset.
        if hasattr(self, "offset"):
            kw.setdefault("extra_env", self.clock_env())
        return super().request(params, **kw)

    def tearDown(self):
        super().tearDown()
        # Tools that a killed worker left in groups of their own run this root's programs.
        for pid, (_, _, _, cmd) in proc_table().items():
            if self.root + "/" in cmd:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def schedule(self, name, when, frequency="daily", **params):
        """A schedule of the Drive and Gmail backup named `name`, added through the CGI."""
        sent = dict(at_minute(when, frequency), mission_name=name, backup_scheduling_enable="1", drive_enable="1",
                    gmail_enable="1")
        return self.add_schedule(**dict(sent, **params))

    def clock(self):
        return time.time() + self.offset

    def next_time_is(self, mission, when, message, deadline=30):
        self.wait_for(lambda: self.record(mission).get("next_time") == when, message, deadline)

    def stored(self, mission):
        """Tells one write of a record from the next: each is a new file renamed into place."""
        return os.stat(os.path.join(self.sched_dir, mission)).st_ino

    def ran(self, name, deadline=90):
        """The history record of the one run of the schedule named `name`."""
        try:
            found = self.wait_for(lambda: self.history_of(name), "%s never ran" % name, deadline)
        except AssertionError as e:
            raise AssertionError("%s; log: %s" % (e, self.messages())) from None
        [done] = found
        return done


class Adding(FlowCase):

    def test_an_added_schedule_starts_the_daemon_which_runs_it_at_its_time(self):
        target, self.offset = test_daemon.minute_ahead(10)
        self.assertEqual(self.daemons(), [])
        mission = self.schedule("Added", target)
        daemon = self.one_daemon()  # started by the add, before its reply
        self.next_time_is(mission, target, "the started daemon never loaded the schedule")

        done = self.ran("Added")
        self.assertEqual((done["task_id"], done["service"], done["backup_mode"], done["backup_status"]),
                         (self.task, ["drive", "gmail"], "scheduling", "finish"), self.messages())
        self.assertGreaterEqual(done["start_time"], target)
        self.assertGreater(done["drive_total"], 0)
        sched = self.record(mission)
        self.assertGreaterEqual(sched["last_time"], target)
        self.assertEqual(sched["next_time"], target + 86400)
        self.assertFalse(os.path.exists(self.gws("conf/mission", mission)))
        self.assertEqual(self.daemons(), [daemon])  # tomorrow's run is ahead

    def test_an_added_schedule_makes_the_running_daemon_reload(self):
        target, self.offset = test_daemon.minute_ahead(10)
        later = self.schedule("Later", target + FAR)
        daemon = self.one_daemon()
        self.next_time_is(later, target + FAR, "the first schedule was never loaded")
        soon = self.schedule("Soon", target)
        self.next_time_is(soon, target, "the running daemon did not reload")
        self.assertEqual(self.daemons(), [daemon])  # the same daemon, not a second one

        done = self.ran("Soon")
        self.assertEqual(done["service"], ["drive", "gmail"])
        self.assertGreaterEqual(done["start_time"], target)
        self.assertEqual(self.history_of("Later"), [])
        self.assertEqual(self.record(later)["next_time"], target + FAR)
        self.assertEqual(self.daemons(), [daemon])


class Editing(FlowCase):

    def test_an_edit_moves_the_run_at_once_and_the_old_time_never_runs(self):
        old, self.offset = test_daemon.minute_ahead(15)
        new = old + 60
        mission = self.schedule("Edited", old)
        daemon = self.one_daemon()
        self.next_time_is(mission, old, "the schedule was never loaded")

        params = dict(at_minute(new), act="edit_schedule_mission", mission_id=mission, mission_name="Edited",
                      backup_scheduling_enable="1", drive_enable="1")
        self.assertEqual(self.request(params), {"success": True, "mission_id": mission})
        # Before the old time: a daemon that was not told would only see the edit at its due pass.
        self.next_time_is(mission, new, "the edit did not reach the daemon before the old time",
                          deadline=old - self.clock())

        done = self.ran("Edited", deadline=150)
        self.assertGreaterEqual(done["start_time"], new)
        self.assertEqual(done["service"], ["drive"])  # the services as edited
        # The run at the new time is the only one: nothing started at the old time, whose run
        # would have ended long before.
        self.assertEqual(len(self.history_of("Edited")), 1)
        sched = self.record(mission)
        self.assertGreaterEqual(sched["last_time"], new)
        self.assertEqual(sched["next_time"], new + 86400)
        self.assertEqual(self.daemons(), [daemon])


class Deleting(FlowCase):

    def test_deleting_a_schedule_reloads_and_deleting_the_last_ends_the_daemon_at_once(self):
        now = int(self.clock())
        kept = self.schedule("Kept", now + FAR)
        daemon = self.one_daemon()
        loaded = (now + FAR) // 60 * 60
        self.next_time_is(kept, loaded, "the schedule was never loaded")
        written = self.stored(kept)
        gone = self.schedule("Gone", now + FAR + 60)
        # The reload on the add has stored both.
        self.wait_for(lambda: self.stored(kept) != written and "next_time" in self.record(gone),
                      "the daemon did not reload on the add")
        written = self.stored(kept)

        self.assertEqual(self.request({"act": "mission_delete", "mission_id": gone}), {"success": True})
        self.assertFalse(os.path.exists(os.path.join(self.sched_dir, gone)))
        # The daemon reloads (it stores the kept schedule's next run anew, as a new file) and goes
        # on with the other one; the deleted record is never written again.
        self.wait_for(lambda: self.stored(kept) != written,
                      "the daemon did not reload on the delete")
        self.assertEqual(self.record(kept)["next_time"], loaded)
        self.assertEqual(self.daemons(), [daemon])
        self.assertFalse(os.path.exists(os.path.join(self.sched_dir, gone)))

        self.assertEqual(self.request({"act": "mission_delete", "mission_id": kept}), {"success": True})
        self.wait_for(lambda: not self.daemons(), "the daemon did not end with nothing scheduled", deadline=30)
        self.assertEqual(os.listdir(self.sched_dir), [])
        self.assertEqual(self.history(), [])


class RunNow(FlowCase):

    def test_run_now_starts_at_once_and_removes_a_record_enabled_0_afterwards(self):
        now = int(self.clock())
        kept = self.schedule("Kept", now + FAR)
        once = self.schedule("Now only", now + FAR, backup_scheduling_enable="0")
        daemon = self.one_daemon()
        self.next_time_is(once, (now + FAR) // 60 * 60, "the schedules were never loaded")
        loaded = self.record(kept)["next_time"]

        for mission, name in ((kept, "Kept"), (once, "Now only")):
            with self.subTest(name):
                self.assertEqual(self.request({"act": "run_mission", "mission_id": mission}), {"success": True})
                done = self.ran(name, deadline=60)
                self.assertEqual((done["service"], done["backup_status"]), (["drive", "gmail"], "finish"))
                self.assertLess(done["start_time"], loaded - 60)  # now, not at the schedule's time
                # The next run of the task waits for this one's lock to be let go.
                self.wait_for(lambda: not alive(done["process_pid"]), "the run never ended")
        self.wait_for(lambda: not os.path.exists(os.path.join(self.sched_dir, once)),
                      "the record enabled 0 outlived its run")
        self.assertEqual(self.record(kept)["next_time"], loaded)
        # The daemon still has the kept schedule, and writes no fragment of the removed one.
        self.assertEqual(self.daemons(), [daemon])
        self.assertEqual(os.listdir(self.sched_dir), [kept])


class LastScheduleGone(FlowCase):

    def test_the_daemon_is_told_when_run_now_or_an_abort_removes_the_last_schedule(self):
        # A schedule enabled 0 is removed after its one run, or by the abort of that run; the
        # daemon, told, ends at once instead of sleeping towards the removed schedule's time.
        for how in ("run ends", "run aborted"):
            with self.subTest(how):
                if how == "run aborted":
                    self.fault("gam", "filetree", "hang")
                mission = self.schedule("Once now " + how, int(self.clock()) + FAR, backup_scheduling_enable="0")
                self.one_daemon()
                self.wait_for(lambda: "next_time" in self.record(mission), "the schedule was never loaded")
                self.assertEqual(self.request({"act": "run_mission", "mission_id": mission}), {"success": True})
                if how == "run aborted":
                    worker = self.running(mission)["process_pid"]
                    self.workers = [worker]
                    self.wait_for(lambda: self.hanging_listing(worker), "the run never got to its listing")
                    self.assertEqual(self.request({"act": "mission_abort", "mission_id": mission}),
                                     {"success": True})
                    self.clear_faults()
                    self.workers = []
                filed = self.ran("Once now " + how, deadline=60)
                self.assertEqual(filed["backup_status"], "abort" if how == "run aborted" else "finish")
                self.wait_for(lambda: not os.path.exists(os.path.join(self.sched_dir, mission)),
                              "the record enabled 0 outlived its run")
                self.wait_for(lambda: not self.daemons(), "the daemon was not told the last schedule went",
                              deadline=30)


class AbortScheduled(FlowCase):

    def test_abort_of_a_started_once_run_stops_it_and_keeps_the_schedule_marked(self):
        self.fault("gam", "get drivefile", "hang_noterm")  # a download that ignores SIGTERM
        target, self.offset = test_daemon.minute_ahead(10)
        mission = self.schedule("Aborted", target, frequency="once")
        self.one_daemon()
        self.next_time_is(mission, target, "the schedule was never loaded")

        running = self.running(mission, deadline=90)
        worker = running["process_pid"]
        self.workers = [worker]
        tools = self.wait_tools(worker)
        self.assertEqual(running["backup_mode"], "scheduling")
        self.assertEqual(self.record(mission)["backup_status"], "finish")  # the daemon marked it started

        self.assertEqual(self.request({"act": "mission_abort", "mission_id": mission}), {"success": True})
        self.assertFalse(alive(worker))
        self.assertEqual({p for p in tools if alive(p)}, set())
        self.assertFalse(os.path.exists(self.gws("conf/mission", mission)))
        [filed] = self.history_of("Aborted")
        self.assertEqual((filed["backup_status"], filed["process_pid"], filed["task_id"]),
                         ("abort", worker, self.task))
        self.assertGreaterEqual(filed["end_time"], filed["start_time"])
        sched = self.record(mission)
        self.assertEqual((sched["backup_status"], sched["next_time"]), ("abort", target))

        # Nothing is left to run: the daemon has ended, and started again it ends at once.
        self.wait_for(lambda: not self.daemons(), "the daemon went on with nothing scheduled")
        self.assertEqual(self.start_daemon(), 0)
        self.wait_for(lambda: not self.daemons(), "the daemon found the aborted schedule to run")
        self.assertEqual(self.record(mission), sched)
        self.assertEqual(len(self.history()), 1)
        self.workers = []

    def test_a_once_schedule_run_now_and_aborted_is_not_run_at_its_time(self):
        self.fault("gam", "filetree", "hang")
        target, self.offset = test_daemon.minute_ahead(20)
        mission = self.schedule("Aborted early", target, frequency="once")
        self.one_daemon()
        self.next_time_is(mission, target, "the schedule was never loaded")
        self.assertEqual(self.request({"act": "run_mission", "mission_id": mission}), {"success": True})
        worker = self.running(mission)["process_pid"]
        self.workers = [worker]
        self.wait_for(lambda: self.hanging_listing(worker), "the run never got to its listing")
        self.assertEqual(self.request({"act": "mission_abort", "mission_id": mission}), {"success": True})
        self.assertFalse(alive(worker))
        self.assertEqual(self.record(mission)["backup_status"], "abort")
        self.assertLess(self.clock(), target, "the machine was too slow to abort before the schedule's time")

        # At its time the daemon drops the schedule, starts nothing and ends: no program of this
        # root is left running (a started run would hang in its listing).
        programs = {os.path.realpath(self.daemon_path), os.path.realpath(self.cgi_path)}
        self.wait_for(lambda: not any(exe in programs for _, exe, _, _ in self.processes().values()),
                      "the aborted schedule was started at its time", deadline=90)
        self.assertEqual(self.record(mission)["backup_status"], "abort")
        self.assertFalse(os.path.exists(self.gws("conf/mission", mission)))
        self.assertEqual([r["backup_status"] for r in self.history()], ["abort"])
        self.workers = []


if __name__ == "__main__":
    unittest.main()
