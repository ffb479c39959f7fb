"""A hostile-input sweep over every action of orvenna.cgi: each parameter of each action in turn gets
shell, path, SQL, control-character, encoding, size and number payloads (and goes missing), while
the others keep a valid value; then the same payloads as names in the simulated domain go through
backup, browse, download and restore. Nothing may leave the root, run as a command, kill a process
or break a catalog, and every reply must be one header and one JSON object (or one file)."""

import concurrent.futures
import email.header
import glob
import hashlib
import io
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import uuid
import zipfile

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_tasks  # noqa: E402

ADMIN = test_tasks.ADMIN
ALICE = "alice@example.test"
JSON_HEADER = "Content-Type: application/json; charset=UTF-8"
TEAM_DRIVE = "Team Drive"
FOLDER = "application/vnd.google-apps.folder"
ALL_ON = {"drive_enable": "1", "shared_drive_enable": "1", "gmail_enable": "1", "calendar_enable": "1",
          "contact_enable": "1"}
WORKERS = 6

# -- payloads -------------------------------------------------------------------------------------
# "{c}" becomes a file name in a folder outside the root that only a payload run as a command (or a
# path that escaped the root) would create; "{out}" that folder.

SHELL = ["$(touch {c})", "`touch {c}`", "x; touch {c}", "x | touch {c}", "x' ; touch {c} ; '",
         'x" ; touch {c} ; "', "x && touch {c} #", "x\ntouch {c}", "$(touch {c})@example.test",
         "a'$(touch {c})'@example.test", "--output={out}/p", "-h"]
PATHS = ["..", ".", "", "/", "../../../../../../../../../..{out}/p", "{out}/p", "{out}", "a/../../b",
         "../" * 12 + "etc/passwd", "./x", "{out}/keep", "../../../../../../../../../..{out}/keep"]
SQL = ["'", "' OR '1'='1", "%", "_", '"', "x'; DROP TABLE quillmere_sql_database; --", "%' OR 1=1 --", "\\"]
CONTROL = ["a\r\nb", "\r\n", "a\x00b", "\x00", b"\xff\xfe\xc3(\xed\xa0\x80", "\x1b[2J\x07", "A" * 100000]
NUMBERS = ["-1", "-2147483648", "-2147483649", "2147483648", "99999999999999999999999", "-9223372036854775809",
           "9223372036854775807", "1e9", "0x1f", " 7", "7 ", "NaN", "+1", "08"]
BOOLS = ["2", "-1", "yes", "TRUE", "x", "1 "]
MISSING = None
# A selection list that names its valid item 20 000 times: each item must be taken once.
REPEATED = object()
# The content of a file outside the root: no reply may carry it.
SECRET = "QLM-OUTSIDE-SECRET-7f3a"

# Payload classes by kind of parameter: each parameter gets the classes that could hurt it.
KINDS = {
    # Ids that name files: task, key, mission.
    "id": SHELL + PATHS + SQL[:2] + CONTROL + NUMBERS[:2],
    # Texts that name accounts, drives, items, shares: path components and tool arguments.
    "name": SHELL + PATHS + SQL + CONTROL + NUMBERS[:2],
    # Search words and free texts: SQL patterns and tool arguments.
    "text": SHELL[:6] + SQL + CONTROL + PATHS[:2] + PATHS[4:6],
    # Numbers.
    "int": NUMBERS + CONTROL + SQL[:2] + SHELL[:2] + ["", "x"],
    # Switches.
    "bool": BOOLS + NUMBERS[:4] + CONTROL[:3] + [CONTROL[-1], "", SHELL[0]],
}
# Comma lists of items (local ids, catalog indexes): what names get, and one item many times.
KINDS["list"] = KINDS["name"] + [REPEATED]

# -- the actions ------------------------------------------------------------------------------------
# One row per action: its parameters, each with a valid value ("{name}" fields filled from the staged
# fixture, see Sweep.values) and its kind. A new or newly enabled action is one row here. Actions not
# built yet keep their row and are swept too: their reply must still be one well-formed JSON object.
# "streams": the reply may be a file instead of a JSON object.
# "after": swept last and alone, in the given order, since it changes what the other rows rely on.

T, S, B, I, N, L = "id", "name", "bool", "int", "text", "list"


def not_built(reply):
    """The reply of an action or a restore service that is not built yet."""
    return (reply.get("error_code"), reply.get("error_msg")) == (5302, "act") or \
        reply.get("error_msg", "").endswith(" restore is not available.")


def row(params, streams=False, after=0, body=None, empty=False, refusal=not_built):
    """empty: an empty body after the header is the action's success reply; refusal(reply): true for
    the one refusal that the valid values meet by design (the fixture cannot make them succeed)."""
    return {"params": params, "streams": streams, "after": after, "body": body, "empty": empty,
            "refusal": refusal}


def code(number, message):
    return lambda reply: (reply.get("error_code"), reply.get("error_msg")) == (number, message)


SWITCHES = {k: ("1" if k == "drive_enable" else "0", B) for k in ALL_ON}
SEARCH_DRIVE = {"name_key_word": ("plan", N), "type": ("text/plain", N), "size": ("1", I),
                "size_search_type": ("2", I), "create_time_early": ("0", I), "create_time_late": ("2000000000", I),
                "last_backup_time_early": ("0", I), "last_backup_time_late": ("2000000000", I),
                "last_modified_time_early": ("0", I), "last_modified_time_late": ("2000000000", I)}
SEARCH_GMAIL = {"sender_key_word": ("bob", N), "recipient_key_word": ("alice", N), "subject_key_word": ("Status", N),
                "date_range_early": ("0", I), "date_range_late": ("2000000000", I), "has_attachment": ("0", B)}
SEARCH_CALENDAR = {"key_word": ("call", N), "location_key_word": ("Online", N), "date_early": ("0", I),
                   "date_late": ("2000000000", I)}
TASK = {"task_id": ("{task}", T)}
USER = {"domain_user_email": (ALICE, S)}
PAGE = {"start": ("0", I), "limit": ("20", I)}
SHARED = {"shared_drive_id": ("{shared_uuid}", S)}
TO_NAS = {"task_id": ("{task}", T), "nas_path": ("{nas_path}", S), "search_condition_enable": ("0", B)}
SCHEDULE = {"mission_name": ("sweep", N), "backup_scheduling_enable": ("1", B), "schedule_frequency": ("1", I),
            "schedule_interval": ("1", I), "schedule_year": ("2030", I), "schedule_month": ("1", I),
            "schedule_day": ("1", I), "schedule_week": ("1", I), "schedule_hour": ("3", I),
            "schedule_minute": ("0", I), "schedule_hour_end": ("4", I), "schedule_minute_end": ("0", I),
            "drive_enable": ("0", B), "shared_drive_enable": ("0", B), "calendar_enable": ("0", B),
            "gmail_enable": ("0", B), "contact_enable": ("1", B)}
