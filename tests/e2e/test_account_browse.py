"""Browsing of backed-up contacts and calendars, the event search and the domain list through
orvenna.cgi, over catalogs written by the system's own catalog writers."""

import calendar
import fcntl
import json
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_tasks  # noqa: E402

USER = "o'brien+browse@example.test"
HOSTILE_NAMES = ["../../../../tmp/x", "a/b", "..", ".", "x\ny", "x\x01y"]
HOSTILE_TASKS = ["../../../../tmp/x", "not-an-id", "0" * 36 + "/..", "../" + "0" * 33]
BACKUP = os.path.join(test_tasks.GWS, "backup")
FIXTURE = os.path.join(qlmtest.BINARY_DIR, "tests", "qlm_catalog_fixture")

GROUPS = [
    {"resourceName": "contactGroups/friends", "formattedName": "Friends", "memberCount": "2",
     "groupType": "USER_CONTACT_GROUP", "name": "Friends"},
    {"resourceName": "contactGroups/empty", "formattedName": "Empty", "memberCount": ""},
    {"resourceName": "contactGroups/odd", "formattedName": "Odd", "memberCount": "12x"},
]
FRIENDS = '["contactGroups\\/friends","contactGroups\\/myContacts"]'
CONTACTS = [
    {"localid": "c1", "names.0.displayName": "Ann O'Neil", "emailAddresses.0.value": "ann@example.test",
     "phoneNumbers.0.value": "+1 555", "organizations.0.name": "Acme", "organizations.0.department": "R&D",
     "organizations.0.title": "Chief", "MembershipList": FRIENDS},
    {"localid": "c2", "emailAddresses.0.value": "100%_sure@example.test", "MembershipList": FRIENDS},
    {"localid": "c3", "phoneNumbers.0.value": "+44 20", "organizations.0.title": "Only title",
     "MembershipList": '["contactGroups\\/myContacts"]'},
]


def ts(text):
    return calendar.timegm(time.strptime(text, "%Y-%m-%dT%H:%M:%SZ"))


# Written in id order; each carries its timestamps as the catalog stores them.
EVENTS = [
    {"id": "e1", "localid": "l1", "summary": "Standup", "location": "Room 1", "creator.email": "a@example.test",
     "start.dateTime": "2024-03-10T09:00:00Z", "end.dateTime": "2024-03-10T09:15:00Z"},
    {"id": "e2", "localid": "l2", "summary": "100% review_", "location": "Room's 2", "creator.email": "b@x",
     "start.dateTime": "2024-03-01T12:00:00Z", "end.dateTime": "2024-03-01T13:00:00Z"},
    {"id": "e3", "localid": "l3", "summary": "Holiday", "location": "", "creator.email": "",
     "start.date": "2024-03-05", "end.date": "2024-03-06"},
    {"id": "e4", "localid": "l4", "summary": "Standup", "location": "Room 1", "creator.email": "a@example.test",
     "start.dateTime": "2024-03-01T12:00:00Z", "end.dateTime": "2024-03-01T12:30:00Z"},
]
for e in EVENTS:
    e["start_timestamp"] = ts(e["start.dateTime"]) if "start.dateTime" in e else ts(e["start.date"] + "T00:00:00Z")
    e["end_timestamp"] = ts(e["end.dateTime"]) if "end.dateTime" in e else ts(e["end.date"] + "T00:00:00Z")


def write_catalogs(root, **content):
    r = subprocess.run([FIXTURE], input=json.dumps(content).encode(), env={"QLM_ROOT": root}, capture_output=True)
    if r.returncode != 0:
        raise AssertionError("catalog fixture failed: %s" % r.stderr.decode())


class AccountCase(qlmtest.BrowseAsserts, test_tasks.TaskCase):
    """One task whose account USER has contacts, groups and events in its catalogs."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.task = cls().new_task()
        write_catalogs(cls.root, task=cls.task, user=USER, contacts=CONTACTS, groups=GROUPS, events=EVENTS)
        for service in ("contact", "calendar"):
            os.makedirs(cls.path(BACKUP, service, cls.task, USER))

    def call(self, act, **params):
        return self.request(dict(dict(act=act, task_id=self.task), **params))


    def hold_writer_lock(self, service):
        """The account's writer lock of the service, held as a backup holds it."""
        folder = self.path(BACKUP, service, self.task)
        os.makedirs(folder, exist_ok=True)
        f = open(os.path.join(folder, USER + "." + service + "_lck"), "w")
        fcntl.flock(f, fcntl.LOCK_EX)
        self.addCleanup(f.close)


