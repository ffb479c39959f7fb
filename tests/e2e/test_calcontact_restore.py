"""Calendar and Contacts restores through orvenna.cgi: events and contacts of a backed-up demo
domain imported or created anew in the simulated domain, compared with its dump, and the command
lines that carry them checked in the tools' call log."""

import collections
import json
import os
import sqlite3
import subprocess
import sys
import time
import unittest
import uuid

sys.path.insert(0, os.path.dirname(__file__))
import test_restore  # noqa: E402
import test_tasks  # noqa: E402

ALICE = test_restore.ALICE
BOB = test_restore.BOB
OBRIEN = "o'brien@example.test"
NONE_ON = {"drive_enable": "0", "shared_drive_enable": "0", "gmail_enable": "0", "calendar_enable": "0",
           "contact_enable": "0"}
CALENDAR = dict(NONE_ON, calendar_enable="1")
CONTACTS = dict(NONE_ON, contact_enable="1")
EVENT_KEYS = ("summary", "location", "start.date", "end.date", "start.dateTime", "end.dateTime")
HOSTILE_MAIL = "o'neil&co@example.test"
UID_FORM = r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"


class CalContactCase(test_restore.RestoreCase):
    """The demo domain with hostile events and contacts of its own, Calendar and Contacts backed up
    once; each test restores and compares the simulated domain before and after."""

    @classmethod
    def setUpClass(cls):
        super(test_restore.RestoreCase, cls).setUpClass()  # a root and a session; the backup is ours
        cls.pwned = cls.path("pwned")
        cls.hostile = "It's \"final\" $(touch %s) `touch %s` 100%% ;\nsecond line" % (cls.pwned, cls.pwned)
        cls.seed_alice()
        helper = cls()
        cls.task = helper.new_task()
        r = subprocess.run([helper.cgi_path, "-backup", str(uuid.uuid4()), cls.task, "0", "0", "1", "0", "1"],
                           env=cls.env(), capture_output=True, timeout=300)
        if r.returncode != 0:
            raise AssertionError("backup failed: %s" % r.stderr.decode())
        cls.clock = 1700000000

    @classmethod
    def user_file(cls, user, name):
        return cls.path("var/lib/gwssim/users", user, name)

    @classmethod
    def seed_alice(cls):
        """Values a shell would read, an event without an end, and contacts the options leave empty."""
        path = cls.user_file(ALICE, "calendar.json")
        with open(path) as f:
            cal = json.load(f)
        base = {"status": "confirmed", "creator.email": ALICE, "organizer.email": ALICE}
        cal["events"] += [
            dict(base, id="seedhostile", iCalUID="seedhostile@google.com", summary=cls.hostile,
                 location="Room 'B' & <C> | *", **{"start.dateTime": "2024-05-01T10:00:00-03:30",
                                                   "end.dateTime": "2024-05-01T11:00:00-03:30",
                                                   "start.timeZone": "America/St_Johns"}),
            dict(base, id="seednoend", iCalUID="seednoend@google.com", summary="No end",
                 **{"start.dateTime": "2024-05-02T10:00:00Z"}),
        ]
        with open(path, "w") as f:
            json.dump(cal, f)
        path = cls.user_file(ALICE, "contacts.json")
        with open(path) as f:
            con = json.load(f)
        blank = {"givenName": "", "familyName": "", "displayName": "", "emails": [], "phones": [], "orgName": "",
                 "orgTitle": "", "orgDepartment": "", "groups": ["contactGroups/myContacts"]}
        con["contacts"] += [
            dict(blank, resourceName="people/seedhostile", givenName="Sean $(touch %s)" % cls.pwned,
                 familyName="O'Neil", displayName="Sean O'Neil", emails=[{"type": "work", "value": HOSTILE_MAIL}],
                 phones=[{"type": "work", "value": "+1 555 0100"}], orgName="Acme; rm -rf /", orgTitle="-Boss",
                 orgDepartment="R&D\nLab"),
            dict(blank, resourceName="people/seedtitle", givenName="Tia", displayName="Tia", orgTitle="CTO"),
            dict(blank, resourceName="people/seedempty"),
        ]
        with open(path, "w") as f:
            json.dump(con, f)

    # ---- the simulated domain ----

    @classmethod
    def events(cls, user):
        """The projections of user's events that a restore carries, as a multiset."""
        out = collections.Counter()
        for line in cls.gwssim("dump", "--what", "calendar").decode().splitlines():
            item = json.loads(line)
            if item["user"] == user:
                out[tuple(item["fields"].get(k, "") for k in EVENT_KEYS)] += 1
        return out

    @classmethod
    def contacts(cls, user):
        out = collections.Counter()
        for line in cls.gwssim("dump", "--what", "contacts").decode().splitlines():
            item = json.loads(line)
            if item["what"] == "contact" and item["user"] == user:
                out[(item["givenName"], item["familyName"], tuple(item["phones"]), tuple(item["emails"]),
                     item["organization"], item["title"], item["department"])] += 1
        return out

    # ---- the backup ----

    def catalog(self, service, user):
        path = self.gws("backup/%s_db" % service, self.task, user + ".db")
        table = "calendar_sql_database" if service == "calendar" else "contact_sql_database"
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
            db.row_factory = sqlite3.Row
            return [dict(r) for r in db.execute("SELECT * FROM %s ORDER BY ID DESC" % table)]

    def backed_up_events(self, user, localids=None):
        """What a restore of user's catalog imports: the events with both dates or both times."""
        out = collections.Counter()
        for r in self.catalog("calendar", user):
            if localids is not None and r["localid"] not in localids:
                continue
            if (r["start_date"] and r["end_date"]) or (r["start_dateTime"] and r["end_dateTime"]):
                dated = bool(r["start_date"] and r["end_date"])
                out[(r["summary"], r["location"], r["start_date"] if dated else "", r["end_date"] if dated else "",
                     "" if dated else r["start_dateTime"], "" if dated else r["end_dateTime"])] += 1
        return out

    def backed_up_contacts(self, user):
        out = collections.Counter()
        for r in self.catalog("contact", user):
            org = r["organizations_0_name"]
            out[(r["names_0_givenName"], r["names_0_familyName"],
                 ("work:" + r["phoneNumbers_0_value"],) if r["phoneNumbers_0_value"] else (),
                 ("work:" + r["emailAddresses_0_value"],) if r["emailAddresses_0_value"] else (),
                 org, r["organizations_0_title"] if org else "", r["organizations_0_department"] if org else "")] += 1
        return out

    # ---- restores ----

    def start(self, extra_env=None, **params):
        query = dict({"act": "restore", "task_id": self.task}, **params)
        reply = self.request(query, extra_env=dict({"QLM_FIXED_TIME": str(self.clock)}, **(extra_env or {})))
        self.assertEqual(list(reply), ["success", "mission_id"], reply)
        return reply["mission_id"]

    def run_restore(self, extra_env=None, **params):
        """Runs a restore to its end; (history record, new events or contacts per user)."""
        users = (ALICE, BOB, OBRIEN, test_tasks.ADMIN)
        what = self.events if params.get("calendar_enable") == "1" else self.contacts
        before = {u: what(u) for u in users}
        self.start(extra_env, **params)
        [record] = self.wait_history()
        after = {u: what(u) for u in users}
        for u in users:
            self.assertFalse(before[u] - after[u], "something of %s went" % u)
        return record, {u: after[u] - before[u] for u in users if after[u] != before[u]}

    def gam_calls(self):
        """The restore's commands (not the bare runs that set GAM's configuration up)."""
        return [c for c in self.calls("gam") if c["argv"]]

    def assertOnlyTheToolRan(self, record):
        """Every gam call came straight from the worker, no shell between; nothing else ran."""
        self.assertEqual({c["tool"] for c in self.calls()} - {"scoutix"}, {"gam"})
        for c in self.gam_calls():
            self.assertEqual(c["ppid"], record["process_pid"], c["argv"])
        self.assertFalse(os.path.exists(self.pwned))

    def assertFailures(self, count):
        errors = [m for m in self.messages() if m.startswith("Error occurred while restoring")]
        self.assertEqual(len(errors), count, self.messages()[-10:])