TASK_FIELDS = {"drive_enable": ("1", B), "shared_drive_enable": ("1", B), "calendar_enable": ("1", B),
               "gmail_enable": ("1", B), "contact_enable": ("1", B), "auto_add_user_enable": ("1", B),
               "auto_add_shared_drive_enable": ("1", B), "manual_domain_user": ("alice@example.test", S),
               "manual_shared_drive": ("{team_id}", S)}


def merge(*parts):
    out = {}
    for p in parts:
        out.update(p)
    return out


ACTIONS = {
    "auth": row({"admin_email": (ADMIN, S)}, body="key"),
    # The demo domain has its task already: adding another is refused once all else passed.
    # Its own key: an add that passes (an admin e-mail of no task's domain) takes the key it names.
    "add": row(merge({"auth_id": ("{add_auth}", T), "admin_email": (ADMIN, S)}, TASK_FIELDS),
               refusal=code(5044, "admin_email")),
    "edit": row(merge(TASK, {"auth_id": ("{auth}", T), "admin_email": (ADMIN, S)}, TASK_FIELDS), after=1),
    "edit_domain": row(merge(TASK, {"auth_id": ("{auth}", T), "admin_email": (ADMIN, S)}), after=2),
    "delete": row(merge(TASK, {"password": ("admin", N)}), after=3),
    "detail": row(TASK),
    "list_task": row({}),
    "backup": row(merge(TASK, {k: ("1" if k == "contact_enable" else "0", B) for k in ALL_ON})),
    "get_domain_user": row({"task_id": ("{task}", T), "auth_id": ("{auth}", T)}),
    "get_shared_drive": row(TASK, empty=True),
    "restore": row(merge(TASK, USER, SHARED, SWITCHES, {"target_account": (ALICE, S),
                                                        "target_shared_drive_id": ("{team_id}", S),
                                                        "localid_list": ("{drive_index}", L)})),
    "list_drive_local_backup": row(merge(TASK, USER, PAGE, {"index": ("{drive_folder}", I), "key_word": ("a", N)})),
    "list_shared_drive_local_backup": row(merge(TASK, SHARED, PAGE, {"index": ("{shared_folder}", I), "key_word": ("a", N)})),
    "list_local_domain": row({}),
    "calendar_list": row(merge(TASK, USER, PAGE, {"key_word": ("a", N)})),
    "list_calendar_local_backup": row(merge(TASK, USER, PAGE, {"key_word": ("a", N), "calendar_name": ("x", N)})),
    "contact_list": row(merge(TASK, USER, PAGE, {"key_word": ("a", N)})),
    "list_contact_local_backup": row(merge(TASK, USER, PAGE, {"key_word": ("a", N), "contact_name": ("contactGroups/82eec2f8000e", N)})),
    "get_user_and_shared_drive": row(TASK),
    "mission_list": row({"key_word": ("a", N)}),
    "history_mission_list": row({"key_word": ("a", N)}),
    "get_online_domain_users_and_shared_drive": row({"task_id": ("{task}", T), "auth_id": ("{auth}", T),
                                                     "admin_email": (ADMIN, S)}),
    "gmail_list": row(merge(TASK, USER, PAGE, {"gmail_name": ("INBOX", N), "key_word": ("a", N)})),
    "list_gmail_local_backup": row(merge(TASK, USER, PAGE, {"gmail_name": ("INBOX", N), "key_word": ("a", N)})),
    "gmail_single_info": row(merge(TASK, USER, {"gmail_localid": ("{gmail_localid}", S)})),
    "drive_single_info": row(merge(TASK, USER, {"index": ("{drive_index}", I)})),
    "shared_drive_single_info": row(merge(TASK, SHARED, {"index": ("{shared_index}", I)})),
    "download_attachment": row(merge(TASK, USER, {"gmail_localid": ("{attached_localid}", S), "index": ("0", I),
                                                  "mod_cntype": ("0", I), "browser": ("curl", N)}), streams=True),
    "export_eml": row(merge(TASK, USER, SEARCH_GMAIL, {"gmail_localid": ("{gmail_localid}", L),
                                                      "browser": ("curl", N), "search_condition_enable": ("0", B)}),
                      streams=True),
    "export_drive": row(merge(TASK, USER, SEARCH_DRIVE, {"index": ("{drive_index}", L), "browser": ("curl", N),
                                                        "search_condition_enable": ("0", B)}), streams=True),
    "export_shared_drive": row(merge(TASK, SHARED, SEARCH_DRIVE, {"index": ("{shared_index}", L),
                                                                 "browser": ("curl", N),
                                                                 "member_key_word": ("alice", N),
                                                                 "search_condition_enable": ("0", B)}),
                               streams=True),
    "add_schedule_mission": row(merge(TASK, SCHEDULE)),
    "edit_schedule_mission": row(merge(TASK, SCHEDULE, {"mission_id": ("{schedule}", T)})),
    "run_mission": row({"mission_id": ("{schedule}", T), "task_id": ("{task}", T)}),
    "detail_schedule_mission": row({"mission_id": ("{schedule}", T), "task_id": ("{task}", T)}),
    "list_log": row(merge(PAGE, {"task_id": ("{task}", T)})),
    "delete_log": row(TASK),
    "save_log": row({"task_id": ("{task}", T), "browser": ("curl", N)}, streams=True),
    "find_log": row(merge(PAGE, {"task_id": ("{task}", T), "key_word": ("a", N)})),
    # A finished mission cannot be aborted; the sweep's missions end too fast to be aborted reliably.
    "mission_abort": row({"mission_id": ("{history}", T), "task_id": ("{task}", T)},
                         refusal=code(5302, "mission_id")),
    "mission_delete": row({"mission_id": ("{history}", T), "task_id": ("{task}", T)}),
    "get_storage_status": row(TASK),
    "export_contact": row(merge(TASK, USER, {"localid": ("ALL", L), "browser": ("curl", N),
                                             "contact_name": ("x", N)}), streams=True),
    "export_calendar": row(merge(TASK, USER, SEARCH_CALENDAR, {"localid": ("ALL", L), "browser": ("curl", N),
                                                              "calendar_name": ("x", N),
                                                              "search_condition_enable": ("0", B)}), streams=True),
    # The exports to a NAS folder: each a mission of its own once built.
    "export_gmail_to_nas": row(merge(TO_NAS, USER, SEARCH_GMAIL, {"gmail_localid": ("{gmail_localid}", L)})),
    "export_drive_to_nas": row(merge(TO_NAS, USER, SEARCH_DRIVE, {"index": ("{drive_index}", L)})),
    "export_shared_drive_to_nas": row(merge(TO_NAS, SHARED, SEARCH_DRIVE, {"index": ("{shared_index}", L),
                                                                          "member_key_word": ("alice", N)})),
    "export_contact_to_nas": row(merge({"task_id": ("{task}", T), "nas_path": ("{nas_path}", S)}, USER,
                                       {"localid": ("ALL", L)})),
    "export_calendar_to_nas": row(merge(TO_NAS, USER, SEARCH_CALENDAR, {"localid": ("ALL", L)})),
    "gmail_advanced_search": row(merge(TASK, USER, PAGE, SEARCH_GMAIL)),
    "drive_advanced_search": row(merge(TASK, USER, SEARCH_DRIVE)),
    "shared_drive_advanced_search": row(merge(TASK, SHARED, SEARCH_DRIVE, {"name_key_word": ("design", N),
                                                                          "member_key_word": ("alice", N)})),
    "calendar_advanced_search": row(merge(TASK, USER, SEARCH_CALENDAR)),
    "get_default_mission_name": row({}),
    "gmail_users_get_count_start": row({"task_id": ("{task}", T), "auth_id": ("{auth}", T), "admin_email": (ADMIN, S)}),
    "gmail_users_get_count_list": row({"task_id": ("{task}", T), "auth_id": ("{auth}", T),
                                       "mission_id": ("{count_mission}", T)}),
    # The fixture's counting job has ended: there is nothing left to stop.
    "gmail_users_get_count_stop": row({"task_id": ("{task}", T), "auth_id": ("{auth}", T),
                                       "mission_id": ("{count_mission}", T)},
                                      refusal=lambda reply: reply.get("status") == "pid_file_not_found"),
}
# The restores of a shared drive, Gmail, Calendar and Contacts: the same action, one switch on (None:
# the parameter is left out).
RESTORE_SERVICES = {
    "shared_drive": {"shared_drive_enable": "1", "domain_user_email": None, "localid_list": "{shared_index}"},
    "gmail": {"gmail_enable": "1", "localid_list": "ALL"},
    "calendar": {"calendar_enable": "1", "localid_list": "ALL"},
    "contact": {"contact_enable": "1", "localid_list": "ALL"},
}


