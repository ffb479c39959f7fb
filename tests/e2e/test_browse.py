"""Browsing, item details and advanced searches of backed-up Drives and shared drives through
orvenna.cgi, over what a real backup of the simulated demo domain stored."""

import calendar
import json
import os
import re
import sqlite3
import subprocess
import sys
import time
import unittest
import urllib.parse
import uuid

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_tasks  # noqa: E402

ALICE = "alice@example.test"
SHORT_KEYS = ["id", "name", "modifiedTime", "mimeType", "index", "size", "Owner", "structure"]
FULL_KEYS = ["id", "name", "md5Checksum", "modifiedTime", "mimeType", "index", "depth", "size", "localid",
             "parents", "members"]
FOLDER = "application/vnd.google-apps.folder"
HOSTILE_NAMES = ["../../../../tmp/x", "a/b", "..", ".", "", "x\ny", "x\x01y"]
HOSTILE_TASKS = ["../../../../tmp/x", "not-an-id", "", "0" * 36, "../" + "0" * 33]


def parse_time(text):
    """Seconds since 1970 of Google's "YYYY-MM-DDTHH:MM:SS[.mmm]Z"."""
    return calendar.timegm(time.strptime(text.split(".")[0].rstrip("Z"), "%Y-%m-%dT%H:%M:%S"))