class CalendarRestore(CalContactCase):

    def test_a_whole_calendar_goes_into_another_account_as_stored(self):
        record, new = self.run_restore(domain_user_email=ALICE, target_account=BOB, localid_list="ALL", **CALENDAR)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        want = self.backed_up_events(ALICE)
        self.assertEqual(new, {BOB: want})
        # The backup held the domain's events as they were: times with their offsets, all-day dates.
        source = self.events(ALICE)
        self.assertEqual(want, collections.Counter({k: n for k, n in source.items()
                                                    if k[0] not in ("Cancelled sync", "No end")}))
        self.assertIn(("Company holiday", "", "2024-03-08", "2024-03-09", "", ""), want)
        self.assertIn((self.hostile, "Room 'B' & <C> | *", "", "", "2024-05-01T10:00:00-03:30",
                       "2024-05-01T11:00:00-03:30"), want)
        self.assertEqual(record["calendar_total"], len(self.catalog("calendar", ALICE)))
        self.assertIn("Skipped Calendar events without both start and end during restore. count=1 "
                      "source_user=%s task_id=%s" % (ALICE, self.task), self.messages())
        calls = self.gam_calls()
        self.assertEqual(len(calls), sum(want.values()))
        uids = set()
        for c in calls:
            argv = c["argv"]
            self.assertEqual((argv[:5], c["exit"]), (["calendar", BOB, "import", "event", "icaluid"], 0))
            self.assertRegex(argv[5], UID_FORM)
            uids.add(argv[5])
        self.assertEqual(len(uids), len(calls))
        hostile = [c["argv"] for c in calls if self.hostile in c["argv"]]
        self.assertEqual(hostile, [["calendar", BOB, "import", "event", "icaluid", hostile[0][5], "summary",
                                    self.hostile, "location", "Room 'B' & <C> | *", "start",
                                    "2024-05-01T10:00:00-03:30", "end", "2024-05-01T11:00:00-03:30"]])
        allday = [c["argv"][6:] for c in calls if "Company holiday" in c["argv"]]
        self.assertEqual(allday, [["summary", "Company holiday", "allday", "2024-03-08", "end", "allday",
                                   "2024-03-09"]])
        self.assertOnlyTheToolRan(record)
        self.assertNothingLeft()

        # A new request makes new events beside those of the first.
        self.setUp()
        record, new = self.run_restore(domain_user_email=ALICE, target_account=BOB, localid_list="ALL", **CALENDAR)
        self.assertEqual(new, {BOB: want})
        self.assertFalse(uids & {c["argv"][5] for c in self.gam_calls()})

    def test_selected_events_go_back_into_their_own_calendar(self):
        rows = self.catalog("calendar", ALICE)
        chosen = [r["localid"] for r in rows if r["summary"] in ("Company holiday", "Weekly standup")]
        self.assertEqual(len(chosen), 2)
        record, new = self.run_restore(domain_user_email=ALICE, localid_list=",".join(chosen), **CALENDAR)
        self.assertEqual((record["backup_status"], record["calendar_total"]), ("finish", 2))
        self.assertEqual(new, {ALICE: self.backed_up_events(ALICE, chosen)})
        # A target given as an empty text is no target.
        self.setUp()
        record, new = self.run_restore(domain_user_email=ALICE, target_account="", localid_list=chosen[0],
                                       **CALENDAR)
        self.assertEqual(new, {ALICE: self.backed_up_events(ALICE, chosen[:1])})
        self.assertIn("Start Calendar restore process. source_user=%s target_user=%s task_id=%s restore_mode=0"
                      % (ALICE, ALICE, self.task), self.messages())

    def test_the_whole_domain_goes_back_each_account_into_itself(self):
        record, new = self.run_restore(domain_user_email=ALICE, localid_list="ALL_DOMAIN", **CALENDAR)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        users = sorted(n[:-3] for n in os.listdir(self.gws("backup/calendar_db", self.task)) if n.endswith(".db"))
        self.assertIn(OBRIEN, users)
        self.assertEqual(new, {u: self.backed_up_events(u) for u in users})
        self.assertEqual(record["calendar_total"], sum(len(self.catalog("calendar", u)) for u in users))
        self.assertOnlyTheToolRan(record)