def cases_of(name, shape):
    """(label, params) of one action's sweep: every parameter in turn gets every payload of its kind,
    or goes missing; the others keep their valid value. Values are still templates."""
    valid = {p: v for p, (v, _) in shape["params"].items()}
    out = []
    for param, (_, kind) in shape["params"].items():
        for n, payload in enumerate(KINDS[kind] + [MISSING]):
            params = dict(valid)
            if payload is MISSING:
                del params[param]
            elif payload is REPEATED:
                params[param] = ",".join([valid[param]] * 20000)
            else:
                params[param] = payload
            out.append(("%s %s #%d" % (name, param, n), params))
    return out


def swept_actions():
    """The rows of the sweep, the restores of the other services added: (label, act, row)."""
    out = [(name, name, shape) for name, shape in ACTIONS.items()]
    base = ACTIONS["restore"]
    for service, values in RESTORE_SERVICES.items():
        params = dict(base["params"])
        params.update({k: ("0", B) for k in ALL_ON})
        params.update({k: (v, params[k][1]) for k, v in values.items() if v is not None})
        for k in [k for k, v in values.items() if v is None]:
            del params[k]
        out.append(("restore:" + service, "restore", dict(base, params=params)))
    return out


class Outside:
    """Folders outside the root: a canary folder that payloads aim at, and a snapshot of what is there."""

    def __init__(self, parent):
        self.parent = parent
        self.dir = os.path.join(parent, "outside")
        os.makedirs(self.dir)
        with open(os.path.join(self.dir, "keep"), "w") as f:
            f.write(SECRET + "\n")
        self.watched = [parent, "/", os.path.expanduser("~"), tempfile.gettempdir(), qlmtest.SOURCE_DIR]
        self.before = self.snapshot()

    def canary(self, label):
        return os.path.join(self.dir, "pwned-" + hashlib.sha1(label.encode()).hexdigest()[:12])

    def snapshot(self):
        """Under the parent (the root and the trace files aside): every path with its size and bytes'
        digest; in the other watched folders, the names that the payloads would leave."""
        out = {}
        for folder, dirs, files in os.walk(self.parent):
            rel = os.path.relpath(folder, self.parent)
            if rel.split(os.sep)[0] in ("root", "trace"):
                dirs[:] = []
                continue
            for n in dirs + files:
                p = os.path.join(folder, n)
                st = os.lstat(p)
                data = b""
                if os.path.isfile(p) and not os.path.islink(p):
                    with open(p, "rb") as f:
                        data = f.read()
                out[os.path.relpath(p, self.parent)] = (st.st_mode, st.st_size, hashlib.sha1(data).hexdigest())
        for folder in self.watched[1:]:
            for n in os.listdir(folder):
                if n.startswith("pwned-") or n == "p":
                    out[os.path.join(folder, n)] = "present"
        return out


def encode_form(params):
    return urllib.parse.urlencode([(k, v) for k, v in params.items()], quote_via=urllib.parse.quote_plus)


