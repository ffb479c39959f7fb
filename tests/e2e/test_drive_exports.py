"""Drive and shared drive exports to a NAS share, over a backed-up simulated domain: the exported
trees against the domain byte for byte (the whole drive, picked items, a search), hostile names
and links planted in the export folder, and the activity-log rows."""

import itertools
import json
import os
import re
import shutil
import sqlite3
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_tasks  # noqa: E402

USER = "alice@example.test"
FOLDER_MIME = qlmtest.FOLDER_MIME
SERVICES = {"drive_enable": "1", "shared_drive_enable": "1", "gmail_enable": "0", "calendar_enable": "0",
            "contact_enable": "0"}
# The part of a name the export adds on a clash: "name(3)" or "name(3).ext".
COUNTER = re.compile(r"\(\d+\)(?=\.[^.]*$|$)")


def component(name, mime=None):
    """A Drive name as the export writes it: one path component, as close to Google's as possible;
    an editor file's with its OpenDocument extension."""
    name = name.replace("/", "_").replace("\0", "_")
    return qlmtest.with_open_document_extension("Untitled" if name in ("", ".", "..") else name, mime)


def uncounted(path):
    """The path without the counters that same-named siblings get, so trees compare as multisets."""
    return "/".join(COUNTER.sub("", c) for c in path.split("/"))


def files_below(top):
    """Every regular file below top: sorted [(path without counters, bytes)]; links are reported."""
    out = []
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, top)
            if os.path.islink(full):
                out.append((uncounted(rel), "link"))
            elif name in files:
                with open(full, "rb") as f:
                    out.append((uncounted(rel), f.read()))
    return sorted(out, key=lambda e: (e[0], repr(e[1])))


def folders_below(top):
    return sorted(uncounted(os.path.relpath(os.path.join(f, d), top)) for f, dirs, _ in os.walk(top) for d in dirs)