class ContactsRestore(CalContactCase):

    def test_every_contact_goes_into_another_account_with_its_fields_in_order(self):
        record, new = self.run_restore(domain_user_email=ALICE, target_account=BOB, localid_list="ALL", **CONTACTS)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        self.assertEqual(new, {BOB: self.backed_up_contacts(ALICE)})
        self.assertEqual(record["contact_total"], len(self.catalog("contact", ALICE)))
        argvs = [c["argv"] for c in self.gam_calls()]
        self.assertEqual(len(argvs), len(self.catalog("contact", ALICE)))
        head = ["user", BOB, "create", "contacts"]
        self.assertIn(head + ["firstname", "Sean $(touch %s)" % self.pwned, "familyname", "O'Neil", "phone", "work",
                              "+1 555 0100", "primary", "email", "work", HOSTILE_MAIL, "primary", "organization",
                              "work", "Acme; rm -rf /", "title", "-Boss", "department", "R&D\nLab"], argvs)
        self.assertIn(head + ["phone", "work", "+1 555 0100", "primary"], argvs)
        self.assertIn(head + ["firstname", "Tia"], argvs)  # a title without an organization is left out
        self.assertIn(head, argvs)  # an empty contact is created empty
        self.assertIn(head + ["firstname", "Dina", "familyname", "O'Hara", "email", "work", "dina@partner.test",
                              "primary", "organization", "work", "Partner & Sons, Ltd.", "title", "Head of \"Things\""],
                      argvs)
        self.assertOnlyTheToolRan(record)
        self.assertNothingLeft()

    def test_selected_contacts_and_the_whole_domain(self):
        rows = self.catalog("contact", ALICE)
        chosen = [r["localid"] for r in rows if r["names_0_givenName"] in ("Tia", "Mary")]
        record, new = self.run_restore(domain_user_email=ALICE, target_account=OBRIEN, localid_list=",".join(chosen),
                                       **CONTACTS)
        self.assertEqual((record["backup_status"], record["contact_total"]), ("finish", 2))
        self.assertEqual(set(new), {OBRIEN})
        self.assertEqual(sorted(k[0] for k in new[OBRIEN].elements()), ["Mary", "Tia"])

        self.setUp()
        record, new = self.run_restore(domain_user_email=BOB, localid_list="ALL_DOMAIN", **CONTACTS)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        users = sorted(n[:-3] for n in os.listdir(self.gws("backup/contact_db", self.task)) if n.endswith(".db"))
        self.assertEqual(new, {u: self.backed_up_contacts(u) for u in users})
        self.assertOnlyTheToolRan(record)