class Contacts(AccountCase):

    def test_groups_with_their_amounts(self):
        reply = self.call("contact_list", domain_user_email=USER)
        # Newest row first; a count that is not wholly decimal shows 0.
        self.assertEqual(reply, {"success": True, "list": [
            {"resourceName": "contactGroups/odd", "formattedName": "Odd", "amount": 0},
            {"resourceName": "contactGroups/empty", "formattedName": "Empty", "amount": 0},
            {"resourceName": "contactGroups/friends", "formattedName": "Friends", "amount": 2},
        ]})
        self.assertEqual(self.call("contact_list", domain_user_email="nobody@example.test"),
                         {"success": True, "list": []})

    def test_a_page_of_a_group(self):
        reply = self.call("list_contact_local_backup", domain_user_email=USER, start=0, limit=10,
                          contact_name="contactGroups/friends")
        self.assertEqual(reply["total"], 2)
        self.assertEqual(reply["list"], [
            {"name": "100%_sure@example.test", "email": "100%_sure@example.test", "phone": "",
             "title_and_company": "  ", "localid": "c2", "membership_list": FRIENDS},
            {"name": "Ann O'Neil", "email": "ann@example.test", "phone": "+1 555",
             "title_and_company": "Acme R&D Chief", "localid": "c1", "membership_list": FRIENDS},
        ])
        mine = self.call("list_contact_local_backup", domain_user_email=USER, start=0, limit=10,
                         contact_name="contactGroups/myContacts")
        # The phone stands in for a missing name and address; the title keeps its two blanks.
        self.assertEqual([(c["name"], c["title_and_company"]) for c in mine["list"]],
                         [("+44 20", "  Only title"), ("100%_sure@example.test", "  "), ("Ann O'Neil", "Acme R&D Chief")])
        second = self.call("list_contact_local_backup", domain_user_email=USER, start=1, limit=1,
                           contact_name="contactGroups/myContacts")
        self.assertEqual(([c["localid"] for c in second["list"]], second["total"]), (["c2"], 3))

    def test_keywords_are_data_with_like_wildcards(self):
        for keyword, expected in [("O'Neil", ["c1"]), ("100%_", ["c2"]), ("_", ["c2", "c1"]),
                                  ("' OR 1=1 --", []), ("r&d", ["c1"])]:
            with self.subTest(keyword=keyword):
                reply = self.call("list_contact_local_backup", domain_user_email=USER, start=0, limit=10,
                                  contact_name="contactGroups/friends", key_word=keyword)
                self.assertEqual([c["localid"] for c in reply["list"]], expected)
                self.assertEqual(reply["total"], len(expected))

    def test_request_errors(self):
        page = dict(domain_user_email=USER, start=0, limit=5, contact_name="contactGroups/friends")
        for params, code, name in [
            ({k: v for k, v in page.items() if k != "start"}, 5303, "start"),
            (dict(page, start="x7"), 5303, "start"),
            (dict(page, start=-1), 5302, "start"),
            (dict(page, limit=-1), 5302, "limit"),
            ({k: v for k, v in page.items() if k != "contact_name"}, 5303, "contact_name"),
            ({k: v for k, v in page.items() if k != "domain_user_email"}, 5303, "domain_user_email"),
        ]:
            with self.subTest(params=params):
                self.assertError(self.call("list_contact_local_backup", **params), code, name)
        self.assertError(self.request({"act": "contact_list", "domain_user_email": USER}), 5303, "task_id")
        self.assertError(self.call("contact_list"), 5303, "domain_user_email")
        # No store folder: an empty page, also without a group.
        self.assertEqual(self.call("list_contact_local_backup", domain_user_email="nobody@example.test",
                                   start=0, limit=5), {"success": True, "list": [], "total": 0})

    def test_a_running_backup_turns_the_group_list_away_but_not_the_page(self):
        self.hold_writer_lock("contact")
        self.assertEqual(self.call("contact_list", domain_user_email=USER), {"success": True})
        reply = self.call("list_contact_local_backup", domain_user_email=USER, start=0, limit=5,
                          contact_name="contactGroups/friends")
        self.assertEqual(reply["total"], 2)