class Sweep(test_tasks.TaskCase):
    """A root inside a parent folder of its own, next to a canary folder; one task of the demo domain,
    backed up once, with a key, a scheduled mission, a finished mission and a counting job."""

    @classmethod
    def setUpClass(cls):
        cls.parent = tempfile.mkdtemp(prefix="qlm-sweep-")
        os.makedirs(os.path.join(cls.parent, "trace"))
        cls.root = os.path.join(cls.parent, "root")
        subprocess.run([os.path.join(qlmtest.SOURCE_DIR, "scripts", "stage-root"), cls.root, qlmtest.BINARY_DIR],
                       check=True, stdout=subprocess.DEVNULL)
        cls.sid = cls.nasctl("login", "admin", "admin").strip()
        # Every process runs in a folder of the parent: what a stray command leaves there is seen.
        cls.old_cwd = os.getcwd()
        os.makedirs(os.path.join(cls.parent, "cwd"))
        os.chdir(os.path.join(cls.parent, "cwd"))
        cls.outside = Outside(cls.parent)
        share = cls.path("share")
        os.makedirs(share)
        cls.nasctl("share", "add", "sweep", share)
        cls.values = {"nas_path": "/sweep", "out": cls.outside.dir}
        cls.requests = 0

    @classmethod
    def tearDownClass(cls):
        os.chdir(cls.old_cwd)
        if not os.environ.get("QLM_KEEP_ROOT"):
            shutil.rmtree(cls.parent, ignore_errors=True)

    @classmethod
    def env(cls, **extra):
        # The canary of names that hold no slash: every process under the root inherits its path. A
        # sanitizer build writes its reports to files, so those of forked workers are seen too.
        reports = os.path.join(cls.parent, "trace", "sanitizer")
        return super().env(**dict({"QLM_SLEEP_SCALE": "0",
                                   "QLM_SWEEP_CANARY": os.path.join(cls.parent, "outside", "pwned-env"),
                                   "ASAN_OPTIONS": "log_path=" + reports,
                                   "UBSAN_OPTIONS": "print_stacktrace=1:log_path=" + reports}, **extra))

    # -- requests ------------------------------------------------------------------------------

    def fill(self, value, label):
        if value is None or isinstance(value, bytes):
            return value
        return value.replace("{c}", self.outside.canary(label)).format_map(self.values) \
            if "{" in value else value

    def send(self, act, params, body=None, trace=None, act_in_body=False, key_name="key.json"):
        """Runs one request of the signed-in administrator as lighttpd would: the parameters in an
        urlencoded body, act in the query string or (act_in_body) in the body too (a key upload: all in
        the query, the key in a multipart body). Returns (exit status, header text, body bytes, stderr)."""
        env = self.env(GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD="POST", SERVER_PROTOCOL="HTTP/1.1",
                       SCRIPT_NAME="/orvenna.cgi", HTTP_COOKIE="NAS_SID=" + self.sid)
        if trace:
            env["QLM_PARAM_TRACE"] = trace
        if body == "key":
            env["QUERY_STRING"] = encode_form(dict(params, act=act))
            data, env["CONTENT_TYPE"] = qlmtest.multipart_body((), [("file", key_name, self.key)])
        else:
            env["QUERY_STRING"] = "" if act_in_body else encode_form({"act": act})
            form = dict(params, act=act) if act_in_body else params
            data, env["CONTENT_TYPE"] = encode_form(form).encode(), "application/x-www-form-urlencoded"
        env["CONTENT_LENGTH"] = str(len(data))
        r = subprocess.run([self.cgi_path], env=env, input=data, capture_output=True, timeout=120)
        header, out = qlmtest.split_response(r.stdout)
        type(self).requests += 1
        return r.returncode, header, out, r.stderr.decode("utf-8", "replace")

    def reply_fault(self, result, streams, empty=False):
        """What is wrong with one reply, or None."""
        rc, header, body, err = result
        if rc != 0:
            return "exit status %d%s" % (rc, " (signal %d)" % -rc if rc < 0 else "")
        for word in ("Sanitizer", "runtime error:", "core dumped"):
            if word in err:
                return "stderr: " + err[-2000:]
        if header is None:
            return "no header: %r" % body[:200]
        lines = header.split("\r\n")
        types = [h for h in lines if h.lower().startswith("content-type:")]
        if len(types) != 1:
            return "content-type headers: %r" % lines
        if b"root:x:0:0" in body or SECRET.encode() in body:
            return "a file outside the root was sent"
        if header == JSON_HEADER:
            if empty and body == b"":
                return None
            try:
                text = body.decode("utf-8")
            except UnicodeDecodeError as e:
                return "not UTF-8: %s in %r" % (e, body[max(0, e.start - 100):e.start + 20])
            if not text.endswith("\n") or text.count("\n") != 1:
                return "not one line: %r" % text[:300]
            try:
                reply = json.loads(text)
            except ValueError:
                return "not JSON: %r" % text[:300]
            if not isinstance(reply, dict) or not isinstance(reply.get("success"), bool):
                return "not a reply object: %r" % text[:300]
            return None
        if not streams:
            return "not the JSON header: %r" % header
        if "Content-Disposition:" not in header:
            return "a file without its name: %r" % header
        return None

    # -- waiting and checking ----------------------------------------------------------------------

    def own_processes(self):
        """pids of the processes that run under this root (forked workers and their tools)."""
        out = []
        marker = ("QLM_ROOT=" + self.root).encode()
        for pid in os.listdir("/proc"):
            if not pid.isdigit() or int(pid) == os.getpid():
                continue
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if marker in f.read().split(b"\0"):
                        out.append(int(pid))
            except OSError:
                pass
        return out

    def wait_quiet(self, deadline=180):
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            if not self.own_processes():
                return
            time.sleep(0.2)
        self.fail("workers still running: %s" % self.own_processes())

    def assertCatalogsSound(self):
        bad = {}
        for path in glob.glob(os.path.join(self.root, "**", "*.db"), recursive=True):
            if path.startswith(self.path("var/lib/gwssim")):
                continue
            with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
                result = [r[0] for r in db.execute("PRAGMA integrity_check")]
            if result != ["ok"]:
                bad[path] = result
        self.assertEqual(bad, {})
        self.assertTrue(os.path.exists(self.gws("quillmere_log_datebase.db")))

    def assertNothingLeft(self):
        """No temporary file, GAM folder or plain key outlives its request or worker, whatever the
        input: what stays is the counting jobs' work folders (the list action reads them) and the
        keys uploaded but not yet taken by a task."""
        tmp = [n for n in os.listdir(self.path("usr/local/tmp"))
               if not (n.startswith("qlm_") and os.listdir(self.path("usr/local/tmp", n)) == ["Gmail_count"])]
        self.assertEqual(tmp, [])
        self.assertEqual(os.listdir(self.path("root")), [])
        keys = [n for n in os.listdir(self.gws("tmp")) if not n.endswith(("_en", "_userlist"))]
        self.assertEqual(keys, [])

    def assertNoSplitArguments(self):
        """A text split into words on its way to a tool would show as an argument of its own."""
        split = [c["argv"] for c in self.calls() if "touch" in c["argv"] or "OR" in c["argv"]]
        self.assertEqual(split, [])

    def assertNoSanitizerReport(self):
        """No sanitizer report and no core file of any process under the root."""
        cores = [p for p in glob.glob(self.path("**", "core*"), recursive=True)
                 if os.path.basename(p) == "core" or os.path.basename(p).split(".")[-1].isdigit()]
        self.assertEqual(cores, [])
        reports = {}
        for path in glob.glob(os.path.join(self.parent, "trace", "sanitizer*")):
            with open(path, errors="replace") as f:
                reports[path] = f.read()[:3000]
        self.assertEqual(reports, {})

    def assertNoMissionLeft(self):
        """With every worker gone, no mission still shows as running: none died on its way."""
        folder = self.gws("conf/mission")
        left = [n for n in os.listdir(folder) if n not in ("history_mission", "progress_mission", "scheduling_mission")]
        progress = folder + "/progress_mission"
        left += os.listdir(progress) if os.path.isdir(progress) else []
        self.assertEqual(left, [])

    def assertOutsideUnchanged(self):
        after = self.outside.snapshot()
        changed = {k for k in set(after) | set(self.outside.before)
                   if after.get(k) != self.outside.before.get(k)}
        self.assertEqual(sorted(changed), [])

    # -- the fixture ---------------------------------------------------------------------------------

    def stage_task(self):
        """The task, its backup, and the ids the table's valid values name."""
        v = type(self).values
        type(self).key = self.make_key()
        v["auth"] = self.new_auth()
        v["add_auth"] = self.new_auth()
        v["task"] = self.new_task()
        r = subprocess.run([self.cgi_path, "-backup", str(uuid.uuid4()), v["task"], "1", "1", "1", "1", "1"],
                           env=self.env(), capture_output=True, timeout=300)
        self.assertEqual(r.returncode, 0, r.stderr)
        [v["history"]] = os.listdir(self.gws("conf/mission/history_mission"))
        gws = lambda *p: self.gws("backup", *p)  # noqa: E731
        with sqlite3.connect(gws("shared_drive_map_db", v["task"], v["task"] + "_mapping.db")) as db:
            [(v["shared_uuid"], v["team_id"])] = db.execute(
                "SELECT shared_drive_uuid, shared_drive_id FROM shared_drive_mapping_uuid_table "
                "WHERE shared_drive_name = ?", (TEAM_DRIVE,))
        for key, table, catalog, name in (
                ("drive_index", "drive_sql_database", ("drive_db", ALICE), "plan.txt"),
                ("drive_folder", "drive_sql_database", ("drive_db", ALICE), "2024"),
                ("shared_index", "shared_drive_sql_database", ("shared_drive_db", v["shared_uuid"]), "design-a.txt"),
                ("shared_folder", "shared_drive_sql_database", ("shared_drive_db", v["shared_uuid"]), "Designs")):
            with sqlite3.connect(gws(catalog[0], v["task"], catalog[1] + ".db")) as db:
                [(index,)] = db.execute("SELECT drive_index FROM %s WHERE drive_name = ?" % table, (name,))
            v[key] = str(index)
        with sqlite3.connect(gws("gmail_db", v["task"], ALICE + ".db")) as db:
            v["gmail_localid"], v["attached_localid"] = db.execute(
                "SELECT min(drive_localid), max(CASE WHEN has_attachment THEN drive_localid END) "
                "FROM gmail_sql_database").fetchone()
        reply = self.request(dict({"act": "add_schedule_mission", "task_id": v["task"]},
                                  **{k: val for k, (val, _) in SCHEDULE.items()}))
        self.assertTrue(reply["success"], reply)
        v["schedule"] = reply["mission_id"]
        reply = self.request({"act": "gmail_users_get_count_start", "task_id": v["task"]})
        self.assertTrue(reply["success"], reply)
        v["count_mission"] = reply["mission_id"]
        self.wait_quiet()

    def run_cases(self, cases, parallel=True):
        """Sends (label, act, row, params) cases; the faults found, as (label, params, fault)."""
        def one(case):
            label, act, shape, params = case
            filled = {k: self.fill(v, label) for k, v in params.items()}
            trace = os.path.join(self.parent, "trace", act)
            fault = self.reply_fault(self.send(act, filled, shape["body"], trace), shape["streams"], shape["empty"])
            return None if fault is None else (label, {k: (v[:80] if v else v) for k, v in filled.items()}, fault)
        if not parallel:
            return [f for f in map(one, cases) if f]
        with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
            return [f for f in pool.map(one, cases) if f]

    def baseline(self, rows):
        """Sends each row with its valid values: the rows whose action refused them, as (label, reply)."""
        refused = []
        for label, act, shape in rows:
            params = {k: self.fill(v, label) for k, (v, _) in shape["params"].items()}
            result = self.send(act, params, shape["body"])
            fault = self.reply_fault(result, shape["streams"], shape["empty"])
            if fault:
                refused.append((label, fault))
                continue
            if result[1] != JSON_HEADER or not result[2]:
                continue  # a file, or the empty success of its row
            reply = json.loads(result[2])
            if not reply["success"] and not shape["refusal"](reply):
                refused.append((label, reply))
        return refused


