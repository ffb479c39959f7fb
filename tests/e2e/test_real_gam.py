"""What the real GAM does that a domain shows, through orvenna.cgi: a network it cannot reach,
files shared with a user, backslashes in its CSV, the types of uploaded files. Each case runs a
backup or a restore end to end and compares what the system stored or made with the simulated
domain."""

import collections
import csv
import io
import json
import os
import sqlite3
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_backup  # noqa: E402
import test_calcontact_restore  # noqa: E402
import test_restore  # noqa: E402
import test_tasks  # noqa: E402

ADMIN = test_tasks.ADMIN
ALICE = test_restore.ALICE
BOB = test_restore.BOB
DRIVE_ONLY = test_restore.DRIVE_ONLY
UNREACHABLE = "ERROR: Unable to find the server at"
# Drive names with one and two backslashes in a row (and one at the end).
BACKSLASH_NAMES = ("back\\slash.txt", "two\\\\in a row, \"quoted\"\\")
ODF = {"application/vnd.google-apps.document": "application/vnd.oasis.opendocument.text",
       "application/vnd.google-apps.spreadsheet": "application/vnd.oasis.opendocument.spreadsheet",
       "application/vnd.google-apps.presentation": "application/vnd.oasis.opendocument.presentation"}


def drive_catalog(case, task, user):
    """A user's Drive catalog rows: name -> row."""
    path = case.gws("backup/drive_db", task, user + ".db")
    with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
        db.row_factory = sqlite3.Row
        return {r["drive_id"]: dict(r) for r in db.execute("SELECT * FROM drive_sql_database")}


class LostNetwork(test_backup.BackupCase):
    """GAM that cannot reach Google (status 5) stops the attempt as a lost connection; the wrapper's
    next attempt finishes with everything, and no item is logged as failed."""

    fault_n = test_backup.RunFailures.fault_n
    run_to_history = test_backup.RunFailures.run_to_history

    def test_an_unreachable_google_ends_the_attempt_and_the_next_finishes(self):
        # The pre-counts list every user's tree and events first (four users): the faults skip them.
        cases = [
            ("a Drive download", dict(drive_enable="1"), "get drivefile", 0, 3, "Drive"),
            ("a Drive listing", dict(drive_enable="1"), "print filetree", 4, 1, "Drive"),
            ("an event listing", dict(calendar_enable="1"), "print events", 4, 1, "Calendar"),
            ("a contact listing", dict(contact_enable="1"), "print contacts", 4, 1, "Contact"),
        ]
        for what, switches, match, skip, times, service in cases:
            with self.subTest(what):
                self.setUp()
                self.fault_n("gam", match, "unreachable", times=times, skip=skip)
                record, rows = self.run_to_history(**switches)
                texts = [r["sql_name"] for r in rows]
                self.assertEqual(record["backup_status"], "finish", texts)
                unreached = [c for c in self.calls("gam") if c.get("exit") == 5]
                self.assertEqual(len(unreached), times)
                errors = [r["sql_name"] for r in rows if r["sql_status"] == "FAIL" and r["sql_type"] == "info"]
                self.assertEqual(errors, ["Error occurred while backing up all accounts in domain %s: %s backup "
                                          "fail.." % (ADMIN, service)] * times)
                self.assertFalse([t for t in texts if t.startswith(("Failed to download", "Failed to retrieve"))])
                self.assertEqual(texts[-1], "Completed backup for all accounts in domain %s." % ADMIN)
        # The Drive store of the last Drive case holds every file of the domain's users.
        self.setUp()
        self.fault_n("gam", "get drivefile", "unreachable", times=2, skip=1)
        record, rows = self.run_to_history(drive_enable="1")
        sim = self.path("var/lib/gwssim/users")
        for user in os.listdir(sim):
            with open(os.path.join(sim, user, "drive.json")) as f:
                files = [i for i in json.load(f)["items"] if i.get("md5") and not i.get("trashed")]
            catalog = drive_catalog(self, self.task, user)
            for item in files:
                self.assertIn(item["id"], catalog, (user, item["name"]))


