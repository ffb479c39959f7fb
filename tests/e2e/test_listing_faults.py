"""Every listing a backup reads, answered with exit status 0 but broken: cut to half its bytes,
replaced by text that is neither CSV nor JSON, or left empty. Each listing breaks for one account
(or, for the domain-wide listings, for every call), on a first run and on a run after a clean one.
Afterwards nothing an earlier run stored is lost, no store file lacks its catalog row and no row of
a stored item lacks its file, every account or shared drive that was not backed up whole has a FAIL
row naming it, and the run is filed "finish" (or "error" when the domain's own user or shared-drive
listing cannot be read)."""

import collections
import concurrent.futures
import hashlib
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_tasks  # noqa: E402

ADMIN = test_tasks.ADMIN
ALICE = "alice@example.test"
TEAM_DRIVE, TEAM_NAME = test_tasks.TEAM_DRIVE, "Team Drive"
ACTIONS = ("truncate", "garbage", "empty")
BACKUP = os.path.join(test_tasks.GWS, "backup")
# orvenna.cgi -backup MISSION TASK takes its service switches in this order.
SWITCHES = ("drive", "shared_drive", "calendar", "gmail", "contact")
USER_SERVICES = ("drive", "gmail", "calendar", "contact")
# The catalogs of each service, as keyed in a store state.
KINDS = {"drive": ("drive",), "shared_drive": ("shared_drive",), "gmail": ("gmail",), "calendar": ("calendar",),
         "contact": ("contact", "contact_group")}
GOOGLE_TYPE = "application/vnd.google-apps."
# Google editor files are stored as their OpenDocument export; every other Google type (folders,
# shortcuts, forms, drawings, scripts) lives in the catalog alone.
EDITOR_TYPES = {GOOGLE_TYPE + t for t in ("document", "spreadsheet", "presentation")}
PARALLEL = min(8, os.cpu_count() or 1)


class Listing(collections.namedtuple("Listing", "name services target rules passes may_error")):
    """A listing and how to break it: rules are (tool, match texts) fault rules (or a function of
    the site giving them), passes are rules of calls that fit the same texts but must run as usual.
    target is the account or shared drive the rules break, None for a whole-domain listing;
    may_error: the run may be filed "error" (the domain's own listing cannot be read)."""


class Held(collections.namedtuple("Held", "rows files")):
    """What one account's or shared drive's catalog and store hold: {item id: its members (shared
    drives) or None}, {store file name: md5 of its content}."""


NOTHING = Held({}, {})


def item_acl_rules(site):
    # One rule per item of the drive, its top included: only the per-item queries end in
    # "<id> formatjson"; the administrator's query of the drive has "adminaccess" between.
    return [("gam", ["drivefileacls %s formatjson" % i]) for i in site.domain.shared_items[TEAM_DRIVE]]


def gam(*texts):
    return [("gam", list(texts))]


MAILBOX = "--impersonate-user " + ALICE
LISTINGS = [
    Listing("Drive file list", ("drive",), ALICE, gam("user %s print filelist fields" % ALICE), [], False),
    Listing("Drive file tree", ("drive",), ALICE, gam("user %s print filetree fields" % ALICE), [], False),
    Listing("shared drive file list", ("shared_drive",), TEAM_NAME, gam("print filelist select " + TEAM_DRIVE), [],
            False),
    Listing("shared drive file tree", ("shared_drive",), TEAM_NAME, gam("print filetree select " + TEAM_DRIVE), [],
            False),
    Listing("shared drive ACL (administrator)", ("shared_drive",), TEAM_NAME,
            gam("show drivefileacls %s adminaccess formatjson" % TEAM_DRIVE), [], False),
    Listing("shared drive item ACLs", ("shared_drive",), TEAM_NAME, item_acl_rules, [], False),
    # The five label queries of the mailbox name the same user: they pass.
    Listing("Gmail message list", ("gmail",), ALICE, [("lettrix", [MAILBOX])], [("lettrix", [MAILBOX, "--query"])],
            False),
    Listing("Gmail message count", ("gmail",), ALICE,
            gam("user %s print messages includespamtrash countsonly" % ALICE), [], False),
    Listing("Calendar events", ("calendar",), ALICE, gam("calendars %s print events" % ALICE), [], False),
    Listing("contacts", ("contact",), ALICE, gam("user %s print contacts allfields" % ALICE), [], False),
    Listing("contact groups", ("contact",), ALICE, gam("user %s print contactgroup" % ALICE), [], False),
    Listing("user listing", USER_SERVICES, None, [("scoutix", ["-info"])], [], True),
    Listing("shared-drive listing", ("shared_drive",), None, [("scoutix", ["-shared"])], [], True),
    Listing("Drive usage listing", ("drive",), None, [("tallyx", ["-k"])], [], False),
]