class ParameterSweep(Sweep):

    def test_every_parameter_of_every_action_withstands_hostile_values(self):
        self.stage_task()
        rows = swept_actions()
        # The table has a row for every name of the program's action table, and no other.
        with open(os.path.join(qlmtest.SOURCE_DIR, "src", "orvenna_cgi", "actions.cpp")) as f:
            names = re.findall(r'^\s*\{"([a-z_]+)", ', f.read(), re.M)
        self.assertEqual(sorted(ACTIONS), sorted(names))
        self.assertEqual(len(ACTIONS), 57)
        started = time.monotonic()
        first = type(self).requests
        cases = {}
        for label, act, shape in rows:
            cases.setdefault(shape["after"], []).extend(
                (case_label, act, shape, params) for case_label, params in cases_of(label, shape))
        faults = []
        refused = []
        # The action name itself: anything but a name of the table is refused as unknown.
        for n, payload in enumerate(KINDS["name"]):
            label = "act #%d" % n
            act = self.fill(payload, label)
            if isinstance(act, bytes) or "\x00" in act or len(act) > 50000:
                continue  # the query string of a web server holds neither; the body form is swept below
            fault = self.reply_fault(self.send(act, {}), False)
            if fault:
                faults.append((label, act, fault))
        # The file name of an uploaded key.
        for n, payload in enumerate(KINDS["name"]):
            label = "key file name #%d" % n
            name = self.fill(payload, label)
            if isinstance(name, bytes):
                continue
            fault = self.reply_fault(self.send("auth", {"admin_email": ADMIN}, "key", key_name=name), False)
            if fault:
                faults.append((label, name[:80], fault))
        for n, payload in enumerate(KINDS["name"]):
            label = "act in the body #%d" % n
            fault = self.reply_fault(self.send(self.fill(payload, label), {}, act_in_body=True), False)
            if fault:
                faults.append((label, payload, fault))
        for after in sorted(cases):
            # The rows that change the task (edit, delete) run last, one action after the other, each
            # with its valid values after its payloads (a valid delete removes the task).
            phase = [(label, act, shape) for label, act, shape in rows if shape["after"] == after]
            if after:
                self.wait_quiet()  # a running backup holds the task file
            if not after:
                refused += self.baseline(phase)
            faults += self.run_cases(cases[after])
            if not after:
                # What the payloads left stored (mission names, log rows, task fields) is read back.
                self.wait_quiet()
                faults += self.run_cases([(label + " after the sweep", act, shape,
                                           {k: v for k, (v, _) in shape["params"].items()})
                                          for label, act, shape in phase])
            if after:
                refused += self.baseline(phase)
        self.wait_quiet()
        count = type(self).requests - first
        print("\nsweep: %d requests in %.1f s" % (count, time.monotonic() - started), file=sys.stderr)
        self.assertEqual(faults[:40], [], "%d faults" % len(faults))
        # The valid values are valid: each action does its work with them, so the payloads of one
        # parameter meet the checks of all the others.
        self.assertEqual(refused, [])
        self.assertOutsideUnchanged()
        self.assertCatalogsSound()
        self.assertNoMissionLeft()
        self.assertNoSanitizerReport()
        self.assertNothingLeft()
        self.assertNoSplitArguments()
        # Every parameter an action read is one the table sweeps (in one of its rows).
        swept = {}
        for label, act, shape in rows:
            swept.setdefault(act, set()).update(shape["params"])
        unswept = {}
        for act, names in swept.items():
            trace = os.path.join(self.parent, "trace", act)
            read = set()
            if os.path.exists(trace):
                with open(trace) as f:
                    read = set(f.read().split())
            extra = read - names - {"act"}
            if extra:
                unswept[act] = sorted(extra)
        self.assertEqual(unswept, {})