class DriveExports(qlmtest.WithoutFileRights, test_tasks.TaskCase):
    maxDiff = None
    """One backup of the domain's drives, then exports into a share made with nasctl."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.share = cls.path("share", "Public")
        os.makedirs(cls.share)
        cls.nasctl("share", "add", "Public", cls.share)
        cls.outside = tempfile.mkdtemp(prefix="qlm-outside-", dir=cls.root)
        cls.task = None

    @classmethod
    def env(cls, **extra):
        return super().env(QLM_SLEEP_SCALE="0", **extra)

    def setUp(self):
        if DriveExports.task is None:
            self.plant_hostile_items()
            DriveExports.task = self.new_task()
            reply = self.request(dict({"act": "backup", "task_id": self.task}, **SERVICES))
            self.assertTrue(reply["success"], reply)
            self.wait_history(lambda r: r.get("mode") != "export")

    # -- the simulated domain ------------------------------------------------------------------

    def sim(self, *parts):
        return self.path("var/lib/gwssim", *parts)

    def plant_hostile_items(self):
        """A folder "..", files "a/b" and "..", next to the demo user's own items."""
        qlmtest.plant_drive_items(self.sim("users", USER), [
            ("1dotdotFolder000000000000000000000", "..", None, None),
            ("1dotdotInner0000000000000000000000", "inner.txt", "1dotdotFolder000000000000000000000", b"inner\n"),
            ("1slashName00000000000000000000000", "a/b", None, b"slash\n"),
            ("1dotdotFile000000000000000000000000", "..", None, b"dots\n")])

    def sim_drive(self, *where):
        with open(self.sim(*where, "drive.json")) as f:
            return json.load(f)

    def expected(self, drive, blobs, store, rows, top):
        """What exporting the item top (its id) must give: [(path without counters, bytes)] and
        the folders. A file with content in the domain brings that content; a Google editor file
        brings what the backup stored for it; the others (shortcuts, scripts) bring nothing."""
        # Trashed items are not backed up; items whose folder their owner cannot see are put in
        # GAM's made-up "Orphans" folder at the top of the drive.
        items = [it for it in drive["items"] if not it.get("trashed")]
        known = {it["id"] for it in items} | {drive["root_id"]}
        by_parent = {}
        for it in items:
            parent = it.get("parent")
            if parent not in known:
                parent = "Orphans"
                if "Orphans" not in by_parent:
                    by_parent.setdefault(drive["root_id"], []).append(
                        {"id": "Orphans", "name": "Orphans", "mimeType": FOLDER_MIME})
                    by_parent["Orphans"] = []
            by_parent.setdefault(parent, []).append(it)
        local = {r["drive_id"]: r["drive_localid"] for r in rows}
        names = {r["drive_id"]: r["drive_name"] for r in rows}
        files, folders = [], []

        def walk(iid, path):
            for it in by_parent.get(iid, []):
                name = component(it["name"], it["mimeType"])
                p = path + "/" + name if path else name
                if it["mimeType"] == FOLDER_MIME:
                    folders.append(uncounted(p))
                    walk(it["id"], p)
                elif it.get("has_blob") and not it["mimeType"].startswith("application/vnd.google-apps."):
                    with open(os.path.join(blobs, it["id"]), "rb") as f:
                        files.append((uncounted(p), f.read()))
                elif local.get(it["id"]) and os.path.isfile(os.path.join(store, local[it["id"]])):
                    with open(os.path.join(store, local[it["id"]]), "rb") as f:
                        files.append((uncounted(p), f.read()))

        top_item = next((it for it in drive["items"] if it["id"] == top), None)
        if top_item is None or top_item["mimeType"] == FOLDER_MIME:
            name = component(names[top] if top_item is None else top_item["name"])
            folders.append(name)
            walk(top, name)
        else:
            walk(top_item["parent"], "")
            files = [f for f in files if f[0] == uncounted(component(top_item["name"], top_item["mimeType"]))][:1]
        return sorted(files, key=lambda e: (e[0], repr(e[1]))), sorted(folders)

    # -- the catalogs and the store --------------------------------------------------------------

    def catalog_rows(self, folder, key):
        table = "drive_sql_database" if folder == "drive_db" else "shared_drive_sql_database"
        with sqlite3.connect(self.gws("backup", folder, self.task, key + ".db")) as db:
            db.row_factory = sqlite3.Row
            return [dict(r) for r in db.execute("SELECT * FROM %s ORDER BY rowid DESC" % table)]

    def drive_rows(self):
        return self.catalog_rows("drive_db", USER)

    def store(self):
        return self.gws("backup/drive", self.task, USER)

    def shared_drives(self):
        """uuid -> (Google id, name) of every backed-up shared drive."""
        path = self.gws("backup/shared_drive_map_db", self.task, self.task + "_mapping.db")
        with sqlite3.connect(path) as db:
            return {u: (i, n) for u, i, n in
                    db.execute("SELECT shared_drive_uuid, shared_drive_id, shared_drive_name FROM shared_drive_mapping_uuid_table")}

    # -- exports -----------------------------------------------------------------------------------

    def history(self):
        folder = self.gws("conf/mission/history_mission")
        out = {}
        for name in os.listdir(folder) if os.path.isdir(folder) else []:
            with open(os.path.join(folder, name)) as f:
                out[name] = json.load(f)
        return out

    def wait_history(self, match, before=(), deadline=120):
        """The first history record not in before that match accepts."""
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            for name, record in self.history().items():
                if name not in before and match(record):
                    return record
            time.sleep(0.05)
        self.fail("no history record came")

    def export(self, act="export_drive_to_nas", nas_path="/Public", file_size=None, **params):
        """Runs one export to its end: (reply, history record, the export folder). file_size: a limit
        on the files it writes (as run_cgi's)."""
        before = set(self.history())
        query = dict({"act": act, "task_id": self.task, "nas_path": nas_path}, **params)
        reply = self.request({k: v for k, v in query.items() if v is not None}, file_size=file_size)
        self.assertTrue(reply["success"], reply)
        self.assertEqual(list(reply), ["success", "mission_id", "path"])
        record = self.wait_history(lambda r: r.get("mode") == "export", before)
        # The worker files its history record first, then removes its marker and progress record.
        marker = self.gws("conf/mission/progress_mission", reply["mission_id"])
        end = time.monotonic() + 30
        while (os.path.exists(marker) or os.path.exists("/dev/shm/" + reply["mission_id"])) \
                and time.monotonic() < end:
            time.sleep(0.02)
        self.assertFalse(os.path.exists(marker))
        self.assertFalse(os.path.exists("/dev/shm/" + reply["mission_id"]))
        return reply, record, reply["path"]

    def export_rows(self, before):
        return [r for r in self.log_rows()[before:] if r["sql_name"].startswith("Exported ")]

    def tearDown(self):
        # Every export is its own folder of the share, and nothing else is ever written there.
        for name in os.listdir(self.share):
            self.assertRegex(name, r"^Quillmere_Export_\d{8}_\d{6}(_\d+)?$")
        self.assertEqual(os.listdir(self.outside), [])

    def clear_share(self):
        for name in os.listdir(self.share):
            shutil.rmtree(os.path.join(self.share, name))

    # -- Drive ---------------------------------------------------------------------------------------

    def test_the_whole_drive_arrives_as_in_the_domain(self):
        self.clear_share()
        logged = len(self.log_rows())
        reply, record, folder = self.export(index="ALL", domain_user_email=USER)
        self.assertEqual(os.path.dirname(folder), self.share)
        self.assertEqual({k: record[k] for k in ("service", "task_id", "domain", "mode", "backup_status")},
                         {"service": ["drive"], "task_id": self.task, "domain": USER, "mode": "export",
                          "backup_status": "finish"})
        drive = self.sim_drive("users", USER)
        [top] = os.listdir(folder)
        files, folders = self.expected(drive, self.sim("users", USER, "blobs"), self.store(), self.drive_rows(),
                                       drive["root_id"])
        self.assertEqual(files_below(folder), files)
        self.assertEqual(folders_below(folder), folders)
        # The hostile names became one component each, inside the drive's own folder (the folder
        # ".." and the file ".." are both "Untitled", one of them with a counter).
        got = dict(files_below(folder))
        for name, data in (("Untitled/inner.txt", b"inner\n"), ("a_b", b"slash\n"), ("Untitled", b"dots\n")):
            self.assertEqual(got.get(top + "/" + name), data, name)
        # Google editor files are named as the OpenDocument files they are stored as.
        self.assertLessEqual({top + "/Projects/notes.odt", top + "/Projects/Kickoff deck.odp",
                              top + "/Projects/2024/Budget sheet.ods"}, set(got))
        # One row per copied file, naming the share path as the request gave it.
        rows = self.export_rows(logged)
        self.assertEqual(len(rows), len(files))
        self.assertIn("Exported Drive file \"a/b\" of account %s to NAS path: /Public." % USER,
                      [r["sql_name"] for r in rows])
        self.assertEqual({(r["domain"], r["user"], r["sql_status"], r["task_id"]) for r in rows},
                         {(USER, "admin", "SUCCESS", self.task)})

    def test_a_picked_folder_brings_its_subtree_and_a_picked_file_comes_alone(self):
        self.clear_share()
        rows = self.drive_rows()
        drive = self.sim_drive("users", USER)
        by_id = {it["id"]: it for it in drive["items"]}
        folder_row = next(r for r in rows if r["drive_mimeType"] == FOLDER_MIME and r["drive_depth"] == 0 and
                          any(it.get("parent") == r["drive_id"] and it["mimeType"] == FOLDER_MIME
                              for it in drive["items"]))
        file_row = next(r for r in rows if r["drive_mimeType"] == "text/plain" and r["drive_depth"] >= 1
                        and by_id.get(r["drive_id"], {}).get("has_blob"))
        _, record, folder = self.export(index="%d,x7,999999,%d" % (folder_row["drive_index"], file_row["drive_index"]),
                                        domain_user_email=USER)
        self.assertEqual(record["backup_status"], "finish")
        blobs = self.sim("users", USER, "blobs")
        f1, d1 = self.expected(drive, blobs, self.store(), rows, folder_row["drive_id"])
        f2, _ = self.expected(drive, blobs, self.store(), rows, file_row["drive_id"])
        self.assertEqual(files_below(folder), sorted(f1 + f2, key=lambda e: (e[0], repr(e[1]))))
        self.assertEqual(folders_below(folder), d1)
        self.assertTrue(any("/" in p for p, _ in f1), "the folder's subtree has a subfolder with files")

    def test_an_item_picked_more_than_once_is_exported_once(self):
        self.clear_share()
        rows = self.drive_rows()
        drive = self.sim_drive("users", USER)
        by_id = {it["id"]: it for it in drive["items"]}
        folder_row = next(r for r in rows if r["drive_mimeType"] == FOLDER_MIME and r["drive_depth"] == 0 and
                          any(it.get("parent") == r["drive_id"] for it in drive["items"]))
        file_row = next(r for r in rows if r["drive_mimeType"] == "text/plain" and r["drive_depth"] >= 1
                        and by_id.get(r["drive_id"], {}).get("has_blob"))
        blobs = self.sim("users", USER, "blobs")
        f1, d1 = self.expected(drive, blobs, self.store(), rows, folder_row["drive_id"])
        f2, _ = self.expected(drive, blobs, self.store(), rows, file_row["drive_id"])
        logged = len(self.log_rows())
        # The same number written another way is the same item.
        picked = [str(folder_row["drive_index"]), str(file_row["drive_index"]), "0%d" % file_row["drive_index"]]
        _, record, folder = self.export(index=",".join(picked * 200), domain_user_email=USER)
        self.assertEqual(record["backup_status"], "finish")
        self.assertEqual(files_below(folder), sorted(f1 + f2, key=lambda e: (e[0], repr(e[1]))))
        self.assertEqual(folders_below(folder), d1)
        self.assertEqual(len(self.export_rows(logged)), len(f1) + len(f2))

    def test_a_search_exports_what_it_matches(self):
        self.clear_share()
        rows = self.drive_rows()
        matched = [r for r in rows if "file-00" in r["drive_name"] and r["drive_mimeType"] != FOLDER_MIME]
        self.assertTrue(matched)
        _, record, folder = self.export(search_condition_enable="1", name_key_word="file-00", domain_user_email=USER)
        self.assertEqual(record["backup_status"], "finish")
        blobs = self.sim("users", USER, "blobs")
        want = sorted((component(r["drive_name"]), open(os.path.join(blobs, r["drive_id"]), "rb").read())
                      for r in matched)
        self.assertEqual(files_below(folder), want)
        # A search that matches nothing finishes with an empty folder (the same second's folder
        # would be shared).
        self.clear_share()
        _, record, folder = self.export(search_condition_enable="1", name_key_word="no such name",
                                        domain_user_email=USER)
        self.assertEqual(record["backup_status"], "finish")
        self.assertEqual(os.listdir(folder), [])

    def test_folders_planted_under_the_export_folders_name_are_never_written_into(self):
        self.clear_share()
        drive = self.sim_drive("users", USER)
        rows = self.drive_rows()
        top = component(next(r["drive_name"] for r in rows if r["drive_id"] == drive["root_id"]))
        # The folders the next seconds' exports would use, made by a share user (0755), each holding
        # a link under the drive's name.
        now = time.time()
        planted = []
        for s in range(-1, 6):
            name = time.strftime("Quillmere_Export_%Y%m%d_%H%M%S", time.localtime(now + s))
            os.makedirs(os.path.join(self.share, name), mode=0o755, exist_ok=True)
            os.symlink(self.outside, os.path.join(self.share, name, top))
            planted.append(name)
        _, record, folder = self.export(index="ALL", domain_user_email=USER)
        # The export made a folder of its own beside the planted one of its second.
        self.assertIn(os.path.basename(folder)[:-2], planted)
        self.assertEqual(os.path.basename(folder)[-2:], "_1")
        self.assertEqual(os.lstat(folder).st_mode & 0o7777, 0o700)
        self.assertEqual(record["backup_status"], "finish")
        files, _ = self.expected(drive, self.sim("users", USER, "blobs"), self.store(), rows, drive["root_id"])
        self.assertEqual(files_below(folder), files)
        for name in planted:
            self.assertEqual(os.listdir(os.path.join(self.share, name)), [top])
        self.assertEqual(os.listdir(self.outside), [])

    def test_two_exports_at_once_never_write_into_one_file(self):
        self.clear_share()
        before = set(self.history())
        replies = [self.request(dict(act="export_drive_to_nas", task_id=self.task, nas_path="/Public", index="ALL",
                                     domain_user_email=USER)) for _ in range(2)]
        self.assertTrue(all(r["success"] for r in replies), replies)
        end = time.monotonic() + 120
        while len(set(self.history()) - before) < 2 and time.monotonic() < end:
            time.sleep(0.05)
        records = [r for n, r in self.history().items() if n not in before]
        self.assertEqual([r["backup_status"] for r in records], ["finish", "finish"])
        for r in replies:
            marker = self.gws("conf/mission/progress_mission", r["mission_id"])
            while os.path.exists(marker) and time.monotonic() < end:
                time.sleep(0.02)
        # Each has a folder of its own, also when both started in the same second, and every file
        # arrives in each, whole.
        self.assertNotEqual(replies[0]["path"], replies[1]["path"])
        drive = self.sim_drive("users", USER)
        files, _ = self.expected(drive, self.sim("users", USER, "blobs"), self.store(), self.drive_rows(),
                                 drive["root_id"])
        got = []
        for name in os.listdir(self.share):
            got += files_below(os.path.join(self.share, name))
        self.assertEqual(sorted(got, key=lambda e: (e[0], repr(e[1]))),
                         sorted(files * 2, key=lambda e: (e[0], repr(e[1]))))

    def test_refusals_answer_before_anything_is_written(self):
        self.clear_share()
        good = dict(act="export_drive_to_nas", task_id=self.task, nas_path="/Public", index="ALL",
                    domain_user_email=USER)
        cases = [
            ({"index": None}, 5303, "index"),
            ({"domain_user_email": None}, 5303, "domain_user_email"),
            ({"domain_user_email": "../../x"}, 5302, "domain_user_email"),
            ({"task_id": "../x"}, 5302, "task_id"),
            ({"act": "export_shared_drive_to_nas", "shared_drive_id": None}, 5303, "shared_drive_id"),
            ({"act": "export_shared_drive_to_nas", "shared_drive_id": ".."}, 5302, "shared_drive_id"),
        ]
        before = set(self.history())
        for change, code, name in cases:
            with self.subTest(change=change):
                reply = self.request({k: v for k, v in dict(good, **change).items() if v is not None})
                self.assertEqual(reply, {"success": False, "error_code": code, "error_msg": name})
        self.assertEqual(os.listdir(self.share), [])
        self.assertEqual(set(self.history()), before)

    # -- Shared Drive ----------------------------------------------------------------------------------

    def test_every_shared_drive_arrives_as_in_the_domain(self):
        self.clear_share()
        drives = self.shared_drives()
        self.assertTrue(drives)
        for uuid, (gid, name) in drives.items():
            with self.subTest(name=name):
                self.clear_share()
                if not os.path.exists(self.gws("backup/shared_drive_db", self.task, uuid + ".db")):
                    # A drive the administrator could not read has no catalog: nothing to export.
                    reply = self.request(dict(act="export_shared_drive_to_nas", task_id=self.task,
                                              nas_path="/Public", index="ALL", shared_drive_id=uuid))
                    self.assertEqual(reply, {"success": False, "error_code": 5302, "error_msg": "shared_drive_id"})
                    continue
                logged = len(self.log_rows())
                _, record, folder = self.export(act="export_shared_drive_to_nas", index="ALL", shared_drive_id=uuid)
                self.assertEqual({k: record[k] for k in ("service", "domain", "backup_status")},
                                 {"service": ["shared_drive"], "domain": test_tasks.ADMIN, "backup_status": "finish"})
                drive = self.sim_drive("shared", gid)
                store = self.gws("backup/shared_drive", self.task, uuid)
                rows = self.catalog_rows("shared_drive_db", uuid)
                files, folders = self.expected(drive, self.sim("shared", gid, "blobs"), store, rows, drive["root_id"])
                self.assertEqual(files_below(folder), files)
                self.assertEqual(folders_below(folder), folders)
                rows = self.export_rows(logged)
                self.assertEqual(len(rows), len(files))
                self.assertEqual({r["domain"] for r in rows}, {name} if rows else set())
                for r in rows:
                    self.assertRegex(r["sql_name"], r'^Exported Shared Drive file ".*" of account %s to NAS path: '
                                     r'/Public\.$' % re.escape(name))

    def stored_files(self, store, rows):
        """The catalog rows of files with a regular store file."""
        return [r for r in rows if r["drive_mimeType"] != FOLDER_MIME and r["drive_localid"] and
                os.path.isfile(os.path.join(store, r["drive_localid"]))]

    def both_sides(self):
        """(act, its key parameter, the owner its rows name, store, catalog rows, the rows' word) of
        the account's Drive and of the shared drive with the most stored files (the uuids are random:
        the first one may hold a single file)."""
        def stored(u):
            if not os.path.exists(self.gws("backup/shared_drive_db", self.task, u + ".db")):
                return -1
            return len(self.stored_files(self.gws("backup/shared_drive", self.task, u),
                                         self.catalog_rows("shared_drive_db", u)))
        uuid, (_, drive_name) = max(sorted(self.shared_drives().items()), key=lambda d: stored(d[0]))
        self.assertGreater(stored(uuid), 2)
        return (("export_drive_to_nas", {"domain_user_email": USER}, USER, self.store(), self.drive_rows(), "Drive"),
                ("export_shared_drive_to_nas", {"shared_drive_id": uuid}, drive_name,
                 self.gws("backup/shared_drive", self.task, uuid), self.catalog_rows("shared_drive_db", uuid),
                 "Shared Drive"))

    def test_a_store_file_that_cannot_be_read_gets_a_fail_row_and_the_export_ends_error(self):
        for act, key, owner, store, rows, word in self.both_sides():
            with self.subTest(act):
                self.clear_share()
                victim = next(r for r in rows if r["drive_mimeType"] != FOLDER_MIME and r["drive_localid"] and
                              os.path.isfile(os.path.join(store, r["drive_localid"])))
                logged = len(self.log_rows())
                with self.unreadable(os.path.join(store, victim["drive_localid"])):
                    _, record, folder = self.export(act=act, index="ALL", **key)
                self.assertEqual(record["backup_status"], "error")
                failed = [r for r in self.log_rows()[logged:] if r["sql_status"] == "FAIL"]
                self.assertEqual([(r["sql_name"], r["domain"], r["task_id"]) for r in failed],
                                 [('Failed to export %s file "%s" of account %s to NAS path: /Public.'
                                   % (word, victim["drive_name"], owner), owner, self.task)])
                # Everything else still arrived, each with its row.
                copied = self.export_rows(logged)
                self.assertEqual(len(copied), len(files_below(folder)))
                self.assertGreater(len(copied), 0)
                self.assertNotIn(victim["drive_name"], [r["sql_name"].split('"')[1] for r in copied])

    def test_a_file_that_does_not_fit_the_share_gets_a_fail_row_and_leaves_nothing_behind(self):
        with self.small_share(1 << 20) as small:
            # A share that fills up; where none can be mounted, a limit on the file size.
            for (act, key, owner, store, rows, word), pos in itertools.product(self.both_sides(), range(3)):
                with self.subTest(act=act, position=pos, tmpfs=small is not None):
                    self.file_that_does_not_fit(small, act, key, owner, store, rows, word, pos)

    def file_that_does_not_fit(self, small, act, key, owner, store, rows, word, pos):
        """Three files of distinct names picked, the one at pos too large for the share."""
        picked = []
        for r in self.stored_files(store, rows):
            if component(r["drive_name"], r["drive_mimeType"]) not in \
                    [component(p["drive_name"], p["drive_mimeType"]) for p in picked]:
                picked.append(r)
        picked = picked[:3]
        self.assertEqual(len(picked), 3)
        stored = {}
        for r in picked:
            with open(os.path.join(store, r["drive_localid"]), "rb") as f:
                stored[r["drive_localid"]] = f.read()
        limit = 1 << 20 if small else self.full_share_limit()
        victim = picked[pos]
        victim_path = os.path.join(store, victim["drive_localid"])
        logged = len(self.log_rows())
        try:
            with open(victim_path, "ab") as f:
                f.write(b"x" * (limit + (64 << 10) - len(stored[victim["drive_localid"]])))
            _, record, folder = self.export(act=act, nas_path="/Small" if small else "/Public",
                                            file_size=None if small else limit,
                                            index=",".join(str(r["drive_index"]) for r in picked), **key)
        finally:
            with open(victim_path, "wb") as f:
                f.write(stored[victim["drive_localid"]])
        try:
            self.assertEqual(record["backup_status"], "error")
            # The two others arrived whole; of the third nothing stands, under any name (a part
            # file included).
            self.assertEqual(files_below(folder),
                             sorted((component(r["drive_name"], r["drive_mimeType"]), stored[r["drive_localid"]])
                                    for r in picked if r is not victim))
            new = self.log_rows()[logged:]
            share = "/Small" if small else "/Public"
            self.assertEqual([(r["sql_name"], r["domain"]) for r in new if r["sql_status"] == "FAIL"],
                             [('Failed to export %s file "%s" of account %s to NAS path: %s.'
                               % (word, victim["drive_name"], owner, share), owner)])
            self.assertEqual(sorted(r["sql_name"] for r in new if r["sql_status"] == "SUCCESS"),
                             sorted('Exported %s file "%s" of account %s to NAS path: %s.'
                                    % (word, r["drive_name"], owner, share) for r in picked if r is not victim))
        finally:
            shutil.rmtree(folder)


if __name__ == "__main__":
    unittest.main()