class CalContactFaults(CalContactCase):
    """A lost connection, a hung tool or a failing command in the middle: the wrapper's next attempt
    finishes, and every event and contact exists exactly once."""

    def test_a_lost_connection_ends_the_attempt_and_nothing_is_made_twice(self):
        cases = [
            (CALENDAR, "import", "conn", self.backed_up_events),
            # The import went through before the connection was lost: the next attempt's import of
            # the same iCalUID updates it.
            (CALENDAR, "import", "conn_after", self.backed_up_events),
            (CONTACTS, "create", "conn", self.backed_up_contacts),
        ]
        for switches, verb, action, want in cases:
            with self.subTest(action=action, verb=verb):
                self.setUp()
                self.fault("gam", verb, action, "--skip", "2", "--times", "1")
                record, new = self.run_restore(domain_user_email=ALICE, target_account=BOB, localid_list="ALL",
                                               **switches)
                self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
                self.assertEqual(new, {BOB: want(ALICE)})
                self.assertFailures(1)
                exits = [c["exit"] for c in self.gam_calls()]
                self.assertEqual(exits[2], 3)
                if switches is CONTACTS:
                    # The contacts made before the loss are passed over: one more run, the lost one.
                    self.assertEqual(len(exits), sum(want(ALICE).values()) + 1)

    def test_a_hung_tool_is_ended_by_the_time_out(self):
        for switches, verb, text in ((CALENDAR, "import", "Failed to restore Calendar event."),
                                     (CONTACTS, "create", "Failed to restore Contact data.")):
            with self.subTest(verb=verb):
                self.setUp()
                self.fault("gam", verb, "hang", "--skip", "1", "--times", "1")
                began = time.monotonic()
                record, new = self.run_restore({"QLM_TOOL_TIMEOUT": "1"}, domain_user_email=ALICE,
                                               target_account=BOB, localid_list="ALL", **switches)
                self.assertLess(time.monotonic() - began, 60)
                self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
                want = self.backed_up_events(ALICE) if switches is CALENDAR else self.backed_up_contacts(ALICE)
                self.assertEqual(new, {BOB: want})
                self.assertIn("%s restore_account=%s ret=-110 sys_ret=-1 task_id=%s" % (text, BOB, self.task),
                              self.messages())
                self.assertFailures(1)

    def test_a_command_that_never_works_ends_the_restore_in_error(self):
        names = [r["names_0_givenName"] for r in self.catalog("contact", ALICE)]
        failing = next(i for i, n in enumerate(names) if i > 0 and n and names.count(n) == 1)
        self.fault("gam", "firstname " + names[failing], "fail")
        record, new = self.run_restore(domain_user_email=ALICE, target_account=BOB, localid_list="ALL", **CONTACTS)
        self.assertEqual(record["backup_status"], "error")
        self.assertFailures(15)
        # The contacts before it (newest first) were created once, in the first attempt; the failing
        # one ran once per attempt and ended each, so none after it was tried.
        self.assertEqual(sorted(k[0] for k in new[BOB].elements()), sorted(names[:failing]))
        self.assertEqual(len([c for c in self.gam_calls() if names[failing] in c["argv"]]), 15)
        self.assertEqual(len(self.gam_calls()), failing + 15)
        self.assertNothingLeft()

    def test_a_catalog_that_cannot_be_read(self):
        path = self.gws("backup/contact_db", self.task, BOB + ".db")
        os.rename(path, path + ".kept")
        try:
            with open(path, "wb") as f:
                f.write(b"not a database at all, not even close" * 100)
            # The progress count of a whole user reads the catalog first.
            self.start(domain_user_email=BOB, localid_list="ALL", **CONTACTS)
            [record] = self.wait_history()
            self.assertEqual(record["backup_status"], "error")
            self.assertTrue([m for m in self.messages()
                             if m.startswith("Failed to get Contact backup DB data for restore. admin=%s user=%s"
                                             % (test_tasks.ADMIN, BOB))])
            self.assertFalse(self.gam_calls())
            # A selection looks at every catalog: one that cannot be read fails the Contacts attempt.
            self.setUp()
            self.start(domain_user_email=ALICE, localid_list=self.catalog("contact", ALICE)[0]["localid"],
                       **CONTACTS)
            [record] = self.wait_history()
            self.assertEqual(record["backup_status"], "error")
            self.assertIn("Failed to get Contact backup DB data. source_user=%s task_id=%s ret=-161"
                          % (BOB, self.task), self.messages())
            os.rename(self.gws("backup/calendar_db", self.task, BOB + ".db"),
                      self.gws("backup/calendar_db", self.task, BOB + ".db.kept"))
            with open(self.gws("backup/calendar_db", self.task, BOB + ".db"), "wb") as f:
                f.write(b"garbage" * 1000)
            # ... but only warns for Calendar, and the selected events come back.
            self.setUp()
            [chosen] = [r["localid"] for r in self.catalog("calendar", ALICE) if r["summary"] == "Company holiday"]
            record, new = self.run_restore(domain_user_email=ALICE, localid_list=chosen, **CALENDAR)
            self.assertEqual(record["backup_status"], "finish")
            self.assertEqual(new, {ALICE: self.backed_up_events(ALICE, [chosen])})
            self.assertTrue([m for m in self.messages()
                             if m.startswith("Skipped Calendar restore of an account whose backup cannot be read. "
                                             "source_user=%s" % BOB)])
        finally:
            os.replace(path + ".kept", path)
            kept = self.gws("backup/calendar_db", self.task, BOB + ".db.kept")
            if os.path.exists(kept):
                os.replace(kept, self.gws("backup/calendar_db", self.task, BOB + ".db"))
        # No catalog was made for a name the listing never gave.
        self.assertEqual(sorted(os.listdir(self.gws("backup/contact_db", self.task))),
                         sorted(u + ".db" for u in (ALICE, BOB, OBRIEN, test_tasks.ADMIN)))