def md5_of(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


def read_rows(path, sql):
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
    try:
        return db.execute(sql).fetchall()
    finally:
        db.close()


def is_stored_type(mime):
    return not mime.startswith(GOOGLE_TYPE) or mime in EDITOR_TYPES


class Domain:
    """What the simulated domain holds: {(kind, account): item ids}, accounts being user addresses
    and shared drives' names."""

    def __init__(self, site):
        sim = site.path("var/lib/gwssim")
        with open(os.path.join(sim, "domain.json")) as f:
            dom = json.load(f)
        self.users = sorted(u["email"] for u in dom["users"])
        self.items = collections.defaultdict(set)
        self.shared_items = {}
        self.types = {}  # Drive and shared-drive item id -> its type
        for user in self.users:
            self.items[("drive", user)] = {i["id"] for i in self.drive(os.path.join(sim, "users", user))["items"]
                                           if not i.get("trashed")}
            with open(os.path.join(sim, "users", user, "mail.json")) as f:
                self.items[("gmail", user)] = {m["id"] for m in json.load(f)["messages"]}
        for sd in dom["shared_drives"]:
            drive = self.drive(os.path.join(sim, "shared", sd["id"]))
            ids = {drive["root_id"]} | {i["id"] for i in drive["items"] if not i.get("trashed")}
            self.shared_items[sd["id"]] = ids
            # GAM lists a shared drive as one of its users: one without any has nobody to list it as.
            if any(m["type"] == "user" for m in sd["members"]):
                self.items[("shared_drive", sd["name"])] = ids
        for line in site.gwssim("dump", "--ids").decode().splitlines():
            entry = json.loads(line)
            # GAM lists no cancelled event.
            if entry["what"] == "calendar" and entry["fields"].get("status") != "cancelled":
                self.items[("calendar", entry["user"])].add(entry["fields"]["id"])
            elif entry["what"] in ("contact", "contact_group"):
                self.items[(entry["what"], entry["user"])].add(entry["resourceName"])
            elif entry["what"] == "drive" and not entry["trashed"]:
                self.items[("drive dump", entry["user"])].add(tuple(entry["path"]))
        # The Drive ids come from the domain's files; the dump's count of items keeps them honest.
        for user in self.users:
            assert len(self.items.pop(("drive dump", user), ())) == len(self.items[("drive", user)]), user

    def drive(self, folder):
        with open(os.path.join(folder, "drive.json")) as f:
            drive = json.load(f)
        self.types.update((i["id"], i["mimeType"]) for i in drive["items"])
        return drive

    def of(self, services):
        return {k: v for k, v in self.items.items() if k[0] in {kind for s in services for kind in KINDS[s]}}


class Site:
    """One NAS root of a case: its task, the simulated domain's fault rules and calls, the backup
    runs, and what the task's stores hold."""

    def __init__(self, root, task, domain=None):
        self.root, self.task, self.domain = root, task, domain

    def env(self):
        # Retry pauses take no time.
        return {"PATH": "/usr/bin:/bin", "QLM_ROOT": self.root, "QLM_SLEEP_SCALE": "0"}

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def gwssim(self, *args):
        r = subprocess.run([self.path("usr/local/bin/gwssim"), args[0], self.path("var/lib/gwssim"), *args[1:]],
                           env=self.env(), capture_output=True)
        if r.returncode != 0:
            raise AssertionError("gwssim %s failed: %s" % (args, r.stderr.decode()))
        return r.stdout

    def add_rule(self, tool, matches, action, *extra):
        args = ["fault", "add", "--tool", tool, "--action", action, *extra]
        for m in matches:
            args += ["--match", m]
        self.gwssim(*args)

    def fired_calls(self, first_rule):
        """The tool calls that rule number first_rule or a later one answered."""
        calls = [json.loads(line) for line in self.gwssim("calls").decode("utf-8", "surrogateescape").splitlines()
                 if line.strip()]
        return [c for c in calls if c.get("rule", -1) >= first_rule]

    def history(self):
        folder = self.path(test_tasks.GWS, "conf/mission/history_mission")
        out = {}
        for name in os.listdir(folder) if os.path.isdir(folder) else []:
            with open(os.path.join(folder, name)) as f:
                out[name] = json.load(f)
        return out

    def log_rows(self):
        path = self.path(test_tasks.GWS, "quillmere_log_datebase.db")
        if not os.path.exists(path):
            return []
        db = sqlite3.connect(path)
        try:
            db.row_factory = sqlite3.Row
            return [dict(r) for r in db.execute("SELECT * FROM quillmere_sql_database ORDER BY ID")]
        finally:
            db.close()

    def backup(self, services, deadline=300):
        """One backup of the services to its history record: (record, the activity-log rows it added)."""
        seen, rows = set(self.history()), len(self.log_rows())
        switches = ["1" if s in services else "0" for s in SWITCHES]
        cgi = self.path(qlmtest.APP, "webman", "orvenna.cgi")
        subprocess.run([cgi, "-backup", str(uuid.uuid4()), self.task, *switches], env=self.env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=deadline)
        end = time.monotonic() + 60
        while time.monotonic() < end:
            new = [r for name, r in self.history().items() if name not in seen]
            if new:
                return new[0], self.log_rows()[rows:]
            time.sleep(0.05)
        raise AssertionError("no history record within the deadline; log: %s" %
                             [r["sql_name"] for r in self.log_rows()[rows:]])

    def stored_item(self, item, mime):
        """An item whose content the store keeps, by its type in the domain (a row built from a
        broken listing may lack its type)."""
        return is_stored_type(self.domain.types.get(item, mime))

    def stores(self):
        """What the task's stores hold, {(kind, account): Held}, and the faults found on the way:
        store files without their row, rows of stored items without their file, catalogs that
        cannot be read."""
        state, faults = {}, []
        task = self.task

        def catalogs(folder):
            path = self.path(BACKUP, folder, task)
            return sorted(n[:-3] for n in os.listdir(path) if n.endswith(".db")) if os.path.isdir(path) else []

        def read(kind, account, path, sql):
            try:
                return read_rows(path, sql)
            except sqlite3.Error as e:
                faults.append("%s catalog of %s cannot be read: %s" % (kind, account, e))
                return []

        def with_store(kind, account, folder, rows, members=None):
            """rows: (item id, local id, stored or not)."""
            store = self.path(BACKUP, folder)
            files = {n: md5_of(os.path.join(store, n)) for n in (os.listdir(store) if os.path.isdir(store) else [])
                     if not n.endswith("_lck")}
            named = {local for _, local, _ in rows if local}
            for name in sorted(set(files) - named):
                faults.append("%s %s: store file %s has no catalog row" % (kind, account, name))
            for item, local, stored in rows:
                if stored and (not local or local not in files):
                    faults.append("%s %s: item %s is catalogued without its store file" % (kind, account, item))
            state[(kind, account)] = Held({item: (members or {}).get(item) for item, _, _ in rows}, files)

        for user in catalogs("drive_db"):
            rows = read("drive", user, self.path(BACKUP, "drive_db", task, user + ".db"),
                        "SELECT drive_id, drive_localid, drive_mimeType FROM drive_sql_database")
            with_store("drive", user, os.path.join("drive", task, user),
                       [(i, local, self.stored_item(i, mime)) for i, local, mime in rows])
        mapping = self.path(BACKUP, "shared_drive_map_db", task, task + "_mapping.db")
        if os.path.exists(mapping):
            for sd_uuid, name in read("shared drive", "mapping", mapping, "SELECT shared_drive_uuid, shared_drive_name "
                                                                           "FROM shared_drive_mapping_uuid_table"):
                catalog = self.path(BACKUP, "shared_drive_db", task, sd_uuid + ".db")
                rows = read("shared drive", name, catalog, "SELECT drive_id, drive_localid, drive_mimeType, "
                                                           "drive_members FROM shared_drive_sql_database") \
                    if os.path.exists(catalog) else []
                with_store("shared_drive", name, os.path.join("shared_drive", task, sd_uuid),
                           [(i, local, self.stored_item(i, mime)) for i, local, mime, _ in rows],
                           {i: members for i, _, _, members in rows})
        for user in catalogs("gmail_db"):
            rows = read("gmail", user, self.path(BACKUP, "gmail_db", task, user + ".db"),
                        "SELECT gmail_id, drive_localid FROM gmail_sql_database")
            with_store("gmail", user, os.path.join("gmail", task, user), [(i, local, True) for i, local in rows])
        for kind, folder, table, column in (("calendar", "calendar_db", "calendar_sql_database", "calendarId"),
                                            ("contact", "contact_db", "contact_sql_database", "resourceName"),
                                            ("contact_group", "group_contact_db", "group_contact_sql_database",
                                             "resourceName")):
            for user in catalogs(folder):
                rows = read(kind, user, self.path(BACKUP, folder, task, user + ".db"),
                            "SELECT %s FROM %s" % (column, table))
                state[(kind, user)] = Held(dict.fromkeys(r[0] for r in rows), {})
        return state, faults


def names(row_text, account):
    """The row names the account: the domain's own rows name the administrator's address as the
    domain ("... in domain admin@example.test ..."), which names no account."""
    return account in row_text.replace("domain " + ADMIN, "domain")


def judge(listing, domain, record, rows, state, store_faults, earlier=None):
    """Everything that is wrong after a faulted run, one line each."""
    wrong = list(store_faults)
    status = record.get("backup_status")
    if status != "finish" and not (listing.may_error and status == "error"):
        wrong.append("the history record says %r" % status)
    # The pre-count's rows only say the progress total is short, not that an account was skipped.
    fails = [r["sql_name"] for r in rows if r["sql_status"] == "FAIL" and " to count " not in r["sql_name"]]
    if status == "error" and not fails:
        wrong.append("the run ended in error without a FAIL row")
    for (kind, account), ids in sorted(domain.of(listing.services).items()):
        missing = ids - set(state.get((kind, account), NOTHING).rows)
        if not missing:
            continue
        what = "%s of %s: %d of %d items not backed up" % (kind, account, len(missing), len(ids))
        if listing.target is not None and account != listing.target:
            wrong.append(what + ", though the fault never touched it")
        # A run filed "error" because the domain's own listing could not be read never saw the
        # accounts to name them; its error row reports it.
        elif status == "finish" and not any(names(f, account) for f in fails):
            wrong.append(what + ", and no FAIL row names it")
    for (kind, account), held in sorted((earlier or {}).items()):
        now = state.get((kind, account), NOTHING)
        gone = [i for i in held.rows if i not in now.rows]
        if gone:
            wrong.append("%s of %s: %d catalog rows of the earlier run are gone" % (kind, account, len(gone)))
        # The domain did not change: a shared-drive item's members stay as they were catalogued.
        changed = [i for i, members in held.rows.items() if i in now.rows and now.rows[i] != members]
        if changed:
            wrong.append("%s of %s: %d catalog rows no longer hold the members the earlier run catalogued" %
                         (kind, account, len(changed)))
        changed = [n for n, digest in held.files.items() if now.files.get(n) != digest]
        if changed:
            wrong.append("%s of %s: %d store files of the earlier run are gone or changed" %
                         (kind, account, len(changed)))
    return wrong


def run_summary(wrong, record, rows):
    """What is wrong, then what the run said: its history status and its first FAIL rows."""
    fails = [r["sql_name"][:200] for r in rows if r["sql_status"] == "FAIL"]
    return "\n".join(wrong + ["(history %r; FAIL rows: %s%s)" % (record.get("backup_status"), fails[:6],
                                                                 " ..." if len(fails) > 6 else "")])


def copy_root(template):
    root = tempfile.mkdtemp(prefix="qlm-e2e-")
    subprocess.run(["cp", "-a", template + "/.", root], check=True)
    return root


def drop_root(root):
    if not os.environ.get("QLM_KEEP_ROOT"):
        shutil.rmtree(root, ignore_errors=True)


class ListingFaults(test_tasks.TaskCase):
    """Two roots are made once: the class's own, with a task of the demo domain and nothing backed
    up, and a copy of it after a clean backup of every service. Each case runs in a copy of one of
    them, so the cases run side by side."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.task = cls().new_task()
        cls.fresh = Site(cls.root, cls.task)
        cls.domain = cls.fresh.domain = Domain(cls.fresh)
        cls.clean = Site(copy_root(cls.root), cls.task, cls.domain)
        cls.addClassCleanup(drop_root, cls.clean.root)
        record, rows = cls.clean.backup(SWITCHES)
        cls.earlier, faults = cls.clean.stores()
        # What the cases hold a faulted run to is what a clean run does: no account of the domain
        # (no target) may fall short.
        clean_run = Listing("no fault", SWITCHES, "", [], [], False)
        wrong = judge(clean_run, cls.domain, record, rows, cls.earlier, faults)
        if wrong:
            raise AssertionError("the clean backup is not clean:\n" + run_summary(wrong, record, rows))

    def run_case(self, template, listing, action, earlier):
        site = Site(copy_root(template.root), self.task, self.domain)
        try:
            # The first rule that fits a call answers it: a pass, added first, runs the tool as
            # usual (a delay of no time). A rule without --times fires on every call it fits.
            for tool, matches in listing.passes:
                site.add_rule(tool, matches, "delay", "--ms", "0")
            rules = listing.rules(site) if callable(listing.rules) else listing.rules
            for tool, matches in rules:
                site.add_rule(tool, matches, action)
            record, rows = site.backup(listing.services)
            state, faults = site.stores()
            wrong = judge(listing, self.domain, record, rows, state, faults, earlier)
            if not site.fired_calls(len(listing.passes)):
                wrong.append("the fault never fired")
            return run_summary(wrong, record, rows) if wrong else ""
        finally:
            drop_root(site.root)

    def run_all(self, template, earlier=None):
        cases = [(listing, action) for listing in LISTINGS for action in ACTIONS]
        with concurrent.futures.ThreadPoolExecutor(PARALLEL) as pool:
            futures = [pool.submit(self.run_case, template, listing, action, earlier) for listing, action in cases]
        for (listing, action), future in zip(cases, futures):
            with self.subTest(listing=listing.name, action=action):
                wrong = future.result()
                if wrong:
                    self.fail(wrong)

    def test_a_broken_listing_in_a_first_run(self):
        self.run_all(self.fresh)

    def test_a_broken_listing_after_a_clean_run_loses_nothing_it_stored(self):
        self.run_all(self.clean, self.earlier)


if __name__ == "__main__":
    unittest.main()