class RestoreLostNetwork(test_restore.RestoreCase):

    def test_an_unreachable_google_ends_the_restore_attempt_and_the_next_goes_on(self):
        self.fault("gam", "localfile", "unreachable", "--skip", "3", "--times", "1")
        record = self.finished(domain_user_email=ALICE, target_account=BOB, localid_list="ALL", **DRIVE_ONLY)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        self.assertSameTree(self.restored(BOB), self.backed_up(ALICE))
        self.assertEqual(len([m for m in self.messages() if m.startswith("Error occurred while restoring")]), 1)
        done = [argv[argv.index("drivefilename") + 1] for argv, ex in self.uploads() if ex == 0]
        self.assertEqual(len(done), len(set(done)), "nothing uploaded twice")
        self.assertEqual(len([ex for argv, ex in self.uploads() if ex == 5]), 1)


class SharedWithMe(test_backup.BackupCase):
    """A file the admin shared with Alice is in her file list, not in her tree."""

    def test_the_sharers_backup_holds_the_file_and_the_users_holds_exactly_his_tree(self):
        with open(self.path("var/lib/gwssim/users", ADMIN, "drive.json")) as f:
            shared = next(i for i in json.load(f)["items"] if i.get("md5") and not i.get("trashed"))
        self.gwssim("share", "--user", ADMIN, "--item", shared["id"], "--with", ALICE)
        self.calls(clear=True)  # forget the set-up
        reply = self.backup(drive_enable="1")
        self.assertTrue(reply["success"], reply)
        [record] = self.wait_history()
        self.assertEqual(record["backup_status"], "finish")
        alice = drive_catalog(self, self.task, ALICE)
        self.assertNotIn(shared["id"], alice)
        # Only items of her Drive (her root, her own items, the made-up Orphans folder), each with its
        # name, type and place.
        with open(self.path("var/lib/gwssim/users", ALICE, "drive.json")) as f:
            own = {i["id"] for i in json.load(f)["items"]}
        roots = {r["drive_id"] for r in alice.values() if r["drive_depth"] == -1}
        self.assertLessEqual(set(alice), own | roots | {"Orphans"})
        for row in alice.values():
            self.assertTrue(row["drive_name"] and row["drive_mimeType"], row)
        gets = [c["argv"] for c in self.calls("gam") if "get" in c["argv"]]
        self.assertEqual([a[1] for a in gets if shared["id"] in a], [ADMIN], "downloaded once, as its owner")
        admin = drive_catalog(self, self.task, ADMIN)
        self.assertIn(shared["id"], admin)
        store = self.gws("backup/drive", self.task, ADMIN, admin[shared["id"]]["drive_localid"])
        with open(store, "rb") as f:
            data = f.read()
        with open(self.path("var/lib/gwssim/users", ADMIN, "blobs", shared["id"]), "rb") as f:
            self.assertEqual(data, f.read())


class DriveNamesAndTypes(test_restore.RestoreCase):
    """Drive names with backslashes, and the type every restored file names and gets."""

    @classmethod
    def seed(cls):
        items = [("iBack%d" % n, name, None, ("bytes of %s" % name).encode()) for n, name in enumerate(BACKSLASH_NAMES)]
        qlmtest.plant_drive_items(cls.path("var/lib/gwssim/users", ALICE), items)

    def test_backslashes_are_catalogued_browsed_and_restored_as_google_has_them(self):
        catalog = drive_catalog(self, self.task, ALICE)
        for n, name in enumerate(BACKSLASH_NAMES):
            self.assertEqual(catalog["iBack%d" % n]["drive_name"], name)
        [root] = [r for r in catalog.values() if r["drive_depth"] == -1]
        listed = self.request(dict(act="list_drive_local_backup", task_id=self.task, domain_user_email=ALICE,
                                   start=0, limit=500, index=root["drive_index"]))
        browsed = {r["id"]: r["name"] for r in listed["tree"]}
        for n, name in enumerate(BACKSLASH_NAMES):
            self.assertEqual(browsed["iBack%d" % n], name)
        self.finished(domain_user_email=ALICE, target_account=BOB, localid_list="ALL", **DRIVE_ONLY)
        got = self.restored(BOB)
        for name in BACKSLASH_NAMES:
            self.assertIn((name,), got)
        self.assertSameTree(got, self.backed_up(ALICE))

    def test_every_upload_names_the_catalogued_type_and_the_restored_file_has_it(self):
        record = self.finished(domain_user_email=ALICE, target_account=BOB, localid_list="ALL", **DRIVE_ONLY)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        by_name = collections.defaultdict(set)
        for row in drive_catalog(self, self.task, ALICE).values():
            by_name[row["drive_name"]].add(row["drive_mimeType"])
        uploads = self.uploads()
        self.assertTrue(uploads)
        editors = 0
        for argv, ex in uploads:
            name = argv[argv.index("drivefilename") + 1]
            [catalogued] = by_name[name]
            want = ODF.get(catalogued, catalogued)
            editors += catalogued in ODF
            self.assertEqual(argv[argv.index("localfile") + 2:argv.index("localfile") + 4], ["mimetype", want], name)
        self.assertGreater(editors, 0, "the demo domain has editor files")
        for owner, path, mime, md5, size, trashed in self.dump():
            if owner == BOB and self.stamp() in path and mime != test_restore.FOLDER:
                [catalogued] = by_name[path[-1]]
                self.assertEqual(mime, ODF.get(catalogued, catalogued), path)