# -- the same payloads as names in the simulated domain -------------------------------------------------
# "$QLM_SWEEP_CANARY" names the canary file outside the root (it is in the environment of every
# process the test starts), so a name needs no slash to reach it; "pwned-*" names a file that a command
# run in any working folder would leave.

NAME_SHELL = ["$(touch $QLM_SWEEP_CANARY)", "`touch $QLM_SWEEP_CANARY`", "x; touch pwned-semi",
              "x | touch pwned-pipe", "x' ; touch pwned-quote ; '", 'x" ; touch pwned-dquote ; "',
              "x && touch pwned-and #", "--output=pwned-option", "-rf"]
NAME_PATHS = ["..", ".", "", "/", "../../../../../../../../../../{out}/p", "{out}/p", "a/../../b", "./x"]
NAME_SQL = ["'", "' OR '1'='1", "%", "_", '"', "x'; DROP TABLE drive_sql_database; --"]
NAME_CONTROL = ["a\r\nb", "a\nContent-Type: text/html", "\x1b[2J\x07", "tab\there", "\u202egnp.exe",
                "A" * 5000]
DOMAIN_NAMES = NAME_SHELL + NAME_PATHS + NAME_SQL + NAME_CONTROL
# Account names Google would hold (no slash, no control character), still hostile to a shell or SQL.
HOSTILE_USERS = ["-h@example.test", "Ünïcødé@example.test", "sh$(touch $QLM_SWEEP_CANARY)@example.test", "bq`touch pwned-bq`@example.test",
                 "semi;touch pwned-u;x@example.test", "pipe|touch pwned-p@example.test",
                 "q'u\"o@example.test", "pct%_x' OR '1'='1@example.test"]
HOSTILE_DRIVE = "0AhostileDrive00000000"
SHARED_NAME = "$(touch $QLM_SWEEP_CANARY)'; --/../x"


