"""The Gmail message-counting job through orvenna.cgi: start, list and stop, for a task and for a key
that is not yet a task."""

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
import test_gmail_backup  # noqa: E402
import test_tasks  # noqa: E402

ADMIN = test_tasks.ADMIN


class CountJob(test_tasks.TaskCase):

    @classmethod
    def env(cls, **extra):
        return super().env(QLM_SLEEP_SCALE="0", **extra)

    def setUp(self):
        self.clear_faults()
        self.calls(clear=True)
        self.drop_tasks()
        self.task = self.new_task()

    def sizes(self):
        out = {}
        for user in os.listdir(self.path("var/lib/gwssim/users")):
            path = self.path("var/lib/gwssim/users", user, "mail.json")
            if os.path.exists(path):
                with open(path) as f:
                    out[user] = len(json.load(f)["messages"])
        return out

    def start(self, delay_ms=0, **params):
        reply = self.request(dict({"act": "gmail_users_get_count_start"}, **params),
                             extra_env={"GWSSIM_COUNT_DELAY_MS": str(delay_ms)})
        self.assertEqual(list(reply), ["success", "mission_id"], reply)
        uuid.UUID(reply["mission_id"])
        return reply["mission_id"]

    def job_list(self, mission, **who):
        return self.request(dict({"act": "gmail_users_get_count_list", "mission_id": mission}, **(who or {"task_id": self.task})))

    def wait_list(self, mission, done, deadline=60, **who):
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            reply = self.job_list(mission, **who)
            if done(reply["user_list"]):
                return reply
            time.sleep(0.05)
        self.fail("the job list never got there: %s" % reply)

    def pid_file(self, auth, mission):
        return self.gws("tmp", "%s_%s.gmail_user_count.pid" % (auth, mission))

    def auth_of_task(self):
        return self.task_conf(self.task)["auth_id"]

    def test_a_task_job_counts_every_user_four_at_a_time_and_stores_the_result(self):
        for extra in ("extra0@example.test", "extra1@example.test"):
            test_gmail_backup.add_sim_user(self.path("var/lib/gwssim"), extra)
        cache = self.gws("backup/domain_user_and_shared_dirve_db", self.task, "domain_user")
        if os.path.exists(cache):
            os.unlink(cache)
        self.calls(clear=True)
        mission = self.start(delay_ms=300, task_id=self.task)
        reply = self.wait_list(mission, lambda users: all(u["status"] == "finished" for u in users))
        sizes = self.sizes()
        self.assertEqual({u["Email"]: u["count"] for u in reply["user_list"]}, sizes)
        self.assertEqual([u["count"] for u in reply["user_list"]], sorted(sizes.values(), reverse=True))
        self.assertEqual(set(reply["user_list"][0]), {"Email", "iD", "status", "count"})
        # GAM's set-up and the listing that became the task's cache.
        self.assertEqual([c["argv"][0] for c in self.calls("scoutix")], ["-info", "-info"])
        with open(cache) as f:
            self.assertIn("user_list", json.load(f))

        result = self.gws("backup/gmail_count", self.task)
        end = time.monotonic() + 30
        while time.monotonic() < end and os.path.exists(self.pid_file(self.auth_of_task(), mission)):
            time.sleep(0.05)
        with open(result) as f:
            stored = json.load(f)
        self.assertEqual([r["messages"] for r in stored], sorted(sizes.values()))
        self.assertEqual({r["User"]: r["messages"] for r in stored}, sizes)
        counts = [c for c in self.calls("gam") if "countsonly" in c["argv"]]
        self.assertEqual(len(counts), len(sizes))
        self.assertEqual(test_gmail_backup.max_overlap(counts), 4)
        self.assertEqual(os.listdir(self.path("root")), [])  # the job's GAM folder went with it

    def test_list_shows_pending_running_and_failed_and_stop_ends_the_job(self):
        self.fault("gam", "alice@example.test", "fail")
        mission = self.start(delay_ms=20000, task_id=self.task)
        auth = self.auth_of_task()
        reply = self.wait_list(mission, lambda users: {"running", "failed"} <= {u["status"] for u in users})
        states = {u["Email"]: (u["status"], u["count"]) for u in reply["user_list"]}
        sizes = self.sizes()
        self.assertEqual(states["alice@example.test"], ("failed", 0))
        running = [e for e, (s, _) in states.items() if s == "running"]
        self.assertTrue(running)
        for e in running:
            self.assertEqual(states[e][1], sizes[e])
        self.assertTrue(all(s in ("running", "pending", "failed") for s, _ in states.values()), states)

        with open(self.pid_file(auth, mission)) as f:
            pid = int(f.read())
        self.assertEqual(os.getpgid(pid), pid)
        stop = self.request({"act": "gmail_users_get_count_stop", "mission_id": mission, "task_id": self.task})
        self.assertEqual(stop, {"success": True, "mission_id": mission, "pid": pid, "status": "stopping"})
        end = time.monotonic() + 30
        while time.monotonic() < end and any(int(f[2]) == pid and f[0] != "Z" for _, _, f in
                                                 test_gmail_backup.test_backup.proc_stats()):
            time.sleep(0.05)
        self.assertFalse([p for p, _, f in test_gmail_backup.test_backup.proc_stats() if int(f[2]) == pid and f[0] != "Z"])
        self.assertFalse(os.path.exists(self.pid_file(auth, mission)))
        self.assertFalse(os.path.exists(self.pid_file(auth, mission)[:-4] + ".stop"))
        self.assertEqual(os.listdir(self.path("root")), [])
        # The work files stay for the list; the stopped job's users stay unfinished.
        reply = self.job_list(mission)
        self.assertNotIn("finished", {u["status"] for u in reply["user_list"]})

        # Stopping a job that is over: no pid file, and the stop file just written goes again.
        again = self.request({"act": "gmail_users_get_count_stop", "mission_id": mission, "task_id": self.task})
        self.assertEqual(again, {"success": False, "mission_id": mission, "status": "pid_file_not_found"})
        self.assertFalse(os.path.exists(self.pid_file(auth, mission)[:-4] + ".stop"))

    def test_list_reads_each_users_files_as_finished_running_pending_or_failed(self):
        auth = self.auth_of_task()
        mission = str(uuid.uuid4())
        work = self.path("usr/local/tmp", "qlm_%s_%s" % (auth, mission), "Gmail_count")
        os.makedirs(work)
        # The list names the users of the task's listing cache.
        with open(self.path("var/lib/gwssim/domain.json")) as f:
            users = [{"iD": u["id"], "Email": u["email"]} for u in json.load(f)["users"]]
        cache = self.gws("backup/domain_user_and_shared_dirve_db", self.task)
        os.makedirs(cache, exist_ok=True)
        with open(os.path.join(cache, "domain_user"), "w") as f:
            json.dump({"user_list": users + [{"Email": "no-id@example.test"},
                                             {"Email": "one@example.test", "iD": "one-id"}]}, f)
        files = {
            "alice@example.test": ("User,messages\nalice@example.test,42\n", "Got 42 Messages\n"),
            "bob@example.test": (None, "Got 100 Messages\nGot 2400 Messages\n"),
            "one@example.test": (None, "Got 1 Message\n"),  # GAM's singular for one
            "admin@example.test": ("", "ERROR: 500: backendError\n"),
            "o'brien@example.test": ("User,messages\n", ""),
        }
        for user, (out, err) in files.items():
            for suffix, text in ((".out", out), (".err", err)):
                if text is not None:
                    with open(os.path.join(work, user + suffix), "w") as f:
                        f.write(text)
        try:
            reply = self.job_list(mission)
        finally:
            shutil.rmtree(os.path.dirname(work))
        self.assertEqual([(u["Email"], u["status"], u["count"]) for u in reply["user_list"]][:3],
                         [("bob@example.test", "running", 2400), ("alice@example.test", "finished", 42),
                          ("one@example.test", "running", 1)])
        states = {u["Email"]: (u["status"], u["count"]) for u in reply["user_list"]}
        self.assertEqual(states["admin@example.test"], ("failed", 0))
        self.assertEqual(states["o'brien@example.test"], ("pending", 0))
        self.assertNotIn("no-id@example.test", states)  # an entry without an id is left out

    def test_a_key_without_a_task_is_counted_from_its_user_list(self):
        auth = self.new_auth()
        mission = self.start(auth_id=auth, admin_email=ADMIN)
        reply = self.wait_list(mission, lambda users: users and all(u["status"] == "finished" for u in users),
                               auth_id=auth)
        self.assertEqual({u["Email"]: u["count"] for u in reply["user_list"]},
                         {e: n for e, n in self.sizes().items() if not e.startswith("extra")})

    def test_a_stale_pid_file_never_signals_another_program(self):
        auth = self.auth_of_task()
        mission = str(uuid.uuid4())
        other = subprocess.Popen(["sleep", "60"], start_new_session=True)
        try:
            with open(self.pid_file(auth, mission), "w") as f:
                f.write("%d\n" % other.pid)
            reply = self.request({"act": "gmail_users_get_count_stop", "mission_id": mission, "auth_id": auth})
            self.assertEqual(reply, {"success": False, "mission_id": mission, "status": "process_group_not_found"})
            self.assertIsNone(other.poll())
        finally:
            other.kill()
            other.wait()
            for suffix in (".pid", ".stop"):
                path = self.pid_file(auth, mission)[:-4] + suffix
                if os.path.exists(path):
                    os.unlink(path)

    def test_request_refusals(self):
        ident = "task_id or authenticate_id/admin_email"
        cases = [
            ({"act": "gmail_users_get_count_start"}, 5303, ident),
            ({"act": "gmail_users_get_count_start", "auth_id": str(uuid.uuid4())}, 5303, ident),
            ({"act": "gmail_users_get_count_start", "task_id": "../../conf"}, 5302, "task_id"),
            ({"act": "gmail_users_get_count_start", "auth_id": "../x", "admin_email": ADMIN}, 5302, "auth_id"),
            ({"act": "gmail_users_get_count_start", "auth_id": str(uuid.uuid4()), "admin_email": ADMIN}, 5052,
             "task_id"),
            ({"act": "gmail_users_get_count_list"}, 5303, "mission_id"),
            ({"act": "gmail_users_get_count_list", "mission_id": "../../x", "auth_id": str(uuid.uuid4())}, 5302,
             "mission_id"),
            ({"act": "gmail_users_get_count_list", "mission_id": str(uuid.uuid4())}, 5303, ident),
            ({"act": "gmail_users_get_count_list", "mission_id": str(uuid.uuid4()), "auth_id": "a/../b"}, 5302,
             "auth_id"),
            ({"act": "gmail_users_get_count_list", "mission_id": str(uuid.uuid4()), "task_id": self.task}, 5302,
             "auth_id"),
            ({"act": "gmail_users_get_count_stop", "mission_id": "x/../../y", "task_id": self.task}, 5302,
             "mission_id"),
        ]
        for params, code, msg in cases:
            with self.subTest(params=params):
                self.assertEqual(self.request(params), {"success": False, "error_code": code, "error_msg": msg})
        self.assertEqual([n for n in os.listdir(self.gws("tmp")) if "gmail_user_count" in n], [])


if __name__ == "__main__":
    unittest.main()