class BrowseCase(qlmtest.BrowseAsserts, test_tasks.TaskCase):
    """One task of the demo domain, backed up once (Drive and Shared Drive) by the backup engine."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        helper = cls()
        cls.task = helper.new_task()
        r = subprocess.run([helper.cgi_path, "-backup", str(uuid.uuid4()), cls.task, "1", "1", "0", "0", "0"],
                           env=cls.env(QLM_SLEEP_SCALE="0"), capture_output=True, timeout=300)
        if r.returncode != 0:
            raise AssertionError("backup failed: %s" % r.stderr.decode())
        cls.uuids = {row["shared_drive_name"]: row for row in cls.rows(
            cls.gws_path("backup/shared_drive_map_db", cls.task, cls.task + "_mapping.db"),
            "SELECT * FROM shared_drive_mapping_uuid_table")}

    @classmethod
    def gws_path(cls, *parts):
        return cls.path(test_tasks.GWS, *parts)

    @staticmethod
    def rows(db_file, sql, args=()):
        if not os.path.exists(db_file):
            raise AssertionError("no catalog " + db_file)
        with sqlite3.connect("file:%s?mode=ro" % db_file, uri=True) as db:
            db.row_factory = sqlite3.Row
            return [dict(r) for r in db.execute(sql, args)]

    def drive_rows(self, where="1", args=(), user=ALICE):
        return self.rows(self.gws_path("backup/drive_db", self.task, user + ".db"),
                         "SELECT * FROM drive_sql_database WHERE %s ORDER BY id DESC" % where, args)

    def shared_rows(self, uuid_, where="1", args=()):
        return self.rows(self.gws_path("backup/shared_drive_db", self.task, uuid_ + ".db"),
                         "SELECT * FROM shared_drive_sql_database WHERE %s ORDER BY id DESC" % where, args)

    def index_of(self, name, user=ALICE):
        [row] = self.drive_rows("drive_name = ?", (name,), user)
        return row["drive_index"]

    def call(self, act, **params):
        return self.request(dict(act=act, task_id=self.task, **params))

    def drive(self, act, **params):
        return self.call(act, domain_user_email=ALICE, **params)

    def team(self, act, drive="Team Drive", **params):
        return self.call(act, shared_drive_id=self.uuids[drive]["shared_drive_uuid"], **params)



class DrivePages(BrowseCase):

    def test_root_page_rows_and_total(self):
        root = self.drive_rows("drive_depth = -1")[0]
        children = self.drive_rows("drive_parents = ?", (root["drive_id"],))
        self.assertGreater(len(children), 3)
        reply = self.drive("list_drive_local_backup", start=0, limit=3, index=root["drive_index"])
        self.assertEqual(list(reply), ["success", "tree", "total"])
        self.assertEqual(reply["total"], len(children))
        self.assertEqual([r["id"] for r in reply["tree"]], [c["drive_id"] for c in children[:3]])
        first = reply["tree"][0]
        self.assertEqual(list(first), SHORT_KEYS)
        self.assertEqual((first["name"], first["index"], first["size"], first["Owner"]),
                         (children[0]["drive_name"], children[0]["drive_index"], str(children[0]["drive_size"]),
                          ALICE))
        whole = self.drive("list_drive_local_backup", start=0, limit=1000, index=root["drive_index"])
        self.assertEqual(sorted(r["name"] for r in whole["tree"]), sorted(c["drive_name"] for c in children))

    def test_a_sub_folders_second_page(self):
        projects = self.drive_rows("drive_name = 'Projects'")[0]
        children = self.drive_rows("drive_parents = ?", (projects["drive_id"],))
        self.assertEqual(len(children), 4)
        reply = self.drive("list_drive_local_backup", start=3, limit=2, index=projects["drive_index"])
        self.assertEqual(reply["total"], 4)
        self.assertEqual([r["name"] for r in reply["tree"]], [children[3]["drive_name"]])
        past = self.drive("list_drive_local_backup", start=5, limit=2, index=projects["drive_index"])
        self.assertEqual(past, {"success": True, "tree": [], "total": 4})

    def test_a_keyword_searches_the_whole_account_with_the_folders_count(self):
        folder = self.drive_rows("drive_name = 'Folder 01'")[0]
        count = len(self.drive_rows("drive_parents = ?", (folder["drive_id"],)))
        for keyword, expected in [
            ("report", ["Q3 report's \"final\" $(touch gwssim-pwned) 100%.txt"]),
            # Quotes and shell text stay data; '%' and '_' keep LIKE's wildcard meaning.
            ("report's \"final\" $(touch", ["Q3 report's \"final\" $(touch gwssim-pwned) 100%.txt"]),
            ("file-000_.md", ["file-0002.md"]),
            ("no such name", []),
        ]:
            with self.subTest(keyword=keyword):
                reply = self.drive("list_drive_local_backup", start=0, limit=50, index=folder["drive_index"],
                                   key_word=keyword)
                self.assertEqual([r["name"] for r in reply["tree"]], expected)
                self.assertEqual(reply["total"], count)
        # A page as large as the account: every row, newest first.
        everything = self.drive("list_drive_local_backup", start=0, limit=100000, index=folder["drive_index"],
                                key_word="%")
        self.assertEqual([r["id"] for r in everything["tree"]], [r["drive_id"] for r in self.drive_rows()])
        # An empty keyword is no keyword.
        plain = self.drive("list_drive_local_backup", start=0, limit=50, index=folder["drive_index"], key_word="")
        self.assertEqual(len(plain["tree"]), count)

    def test_pages_that_show_nothing(self):
        empty = {"success": True, "tree": [], "total": 0}
        for params in [dict(start=0, limit=5),                      # no index
                       dict(start=0, limit=5, index=99999),         # an index no row has
                       dict(start=0, limit=5, index="x7")]:         # not a number: absent
            with self.subTest(params=params):
                self.assertEqual(self.drive("list_drive_local_backup", **params), empty)
        # An account that was never backed up, and a task that does not exist.
        self.assertEqual(self.call("list_drive_local_backup", domain_user_email="nobody@example.test", start=0,
                                   limit=5, index=1), empty)
        self.assertEqual(self.request(dict(act="list_drive_local_backup", task_id=str(uuid.uuid4()),
                                           domain_user_email=ALICE, start=0, limit=5, index=1)), empty)


class SharedDrivePages(BrowseCase):

    def test_root_page_in_the_full_form(self):
        uuid_ = self.uuids["Team Drive"]["shared_drive_uuid"]
        root = self.shared_rows(uuid_, "drive_depth = -1")[0]
        children = self.shared_rows(uuid_, "drive_parents = ?", (root["drive_id"],))
        reply = self.team("list_shared_drive_local_backup", start=0, limit=1, index=root["drive_index"])
        self.assertEqual(reply["total"], len(children))
        [row] = reply["tree"]
        self.assertEqual(list(row), FULL_KEYS)
        self.assertEqual((row["id"], row["members"]), (children[0]["drive_id"], children[0]["drive_members"]))
        designs = self.shared_rows(uuid_, "drive_name = 'Designs'")[0]
        second = self.team("list_shared_drive_local_backup", start=1, limit=1, index=designs["drive_index"])
        inside = self.shared_rows(uuid_, "drive_parents = ?", (designs["drive_id"],))
        self.assertEqual(([r["name"] for r in second["tree"]], second["total"]), ([inside[1]["drive_name"]], 2))
        # A keyword searches names and members of the whole shared drive.
        guest = self.team("list_shared_drive_local_backup", start=0, limit=9, index=root["drive_index"],
                          key_word="guest@partner")
        self.assertEqual([r["name"] for r in guest["tree"]], ["design-a.txt"])

    def test_what_answers_success_alone_or_an_empty_page(self):
        only = {"success": True}
        team = self.uuids["Team Drive"]
        # Google's id in place of the uuid has no mapping row.
        self.assertEqual(self.call("list_shared_drive_local_backup", shared_drive_id=team["shared_drive_id"],
                                   start=0, limit=5, index=1), only)
        self.assertEqual(self.call("list_shared_drive_local_backup", shared_drive_id=str(uuid.uuid4()),
                                   start=0, limit=5, index=1), only)
        # A shared drive whose backup stored no catalog: its folder exists, the page is empty.
        hidden = self.uuids["Hidden Drive"]["shared_drive_uuid"]
        self.assertTrue(os.path.isdir(self.gws_path("backup/shared_drive", self.task, hidden)))
        self.assertEqual(self.call("list_shared_drive_local_backup", shared_drive_id=hidden, start=0, limit=5,
                                   index=1), {"success": True, "tree": [], "total": 0})

    def test_index_is_required_here(self):
        self.assertError(self.team("list_shared_drive_local_backup", start=0, limit=5), 5303, "index")


class ItemDetails(BrowseCase):

    def test_drive_item_with_gams_whole_second_times(self):
        [row] = self.drive_rows("drive_name = 'budget.csv'")
        self.assertNotIn(".", row["drive_modifiedTime"])  # GAM drops the milliseconds Google gives
        reply = self.drive("drive_single_info", index=row["drive_index"])
        self.assertEqual(list(reply), ["success", "data"])
        stamp = parse_time(row["drive_modifiedTime"])
        conf = self.task_conf(self.task)
        self.assertEqual(reply["data"], {"name": "budget.csv", "type": "text/csv", "create_time": stamp,
                                         "modify_time": stamp, "path": "budget.csv", "size": row["drive_size"],
                                         "backup_time": int(conf["create_time"]), "Owner": ALICE})
        self.assertEqual(list(reply["data"])[-1], "Owner")

    def test_a_folder_and_the_root_without_size_or_time(self):
        projects = self.drive("drive_single_info", index=self.index_of("Projects"))["data"]
        self.assertEqual((projects["type"], projects["size"]), (FOLDER, -1))
        root = self.drive_rows("drive_depth = -1")[0]
        data = self.drive("drive_single_info", index=root["drive_index"])["data"]
        self.assertEqual((data["name"], data["size"], data["create_time"], data["modify_time"], data["Owner"]),
                         ("My Drive", -1, 0, 0, ""))

    def test_shared_drive_item_has_its_members_as_a_list(self):
        uuid_ = self.uuids["Team Drive"]["shared_drive_uuid"]
        [row] = self.shared_rows(uuid_, "drive_name = 'design-a.txt'")
        data = self.team("shared_drive_single_info", index=row["drive_index"])["data"]
        self.assertEqual(list(data), ["name", "type", "create_time", "modify_time", "path", "size", "backup_time",
                                      "members"])
        self.assertEqual(data["members"], json.loads(row["drive_members"]))
        self.assertIn({"name": "Guest Reviewer", "email": "guest@partner.test", "role": "commenter"},
                      data["members"])
        self.assertEqual(data["size"], row["drive_size"])

    def test_unknown_items_and_accounts(self):
        before = self.tree()
        self.assertError(self.drive("drive_single_info", index=99999), 5302, "index")
        self.assertError(self.drive("drive_single_info"), 5303, "index")
        self.assertError(self.drive("drive_single_info", index="seven"), 5303, "index")
        # An account without catalog: nothing is created for it.
        self.assertError(self.call("drive_single_info", domain_user_email="nobody@example.test", index=1),
                         5302, "domain_user_email")
        self.assertError(self.call("shared_drive_single_info", shared_drive_id=str(uuid.uuid4()), index=1),
                         5302, "shared_drive_id")
        self.assertError(self.request(dict(act="drive_single_info", task_id=str(uuid.uuid4()),
                                           domain_user_email=ALICE, index=1)), 5302, "task_id")
        self.assertEqual(self.tree(), before)


class AdvancedSearch(BrowseCase):

    def names(self, reply):
        self.assertEqual(list(reply), ["success", "tree", "total"])
        self.assertEqual(reply["total"], len(reply["tree"]))
        return [r["name"] for r in reply["tree"]]

    def expect(self, where):
        return [r["drive_name"] for r in self.drive_rows(where)]

    def test_each_filter_alone_and_combined(self):
        rows = self.drive_rows()
        backed = rows[0]["last_backup_time"]
        sizes = sorted(r["drive_size"] for r in rows if r["drive_size"] > 0)
        mid_kib = sizes[len(sizes) // 2] // 1024 or 1
        times = sorted(r["modify_timestamp"] for r in rows if r["modify_timestamp"] > 0)
        early, late = times[2], times[-3]
        other = ("drive_mimeType NOT LIKE 'image%%' AND drive_mimeType NOT IN ('application/pdf', '%s', "
                 "'application/vnd.openxmlformats-officedocument.wordprocessingml.document', "
                 "'application/vnd.openxmlformats-officedocument.spreadsheetml.sheet', "
                 "'application/vnd.openxmlformats-officedocument.presentationml.presentation')" % FOLDER)
        cases = [
            (dict(name_key_word="file-"), "drive_name LIKE '%file-%'"),
            (dict(name_key_word=""), "1"),
            (dict(type="folder"), "drive_mimeType = '%s'" % FOLDER),
            (dict(type="other"), other),
            (dict(size_search_type=1, size=mid_kib), "drive_size >= %d" % (mid_kib * 1024)),
            (dict(size_search_type=2, size=mid_kib), "drive_size <= %d" % (mid_kib * 1024)),
            (dict(create_time_early=backed, create_time_late=backed), "create_time = %d" % backed),
            (dict(last_backup_time_late=backed - 1), "0"),
            (dict(last_modified_time_early=early), "modify_timestamp >= %d" % early),
            # The root has no modification time (0): an upper bound alone takes it in.
            (dict(last_modified_time_late=late), "modify_timestamp <= %d" % late),
            (dict(last_modified_time_early=early, last_modified_time_late=late),
             "modify_timestamp BETWEEN %d AND %d" % (early, late)),
            (dict(name_key_word=".", type="other", last_modified_time_early=early, size_search_type=1, size=0),
             "drive_name LIKE '%%.%%' AND %s AND modify_timestamp >= %d" % (other, early)),
            (dict(name_key_word="e", type="folder", create_time_early=1, last_backup_time_early=backed),
             "drive_name LIKE '%%e%%' AND drive_mimeType = '%s'" % FOLDER),
            ({}, "0"),  # no filter at all
            (dict(size_search_type=3, size=1), "0"),
            (dict(type="spreadsheet-of-sorts", name_key_word="Projects"), "drive_name = 'Projects'"),
        ]
        for params, where in cases:
            with self.subTest(params=params):
                self.assertEqual(self.names(self.drive("drive_advanced_search", **params)), self.expect(where))
        # The cases that must find something do (the filters are not all vacuous on this data).
        for params, where in cases[:7] + cases[8:13] + cases[15:]:
            self.assertTrue(self.expect(where), params)

    def test_rows_are_in_the_short_form(self):
        [row] = self.drive("drive_advanced_search", name_key_word="budget.csv")["tree"]
        self.assertEqual(list(row), SHORT_KEYS)
        self.assertEqual(row["Owner"], ALICE)

    def test_shared_drive_search_with_the_member_keyword(self):
        uuid_ = self.uuids["Team Drive"]["shared_drive_uuid"]
        reply = self.team("shared_drive_advanced_search", member_key_word="partner.test")
        self.assertEqual(self.names(reply), ["design-a.txt"])
        self.assertEqual(list(reply["tree"][0]), FULL_KEYS)
        both = self.team("shared_drive_advanced_search", member_key_word="bob@", type="pdf")
        self.assertEqual(self.names(both), ["design-b.pdf"])
        everything = self.team("shared_drive_advanced_search", name_key_word="")
        self.assertEqual(self.names(everything), [r["drive_name"] for r in self.shared_rows(uuid_)])
        # The member keyword is not a Drive filter.
        self.assertEqual(self.names(self.drive("drive_advanced_search", member_key_word="alice")), [])

    def test_search_needs_the_store_folder(self):
        before = self.tree()
        self.assertError(self.call("drive_advanced_search", domain_user_email="nobody@example.test",
                                   name_key_word=""), 5302, "domain_user_email")
        self.assertError(self.call("shared_drive_advanced_search",
                                   shared_drive_id=self.uuids["Team Drive"]["shared_drive_id"], name_key_word=""),
                         5302, "shared_drive_id")
        self.assertEqual(self.tree(), before)


class BusyAndErrors(BrowseCase):

    def hold(self, lock, *flock_args):
        """flock(1) holding lock until the test ends; returns once it holds it."""
        qlmtest.hold_lock(self, lock, *flock_args)

    def test_a_running_backup_makes_the_browse_answer_success_alone(self):
        root = self.index_of("My Drive")
        self.hold(self.gws_path("backup/drive", self.task, ALICE + ".drive_lck"))
        self.assertEqual(self.drive("list_drive_local_backup", start=0, limit=5, index=root), {"success": True})
        # Another account, the item details and the search take no lock.
        self.assertTrue(self.call("list_drive_local_backup", domain_user_email="bob@example.test", start=0,
                                  limit=5, index=1)["tree"])
        self.assertTrue(self.drive("drive_single_info", index=root)["success"])
        self.assertTrue(self.drive("drive_advanced_search", name_key_word="")["tree"])

    def test_a_running_shared_drive_backup_holds_the_lock_of_googles_id(self):
        team = self.uuids["Team Drive"]
        self.hold(self.gws_path("backup/shared_drive", self.task, team["shared_drive_id"] + ".shared_drive_lck"))
        self.assertEqual(self.team("list_shared_drive_local_backup", start=0, limit=5, index=1), {"success": True})
        self.assertTrue(self.team("list_shared_drive_local_backup", drive="Design Drive", start=0, limit=5,
                                  index=1)["tree"])

    def test_browses_do_not_turn_each_other_away(self):
        self.hold(self.gws_path("backup/drive", self.task, ALICE + ".drive_lck"), "--shared")
        reply = self.drive("list_drive_local_backup", start=0, limit=5, index=self.index_of("My Drive"))
        self.assertTrue(reply["tree"])

    def test_missing_and_bad_parameters(self):
        page = dict(start="0", limit="5", index="1")
        drive_page = dict(page, act="list_drive_local_backup", task_id=self.task, domain_user_email=ALICE)
        team_page = dict(page, act="list_shared_drive_local_backup", task_id=self.task,
                         shared_drive_id=self.uuids["Team Drive"]["shared_drive_uuid"])
        info = dict(act="drive_single_info", task_id=self.task, domain_user_email=ALICE, index="1")
        team_info = dict(act="shared_drive_single_info", task_id=self.task,
                         shared_drive_id=self.uuids["Team Drive"]["shared_drive_uuid"], index="1")
        search = dict(act="drive_advanced_search", task_id=self.task, domain_user_email=ALICE, name_key_word="")
        team_search = dict(team_info, act="shared_drive_advanced_search")
        cases = []
        for base in (drive_page, team_page, info, team_info, search, team_search):
            key = "domain_user_email" if "domain_user_email" in base else "shared_drive_id"
            cases += [(base, "task_id", None, 5303, "task_id"), (base, key, None, 5303, key)]
            cases += [(base, "task_id", bad, 5302, "task_id") for bad in HOSTILE_TASKS]
            cases += [(base, key, bad, 5302, key) for bad in HOSTILE_NAMES]
        for base in (drive_page, team_page):
            cases += [(base, "start", None, 5303, "start"), (base, "start", "-1", 5302, "start"),
                      (base, "limit", None, 5303, "limit"), (base, "limit", "x", 5303, "limit"),
                      (base, "limit", "-3", 5302, "limit")]
        before = self.tree()
        for base, name, value, code, msg in cases:
            params = dict(base)
            if value is None:
                del params[name]
            else:
                params[name] = value
            with self.subTest(act=base["act"], name=name, value=value):
                self.assertError(self.request(params), code, msg)
        # Not one of these requests left a file or folder anywhere under the root.
        self.assertEqual(self.tree(), before)

    def test_browsing_creates_no_file_or_folder(self):
        before = self.tree()
        other_task = str(uuid.uuid4())
        for params in [
            dict(act="list_drive_local_backup", task_id=self.task, domain_user_email="nobody@example.test"),
            dict(act="list_drive_local_backup", task_id=other_task, domain_user_email=ALICE),
            dict(act="list_shared_drive_local_backup", task_id=other_task, shared_drive_id=str(uuid.uuid4())),
            dict(act="list_drive_local_backup", task_id=self.task, domain_user_email=ALICE),
            dict(act="drive_advanced_search", task_id=self.task, domain_user_email=ALICE, name_key_word=""),
        ]:
            with self.subTest(params=params):
                self.assertTrue(self.request(dict(params, start=0, limit=5, index=1))["success"])
        self.assertEqual(self.tree(), before)
        self.assertFalse(os.path.exists(self.gws_path("backup/drive", other_task)))


class LibraryLoading(BrowseCase):
    """A request loads only the libraries its action uses: the ones for secrets, checksums, zip
    files and content types come in on first use."""

    ON_DEMAND = ("libcrypto.so", "libarchive.so", "libmagic.so")

    def loaded(self, params):
        """(reply body, the on-demand libraries the request loaded) as the dynamic loader reports them."""
        env = self.env(GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD="GET", QUERY_STRING=urllib.parse.urlencode(params),
                       HTTP_COOKIE="NAS_SID=" + self.sid, LD_DEBUG="libs")
        r = subprocess.run([self.cgi_path], env=env, capture_output=True, timeout=120)
        log = r.stderr.decode(errors="replace")
        self.assertIn("calling init:", log)  # the loader did report
        return (qlmtest.split_response(r.stdout)[1],
                {lib for lib in self.ON_DEMAND if re.search(r"calling init: \S*/" + re.escape(lib), log)})

    def test_browse_list_and_log_actions_load_none_of_them(self):
        drive = dict(task_id=self.task, domain_user_email=ALICE)
        for params in (dict(drive, act="list_drive_local_backup", start=0, limit=50, index=1),
                       dict(drive, act="drive_single_info", index=1),
                       dict(drive, act="drive_advanced_search", name_key_word="a"),
                       dict(act="list_task"),
                       dict(act="mission_list"),
                       dict(act="list_log", start=0, limit=10)):
            with self.subTest(act=params["act"]):
                body, libs = self.loaded(params)
                self.assertIn(b'"success": true', body)
                self.assertEqual(libs, set())

    def test_an_action_that_decrypts_the_key_loads_libcrypto_alone(self):
        self.assertEqual(self.loaded(dict(act="get_shared_drive", task_id=self.task))[1], {"libcrypto.so"})


if __name__ == "__main__":
    unittest.main()