class DomainSweep(Sweep):
    """The payloads as names of users, Drive items, a shared drive, mails and attachments, events and
    contacts, through backup, browse, download and restore."""

    def sim(self, *parts):
        return self.path("var/lib/gwssim", *parts)

    def load(self, *parts):
        with open(self.sim(*parts)) as f:
            return json.load(f)

    def save(self, data, *parts):
        with open(self.sim(*parts), "w") as f:
            json.dump(data, f)

    def names(self):
        return [n.format_map(self.values) for n in DOMAIN_NAMES]

    def drive_items(self, owner, root, blobs, prefix):
        """One file per name at the top, and a folder per name holding a file of the same name."""
        items = []
        for n, name in enumerate(self.names()):
            data = ("%s %d\n" % (prefix, n)).encode()
            fid, did = "1%sF%020d" % (prefix, n), "1%sD%020d" % (prefix, n)
            stamp = {"createdTime": "2024-01-01T00:00:00.000Z", "modifiedTime": "2024-01-02T00:00:00.000Z"}
            if owner:
                stamp["owner"] = owner
            items.append(dict(stamp, id=did, name=name, parent=root, mimeType=FOLDER))
            for iid, parent in ((fid, root), (fid + "x", did)):
                items.append(dict(stamp, id=iid, name=name, parent=parent, mimeType="text/plain",
                                  md5=hashlib.md5(data).hexdigest(), size=len(data), has_blob=True))
                with open(os.path.join(blobs, iid), "wb") as f:
                    f.write(data)
        return items

    def plant(self):
        dom = self.load("domain.json")
        template = self.sim("users", "bob@example.test")
        for n, email in enumerate(HOSTILE_USERS):
            dom["users"].append({"id": str(10 ** 20 + n), "email": email, "name": email, "admin": False})
            folder = self.sim("users", email)
            shutil.copytree(template, folder)
            root = "1hostileRoot%d" % n
            self.save({"root_id": root, "items": self.drive_items(email, root, os.path.join(folder, "blobs"),
                                                                  "u%d" % n)[:6]}, "users", email, "drive.json")
        drive = dict(dom["shared_drives"][0], id=HOSTILE_DRIVE, name=SHARED_NAME)
        dom["shared_drives"].append(drive)
        os.makedirs(self.sim("shared", HOSTILE_DRIVE, "blobs"))
        self.save({"root_id": HOSTILE_DRIVE, "items": self.drive_items(None, HOSTILE_DRIVE,
                                                                       self.sim("shared", HOSTILE_DRIVE, "blobs"),
                                                                       "s")}, "shared", HOSTILE_DRIVE, "drive.json")
        self.save(dom, "domain.json")

        drive = self.load("users", ALICE, "drive.json")
        drive["items"] += self.drive_items(ALICE, drive["root_id"], self.sim("users", ALICE, "blobs"), "a")
        self.save(drive, "users", ALICE, "drive.json")

        box = self.load("users", ALICE, "mail.json")
        cal = self.load("users", ALICE, "calendar.json")
        book = self.load("users", ALICE, "contacts.json")
        event = cal["events"][0]
        contact = book["contacts"][0]
        for n, name in enumerate(self.names()):
            mid = "1badname%08d" % n
            header = email_header(name)
            eml = ("From: %s <bob@example.test>\r\nTo: alice@example.test\r\nSubject: %s\r\n"
                   "Date: Mon, 08 Jan 2024 07:00:00 +0000\r\nMessage-ID: <%s@sim>\r\nMIME-Version: 1.0\r\n"
                   "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
                   "%s\r\n--b\r\nContent-Type: application/octet-stream; name*=UTF-8''%s\r\n"
                   "Content-Disposition: attachment; filename*=UTF-8''%s\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                   "aGVsbG8K\r\n--b--\r\n" % (header, header, mid, header, quote(name), quote(name)))
            with open(self.sim("users", ALICE, "eml", mid), "w") as f:
                f.write(eml)
            label = "Label_bad%d" % n
            box["labels"].append({"id": label, "name": name})
            box["messages"].append({"id": mid, "threadId": mid, "internalDate": 1704700000000 + n,
                                    "labelIds": ["INBOX", label]})
            cal["events"].append(dict(event, id="badevent%04d" % n, iCalUID="badevent%04d@google.com" % n,
                                      summary=name, location=name, description=name))
            book["contacts"].append(dict(contact, resourceName="people/c9%018d" % n, givenName=name,
                                         familyName=name, displayName=name, orgName=name,
                                         emails=[{"type": "home", "value": name}]))
        # Raw bytes of no charset in a subject and an attachment name, as old mailers send them.
        for n, raw in enumerate([b"caf\xe9 \xff\xfe", b"\xed\xa0\x80 half", b"\xc3("]):
            mid = "1rawbytes%07d" % n
            with open(self.sim("users", ALICE, "eml", mid), "wb") as f:
                f.write(b"From: b\xe9b <bob@example.test>\r\nTo: alice@example.test\r\nSubject: " + raw +
                        b"\r\nDate: Mon, 08 Jan 2024 07:00:00 +0000\r\nMessage-ID: <" + mid.encode() +
                        b"@sim>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
                        b"--b\r\nContent-Type: text/plain\r\n\r\n" + raw + b"\r\n--b\r\n"
                        b"Content-Type: application/octet-stream; name=\"" + raw + b"\"\r\n"
                        b"Content-Disposition: attachment; filename=\"" + raw + b".txt\"\r\n\r\nhello\r\n--b--\r\n")
            box["messages"].append({"id": mid, "threadId": mid, "internalDate": 1704800000000 + n,
                                    "labelIds": ["INBOX"]})
        book["groups"].append({"resourceName": "contactGroups/bad0", "name": self.names()[0],
                               "formattedName": self.names()[0], "groupType": "USER_CONTACT_GROUP"})
        self.save(box, "users", ALICE, "mail.json")
        self.save(cal, "users", ALICE, "calendar.json")
        self.save(book, "users", ALICE, "contacts.json")

    def call(self, act, **params):
        """One request of the task; its reply checked; the reply object, or None for a file."""
        params = dict({"task_id": self.values.get("task")}, **params)
        result = self.send(act, {k: v for k, v in params.items() if v is not None})
        fault = self.reply_fault(result, streams=True)
        self.assertIsNone(fault, (act, params))
        if result[1] == JSON_HEADER:
            return json.loads(result[2])
        self.files.append((act, params, result[1], result[2]))
        return None

    def test_hostile_names_in_the_domain_through_backup_browse_download_and_restore(self):
        self.plant()
        self.files = []
        v = type(self).values
        v["auth"] = self.new_auth()
        v["task"] = self.new_task()
        first = type(self).requests
        # Backup, as the web page starts it.
        reply = self.call("backup", **ALL_ON)
        self.assertTrue(reply["success"], reply)
        self.wait_quiet()
        [record] = [self.load_history(n) for n in os.listdir(self.gws("conf/mission/history_mission"))]
        self.assertEqual(record["backup_status"], "finish", record)

        self.assertBackedUpAsTheyWere()
        self.rename_and_backup_again()

        # Browse: every account, every folder, every search.
        users = [u["Email"] for u in self.call("get_domain_user")["user_list"]]
        for email in HOSTILE_USERS:
            self.assertIn(email, users)
        for user in users:
            for act in ("list_drive_local_backup", "list_gmail_local_backup", "list_calendar_local_backup",
                        "list_contact_local_backup", "calendar_list", "contact_list", "gmail_list"):
                self.call(act, domain_user_email=user, start="0", limit="100000", index="0", gmail_name="INBOX",
                          contact_name="contactGroups/bad0")
        self.call("list_local_domain")
        self.call("get_user_and_shared_drive")
        rows = self.rows("drive_db", ALICE, "drive_sql_database")
        [top] = [r["drive_index"] for r in rows if r["drive_depth"] == -1]
        listed = self.call("list_drive_local_backup", domain_user_email=ALICE, start="0", limit="1000",
                           index=str(top))["tree"]
        self.assertLessEqual(set(self.stored_names()), {item["name"] for item in listed})
        for r in rows:
            self.call("list_drive_local_backup", domain_user_email=ALICE, start="0", limit="1000",
                      index=str(r["drive_index"]))
            self.call("drive_single_info", domain_user_email=ALICE, index=str(r["drive_index"]))
        for name in self.names()[:20]:
            self.call("drive_advanced_search", domain_user_email=ALICE, name_key_word=name)
            self.call("gmail_advanced_search", domain_user_email=ALICE, subject_key_word=name, start="0",
                      limit="10")
            self.call("calendar_advanced_search", domain_user_email=ALICE, key_word=name, location_key_word=name)
            self.call("find_log", key_word=name, start="0", limit="10")
        shared = self.shared_uuid()
        for r in self.rows("shared_drive_db", shared, "shared_drive_sql_database"):
            self.call("list_shared_drive_local_backup", shared_drive_id=shared, start="0", limit="1000",
                      index=str(r["drive_index"]))
            self.call("shared_drive_single_info", shared_drive_id=shared, index=str(r["drive_index"]))
        labels = self.call("gmail_list", domain_user_email=ALICE)["list"]
        for label in labels:
            self.call("list_gmail_local_backup", domain_user_email=ALICE, gmail_name=label["name"], start="0",
                      limit="1000")
        mails = self.rows("gmail_db", ALICE, "gmail_sql_database")
        for r in mails:
            self.call("gmail_single_info", domain_user_email=ALICE, gmail_localid=r["drive_localid"])

        # Downloads to the browser: each a file with a safe name, or a zip of safe names.
        for r in mails:
            self.call("download_attachment", domain_user_email=ALICE, gmail_localid=r["drive_localid"], index="0",
                      browser="curl")
        for act, params in (("export_eml", {"gmail_localid": "ALL", "domain_user_email": ALICE}),
                            ("export_drive", {"index": "ALL", "domain_user_email": ALICE}),
                            ("export_shared_drive", {"index": "ALL", "shared_drive_id": shared}),
                            ("export_contact", {"localid": "ALL", "domain_user_email": ALICE,
                                                "contact_name": "x"}),
                            ("export_calendar", {"localid": "ALL", "domain_user_email": ALICE,
                                                 "calendar_name": "x"}),
                            ("save_log", {})):
            self.assertIsNone(self.call(act, browser="curl", **params), act)
        self.assertSafeFiles()

        # Exports to a NAS folder: everything lands inside the share.
        self.export_to_nas(shared)

        # Restores: the Drive and the shared drive back into themselves, the other services refused
        # until they are built.
        restored = self.call("restore", domain_user_email=ALICE, localid_list="ALL", **dict(
            {k: "0" for k in ALL_ON}, drive_enable="1"))
        self.assertTrue(restored["success"], restored)
        self.wait_quiet()
        restored = self.call("restore", shared_drive_id=shared, localid_list="ALL", **dict(
            {k: "0" for k in ALL_ON}, shared_drive_enable="1"))
        self.assertTrue(restored["success"], restored)
        self.wait_quiet()
        for service in ("gmail", "calendar", "contact"):
            reply = self.call("restore", domain_user_email=ALICE, localid_list="ALL",
                              **dict({k: "0" for k in ALL_ON}, **{service + "_enable": "1"}))
            self.assertTrue(reply["success"] or not_built(reply), reply)
            self.wait_quiet()
        self.assertRestoredNames()
        # Every account into itself: the hostile accounts receive their own trees.
        restored = self.call("restore", domain_user_email=ALICE, localid_list="ALL_DOMAIN", **dict(
            {k: "0" for k in ALL_ON}, drive_enable="1"))
        self.assertTrue(restored["success"], restored)
        self.wait_quiet()
        dump = [json.loads(line) for line in self.gwssim("dump", "--what", "drive").decode().splitlines()]
        for email in HOSTILE_USERS:
            back = [d["path"][1:] for d in dump if d.get("user") == email and d.get("path", [""])[0].startswith(
                "Quillmere_Restore_") and len(d["path"]) > 1]
            self.assertEqual(len(back), 6, email)
        for record in map(self.load_history, os.listdir(self.gws("conf/mission/history_mission"))):
            self.assertEqual(record["backup_status"], "finish", record)

        print("\ndomain sweep: %d requests" % (type(self).requests - first), file=sys.stderr)
        self.assertOutsideUnchanged()
        self.assertCatalogsSound()
        self.assertNoMissionLeft()
        self.assertNoSanitizerReport()
        self.assertNothingLeft()
        self.assertEqual(glob.glob(self.path("**", "pwned*"), recursive=True), [])
        self.assertNoSplitArguments()

    def rename_and_backup_again(self):
        """Each top-level hostile file takes the next hostile name, then a second backup: the catalog
        follows the renames, whatever the old and new names hold."""
        drive = self.load("users", ALICE, "drive.json")
        names = self.names()
        expected = {}
        for item in drive["items"]:
            if item["id"].startswith("1aF") and not item["id"].endswith("x"):
                n = int(item["id"][3:])
                item["name"] = names[(n + 1) % len(names)]
                expected[item["id"]] = item["name"].replace("\r\n", "\n")
        self.save(drive, "users", ALICE, "drive.json")
        reply = self.call("backup", **ALL_ON)
        self.assertTrue(reply["success"], reply)
        self.wait_quiet()
        for record in map(self.load_history, os.listdir(self.gws("conf/mission/history_mission"))):
            self.assertEqual(record["backup_status"], "finish", record)
        stored = {r["drive_id"]: r["drive_name"] for r in self.rows("drive_db", ALICE, "drive_sql_database")}
        self.assertEqual({k: stored.get(k) for k in expected}, expected)

    def export_to_nas(self, shared):
        """The five exports to a NAS folder, each of everything: until an export is built it is refused
        as an unknown action; once it is, its files are all inside the share."""
        share = self.path("share")
        for act, params in (("export_gmail_to_nas", {"gmail_localid": "ALL", "domain_user_email": ALICE}),
                            ("export_drive_to_nas", {"index": "ALL", "domain_user_email": ALICE}),
                            ("export_shared_drive_to_nas", {"index": "ALL", "shared_drive_id": shared}),
                            ("export_contact_to_nas", {"localid": "ALL", "domain_user_email": ALICE}),
                            ("export_calendar_to_nas", {"localid": "ALL", "domain_user_email": ALICE})):
            reply = self.call(act, nas_path=self.values["nas_path"], search_condition_enable="0", **params)
            self.assertTrue(reply["success"] or not_built(reply), reply)
            if reply["success"]:
                self.assertTrue(os.path.realpath(reply["path"]).startswith(share + os.sep), reply)
                self.wait_quiet()
        for folder, dirs, files in os.walk(share):
            for n in dirs + files:
                self.assertFalse(os.path.islink(os.path.join(folder, n)), n)

    # -- helpers -----------------------------------------------------------------------------------------

    def load_history(self, name):
        with open(self.gws("conf/mission/history_mission", name)) as f:
            return json.load(f)

    def rows(self, catalog, name, table):
        path = self.gws("backup", catalog, self.values["task"], name + ".db")
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
            db.row_factory = sqlite3.Row
            return [dict(r) for r in db.execute("SELECT * FROM " + table)]

    def shared_uuid(self):
        [found] = [r["shared_drive_uuid"] for r in self.rows("shared_drive_map_db", self.values["task"] + "_mapping",
                                                             "shared_drive_mapping_uuid_table")
                   if r["shared_drive_id"] == HOSTILE_DRIVE]
        return found

    def stored_names(self):
        """The names as the catalogs hold them: the tools' CSV listings end a line at CR LF."""
        return [n.replace("\r\n", "\n") for n in self.names()]

    def assertBackedUpAsTheyWere(self):
        """Every hostile name is in the catalogs as it was: a folder and two files per name in the
        Drive, an event and a contact per name, a mail per name; every hostile account backed up."""
        names = self.stored_names()
        drive = [r["drive_name"] for r in self.rows("drive_db", ALICE, "drive_sql_database")]
        for name in set(names):
            self.assertEqual(drive.count(name), 3 * names.count(name), name)
        events = {r["summary"] for r in self.rows("calendar_db", ALICE, "calendar_sql_database")}
        contacts = {r["names_0_displayName"] for r in self.rows("contact_db", ALICE, "contact_sql_database")}
        self.assertEqual(set(names) - events, set())
        self.assertEqual(set(names) - contacts, set())
        # A subject is one header line: its control characters do not survive unfolding.
        subjects = {r["subject"] for r in self.rows("gmail_db", ALICE, "gmail_sql_database")}
        plain = {n for n in names if n.isprintable()}
        self.assertEqual(plain - subjects, set())
        for email in HOSTILE_USERS:
            self.assertEqual(len(self.rows("drive_db", email, "drive_sql_database")), 7, email)
            self.assertTrue(os.path.isdir(self.gws("backup/gmail", self.values["task"], email)), email)

    def assertSafeFiles(self):
        """Every file sent has one safe name; a zip's entries stay inside it."""
        for act, params, header, body in self.files:
            [disposition] = [h for h in header.split("\r\n") if h.startswith("Content-Disposition:")]
            self.assertNotIn("/", disposition.split("filename", 1)[-1].replace("%2F", "/").strip('"; '), disposition)
            if body[:2] == b"PK":
                with zipfile.ZipFile(io.BytesIO(body)) as z:
                    for entry in z.namelist():
                        parts = entry.split("/")
                        self.assertFalse(entry.startswith("/") or ".." in parts or "\\" in entry, (act, entry))

    def assertRestoredNames(self):
        """Every hostile name of the Drive and of the shared drive came back as it was, inside the
        restore folder, as a folder holding a file and as a file; a nameless item as "Untitled", as
        Google shows it."""
        self.assertRestoredIn("drive", "user", ALICE)
        self.assertRestoredIn("shared", "drive", SHARED_NAME)

    def assertRestoredIn(self, what, key, owner):
        dump = [json.loads(line) for line in self.gwssim("dump", "--what", what).decode().splitlines()]
        restored = {}
        for item in dump:
            path = item.get("path", [""])
            if item.get(key) == owner and path[0].startswith("Quillmere_Restore_") and len(path) > 1:
                restored.setdefault(tuple(path[1:]), []).append(item["mimeType"])
        for name in self.names():
            # The CSV reader of the tools' listings reads a CR before an LF as a plain line end.
            name = {"": "Untitled"}.get(name, name).replace("\r\n", "\n")
            # Files come back with the type they were backed up with.
            self.assertEqual(sorted(restored.get((name,), [])), [FOLDER, "text/plain"], name)
            self.assertEqual(restored.get((name, name)), ["text/plain"], name)


def quote(name):
    return urllib.parse.quote(name.encode(), safe="")


def email_header(name):
    """A name as an RFC 2047 header word: any byte, yet one header line."""
    return email.header.Header(name, "utf-8").encode(maxlinelen=100000)


if __name__ == "__main__":
    unittest.main()