class CalContactMissions(CalContactCase):

    def test_a_running_restore_is_listed_and_aborted(self):
        for switches, verb, service in ((CALENDAR, "import", "calendar"), (CONTACTS, "create", "contact")):
            with self.subTest(service=service):
                self.setUp()
                self.fault("gam", verb, "hang", "--skip", "2")
                mission = self.start(domain_user_email=ALICE, target_account=BOB, localid_list="ALL", **switches)
                end = time.monotonic() + 60
                entry = None
                while time.monotonic() < end and entry is None:
                    hanging = [c for c in self.gam_calls() if c.get("exit") is None]
                    listed = [e for e in self.request({"act": "mission_list"})["mission_List"]
                              if e["mission_id"] == mission]
                    entry = listed[0] if listed and hanging else None
                    time.sleep(0.1)
                self.assertIsNotNone(entry, "the restore never reached its hanging command")
                self.assertEqual((entry["mode"], entry["backup_status"], entry["service"]),
                                 ("restore", "restoring", [service]))
                self.assertGreater(entry[service + "_total"], 2)
                self.assertTrue(0 <= entry["total_progress"] < 100, entry)
                self.assertFalse([k for k in entry if k.startswith("restore_idmap")])
                self.abort_restore(mission)
                # The history lists the aborted restore, and a finished one beside it.
                self.clear_faults()
                self.start(domain_user_email=ALICE, localid_list="", **switches)
                self.wait_history(2)
                listed = self.request({"act": "history_mission_list"})["mission_List"]
                self.assertEqual(sorted((e["backup_status"], e["service"][0]) for e in listed),
                                 [("abort", service), ("finish", service)])
                self.assertFalse([k for e in listed for k in e if k.startswith("restore_idmap")])


if __name__ == "__main__":
    unittest.main()