class EventAndContactBackslashes(test_calcontact_restore.CalContactCase):
    """Event summaries and contact names holding backslashes, one and two in a row."""

    SUMMARY = "C:\\Temp\\\\share \"x\"\\"
    GIVEN, FAMILY = "Back\\slash", "Two\\\\"

    @classmethod
    def seed_alice(cls):
        super().seed_alice()
        for name, add in (("calendar.json", cls.add_event), ("contacts.json", cls.add_contact)):
            path = cls.user_file(ALICE, name)
            with open(path) as f:
                data = json.load(f)
            add(data)
            with open(path, "w") as f:
                json.dump(data, f)

    @classmethod
    def add_event(cls, cal):
        cal["events"].append({"id": "seedbackslash", "iCalUID": "seedbackslash@google.com", "status": "confirmed",
                              "summary": cls.SUMMARY, "location": "\\\\", "start.date": "2024-06-03",
                              "end.date": "2024-06-04", "creator.email": ALICE, "organizer.email": ALICE})

    @classmethod
    def add_contact(cls, con):
        con["contacts"].append({"resourceName": "people/seedbackslash", "givenName": cls.GIVEN,
                                "familyName": cls.FAMILY, "displayName": cls.GIVEN + " " + cls.FAMILY, "emails": [],
                                "phones": [], "orgName": "", "orgTitle": "", "orgDepartment": "",
                                "groups": ["contactGroups/myContacts"]})

    def csv_rows(self, act, **params):
        status, header, body = self.run_cgi(dict({"act": act, "task_id": self.task, "browser": "curl",
                                                  "localid": "ALL", "domain_user_email": ALICE}, **params),
                                            sid=self.sid)
        self.assertEqual(status, 0)
        self.assertIn(".csv", header)
        text = body.decode("utf-8-sig")
        return list(csv.reader(io.StringIO(text, newline="")))

    def test_catalogued_downloaded_as_csv_and_restored_with_the_backslashes_they_had(self):
        [event] = [r for r in self.catalog("calendar", ALICE) if r["calendarId"] == "seedbackslash"]
        self.assertEqual((event["summary"], event["location"]), (self.SUMMARY, "\\\\"))
        [person] = [r for r in self.catalog("contact", ALICE) if r["resourceName"] == "people/seedbackslash"]
        self.assertEqual((person["names_0_givenName"], person["names_0_familyName"]), (self.GIVEN, self.FAMILY))
        self.assertIn([self.SUMMARY, "\\\\"], [r[:2] for r in self.csv_rows("export_calendar", calendar_name="x")])
        self.assertIn(self.GIVEN + " " + self.FAMILY, [r[0] for r in self.csv_rows("export_contact", contact_name="x")])

        record, new = self.run_restore(domain_user_email=ALICE, target_account=BOB, localid_list=event["localid"],
                                       **test_calcontact_restore.CALENDAR)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        self.assertEqual(new, {BOB: collections.Counter({(self.SUMMARY, "\\\\", "2024-06-03", "2024-06-04", "", ""):
                                                         1})})
        self.setUp()
        record, new = self.run_restore(domain_user_email=ALICE, target_account=BOB, localid_list=person["localid"],
                                       **test_calcontact_restore.CONTACTS)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        self.assertEqual(new, {BOB: collections.Counter({(self.GIVEN, self.FAMILY, (), (), "", "", ""): 1})})


if __name__ == "__main__":
    unittest.main()