class Calendars(AccountCase):

    def page(self, **params):
        query = dict(domain_user_email=USER, start=0, limit=10, calendar_name="primary")
        query.update(params)
        return self.call("list_calendar_local_backup", **query)

    def test_calendar_list(self):
        self.assertEqual(self.call("calendar_list", domain_user_email=USER), {"success": True, "list": [USER]})
        # The task has a calendar catalog folder: any account is listed.
        self.assertEqual(self.call("calendar_list", domain_user_email="x@example.test"),
                         {"success": True, "list": ["x@example.test"]})
        self.assertEqual(self.request({"act": "calendar_list", "task_id": "0" * 8 + "-0000-0000-0000-" + "0" * 12,
                                       "domain_user_email": USER}), {"success": True, "list": []})

    def test_a_page_is_ordered_by_start_time(self):
        reply = self.page()
        self.assertEqual(reply["total"], 4)
        # e2 and e4 start together: the catalog's newest-first order stays between them.
        self.assertEqual([e["localid"] for e in reply["list"]], ["l4", "l2", "l3", "l1"])
        self.assertEqual(reply["list"][2], {"title": "Holiday", "location": "", "creator": "",
                                            "endtime": EVENTS[2]["end_timestamp"],
                                            "starttime": EVENTS[2]["start_timestamp"], "localid": "l3"})
        self.assertEqual(reply["list"][3]["endtime"], ts("2024-03-10T09:15:00Z"))
        # A keyword filters the page, the total stays every event.
        kw = self.page(key_word="100%")
        self.assertEqual(([e["localid"] for e in kw["list"]], kw["total"]), (["l2"], 4))
        self.assertEqual(self.page(start=9), {"success": True, "list": [], "total": 0})
        self.assertEqual(self.page(key_word="no such"), {"success": True, "list": [], "total": 0})

    def test_page_replies_that_show_nothing_or_errors(self):
        empty = {"success": True, "list": [], "total": 0}
        self.assertEqual(self.page(domain_user_email="nobody@example.test"), empty)
        self.assertEqual(self.page(task_id="00000000-0000-0000-0000-000000000000"), empty)  # no such task
        query = dict(domain_user_email=USER, start=0, limit=10)
        self.assertEqual(self.call("list_calendar_local_backup", **{k: v for k, v in query.items()
                                                                    if k != "domain_user_email"}), empty)
        self.assertError(self.call("list_calendar_local_backup", **query), 5303, "calendar_name")
        self.assertError(self.page(limit="ten"), 5303, "limit")
        self.assertError(self.request({"act": "list_calendar_local_backup", "start": 0, "limit": 1}), 5303, "task_id")
        for task in HOSTILE_TASKS + ["0" * 36]:  # no id at all: a bad value, not an empty page
            with self.subTest(task=task):
                self.assertError(self.page(task_id=task), 5302, "task_id")

    def test_event_search(self):
        def search(**params):
            reply = self.call("calendar_advanced_search", domain_user_email=USER, **params)
            self.assertEqual(reply["total"], len(reply["list"]))
            return [e["localid"] for e in reply["list"]]

        self.assertEqual(search(), [])
        self.assertEqual(search(key_word="Standup"), ["l4", "l1"])
        self.assertEqual(search(key_word="100%_"), ["l2"])
        self.assertEqual(search(location_key_word="Room's"), ["l2"])
        self.assertEqual(search(key_word="' OR '1'='1"), [])
        early, late = ts("2024-03-04T00:00:00Z"), ts("2024-03-06T00:00:00Z")
        self.assertEqual(search(date_early=early, date_late=late), ["l3"])
        self.assertEqual(search(date_early=ts("2024-03-10T00:00:00Z")), ["l1"])
        self.assertEqual(search(date_early="soon", key_word="Holiday"), ["l3"])
        self.assertError(self.call("calendar_advanced_search"), 5303, "domain_user_email")

    def test_a_running_backup_turns_the_calendar_list_away_but_not_the_page(self):
        self.hold_writer_lock("calendar")
        self.assertEqual(self.call("calendar_list", domain_user_email=USER), {"success": True})
        self.assertEqual(self.page()["total"], 4)


class HostileNames(AccountCase):

    def test_names_never_reach_a_path(self):
        before = self.tree()
        for name in HOSTILE_NAMES:
            for act in ("contact_list", "calendar_list", "list_contact_local_backup", "calendar_advanced_search"):
                with self.subTest(act=act, name=name):
                    reply = self.call(act, domain_user_email=name, start=0, limit=5, contact_name="x", key_word="a")
                    self.assertError(reply, 5302, "domain_user_email")
            self.assertEqual(self.call("list_calendar_local_backup", domain_user_email=name, start=0, limit=5,
                                       calendar_name="x"), {"success": True, "list": [], "total": 0})
        for task in HOSTILE_TASKS:
            for act in ("contact_list", "calendar_list", "list_contact_local_backup", "calendar_advanced_search"):
                with self.subTest(act=act, task=task):
                    reply = self.request({"act": act, "task_id": task, "domain_user_email": USER, "start": 0,
                                          "limit": 5})
                    self.assertError(reply, 5302, "task_id")
        self.assertEqual(self.tree(), before)


class DomainList(test_tasks.TaskCase):

    def conf(self, *parts):
        return self.path(test_tasks.GWS, "conf", *parts)

    def write_task(self, template, task_id, **keys):
        """A copy of a real task file under another id, with some keys changed."""
        lines = template.replace(self.base, task_id).splitlines()
        out = []
        for line in lines:
            key = line.split(" = ", 1)[0].strip()
            if key in keys:
                line = "%s = %s" % (key, keys.pop(key))
            out.append(line)
        out += ["%s = %s" % kv for kv in keys.items()]
        with open(self.conf(task_id), "w") as f:
            f.write("\n".join(out) + "\n")

    def test_domains_with_counts_switches_and_modes(self):
        self.assertEqual(self.request({"act": "list_local_domain"}), {"success": True, "domain_list": []})
        self.base = self.new_task(drive_enable="1", shared_drive_enable="0", calendar_enable="0",
                                  gmail_enable="0", contact_enable="0")
        template = test_tasks.read_text(self.conf(self.base))
        total = int(self.task_conf(self.base)["total_user_number"])
        ids = {"manual3": "11111111-1111-1111-1111-111111111111",
               "shared_only": "22222222-2222-2222-2222-222222222222"}
        three = json.dumps(["1", "2", "3"])
        self.write_task(template, ids["manual3"], drive_enable="false", gmail_enable="true",
                        auto_add_user_enable="false", manual_domain_user=three)
        self.write_task(template, ids["shared_only"], drive_enable="false", shared_drive_enable="true")
        # Not tasks: an editor's backup and a half-written temporary file.
        for stray in (ids["manual3"] + "~", ".tmp-xyz"):
            with open(self.conf(stray), "w") as f:
                f.write(template)
        reply = self.request({"act": "list_local_domain"})
        self.assertEqual(list(reply), ["success", "domain_list"])
        by_id = {d["task_id"]: d for d in reply["domain_list"]}
        self.assertEqual(set(by_id), {self.base, *ids.values()})
        base = by_id[self.base]
        self.assertEqual(list(base), ["success", "task_id", "admin_email", "total_amount", "backuped_amount",
                                      "joiner", "drive_enable", "shared_drive_enable", "calendar_enable",
                                      "gmail_enable", "contact_enable", "backup_mode"])
        self.assertEqual(base["admin_email"], test_tasks.ADMIN)
        self.assertEqual((base["total_amount"], base["backuped_amount"], base["joiner"]), (total, total, "admin"))
        self.assertEqual([base[k] for k in ("drive_enable", "shared_drive_enable", "gmail_enable", "backup_mode")],
                         [True, False, False, "manual"])
        self.assertEqual((by_id[ids["manual3"]]["backuped_amount"], by_id[ids["manual3"]]["gmail_enable"]), (3, True))
        self.assertEqual(by_id[ids["shared_only"]]["backuped_amount"], 0)

    def test_the_mode_is_scheduling_while_a_scheduling_record_names_the_task(self):
        self.drop_tasks()
        self.addCleanup(self.drop_tasks)
        self.base = self.new_task()
        other = "33333333-3333-3333-3333-333333333333"
        # A mode written into the task file decides nothing: nothing but an old file has one.
        self.write_task(test_tasks.read_text(self.conf(self.base)), other, schedule_backup_enable="1")

        def modes():
            return {d["task_id"]: d["backup_mode"] for d in self.request({"act": "list_local_domain"})["domain_list"]}
        self.assertEqual(modes(), {self.base: "manual", other: "manual"})
        # Without a frequency the record is written but no daemon is started.
        reply = self.request({"act": "add_schedule_mission", "task_id": self.base, "mission_name": "Nightly"})
        self.assertTrue(reply["success"], reply)
        self.assertEqual(modes(), {self.base: "scheduling", other: "manual"})
        os.unlink(self.path(test_tasks.GWS, "conf/mission/scheduling_mission", reply["mission_id"]))
        self.assertEqual(modes(), {self.base: "manual", other: "manual"})


if __name__ == "__main__":
    unittest.main()
