#!/usr/bin/env python3
"""Gmail backup benchmark: a generated domain backed up through the tool stand-ins three times (the
first run, an unchanged run, and a run after 1 % new, 1 % deleted and 5 % relabelled messages),
against a plain shell loop of the tool lines the first run ran for its messages (per message the
gam export and the two emlsift reads). Run by hand after a build:

    python3 bench/gmail_bench.py [--users 10] [--messages 1000]

Per run it prints the tool processes started by kind, messages per second, the time the system
spends outside the tools (the run's time less the time any tool process was alive), the catalog
rows and the EML files without a row (0 expected); then the first run's time over the shell loop's
and the unchanged run's cost per user. A tool process is alive from the fork that made it to its
exit, loader included, as the kernel's scheduler events recorded by perf say; without perf, from
the call log's start to its end entry, which leaves out the loader and the exit."""

import argparse
import datetime
import json
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import qlmtest  # noqa: E402

GWS = os.path.join(qlmtest.APP, "database/gws")


def ms_of(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").timestamp() * 1000


def read_calls(path):
    """(tool, argv, start ms, end ms) of every finished call of the log."""
    starts, out = {}, []
    with open(path) as f:
        for line in f:
            if not line.strip():
                continue
            e = json.loads(line)
            if e.get("event") == "start":
                starts[e["pid"]] = e
            elif e.get("event") == "end" and e["pid"] in starts:
                s = starts.pop(e["pid"])
                out.append((s["tool"], s.get("argv", []), ms_of(s["time"]), ms_of(e["time"])))
    return out


PERF = shutil.which("perf")


def perf_usable():
    if not PERF:
        return False
    probe = tempfile.mkdtemp(prefix="qlm-bench-perf-")
    try:
        return subprocess.run([PERF, "record", "-q", "-e", "sched:sched_process_exit", "-o",
                               os.path.join(probe, "p"), "--", "true"], capture_output=True).returncode == 0
    finally:
        shutil.rmtree(probe, ignore_errors=True)


def process_lives(data, argv0, tools):
    """The recorded command's own life (seconds from its exec to its exit: perf's start-up is not
    the run's), and (tool, start ms, end ms) of every process below it that ran one of the tools:
    from the fork that made it to its exit. The record is system-wide (following each fork would
    cost every new process far more than the events do), so only the command's descendants count."""
    out = subprocess.run([PERF, "script", "-i", data, "-F", "time,event,trace"], capture_output=True, text=True,
                         check=True).stdout
    # Events come in time order; a pid the kernel hands out again starts a life of its own.
    mine, forked, ran, lives, first, life = set(), {}, {}, [], None, None
    for line in out.splitlines():
        words = line.split()
        if len(words) < 3:
            continue
        at = float(words[0].rstrip(":")) * 1000
        fields = dict(w.split("=", 1) for w in words[2:] if "=" in w)
        if "sched_process_fork" in words[1]:
            pid = fields.get("child_pid")
            ran.pop(pid, None)
            mine.discard(pid)
            if fields.get("pid") in mine:
                mine.add(pid)
                forked[pid] = at
        elif "sched_process_exec" in words[1]:
            pid = fields.get("pid")
            if first is None and fields.get("filename") == argv0:
                first = (pid, at)
                mine.add(pid)
            name = os.path.basename(fields.get("filename", ""))
            if pid in mine and name in tools:
                ran[pid] = (name, forked.get(pid, at))
        elif "sched_process_exit" in words[1]:
            pid = fields.get("pid")
            if pid in ran:
                name, start = ran.pop(pid)
                lives.append((name, start, at))
            if first and pid == first[0] and life is None:
                life = (at - first[1]) / 1000
            mine.discard(pid)
            forked.pop(pid, None)
    return life, lives


def busy_ms(calls):
    """Milliseconds during which at least one tool ran (parallel counts overlap)."""
    total, end = 0.0, None
    for _, _, t0, t1 in sorted(calls, key=lambda c: c[2]):
        if end is None or t0 > end:
            total += t1 - t0
            end = t1
        elif t1 > end:
            total += t1 - end
            end = t1
    return total


def kind(tool, argv):
    if tool == "gam":
        for word, name in (("export", "gam export"), ("countsonly", "gam count")):
            if word in argv:
                return name
        return "gam other"
    if tool == "lettrix":
        return "lettrix query" if "--query" in argv else "lettrix list"
    return tool


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--users", type=int, default=10)
    ap.add_argument("--messages", type=int, default=1000)
    args = ap.parse_args()

    t0 = time.monotonic()
    root = qlmtest.stage_root({"GWSSIM_INIT_ARGS": "--users %d --messages %d --files 0 --events 0 --contacts 0 "
                                                   "--shared-drives 0" % (args.users, args.messages)})
    print("staged %d users x %d messages in %.1f s under %s" % (args.users, args.messages, time.monotonic() - t0, root))
    env = {"PATH": "/usr/bin:/bin", "QLM_ROOT": root, "QLM_SLEEP_SCALE": "0"}
    sim = os.path.join(root, "var/lib/gwssim")
    gwssim = os.path.join(root, "usr/local/bin/gwssim")
    cgi = os.path.join(root, qlmtest.APP, "webman/orvenna.cgi")
    try:
        with open(os.path.join(sim, "domain.json")) as f:
            domain = json.load(f)
        users = [u["email"] for u in domain["users"]]
        admin = next(u["email"] for u in domain["users"] if u.get("admin"))
        sid = subprocess.run([os.path.join(root, "usr/local/bin/nasctl"), "login", "admin", "admin"], env=env,
                             capture_output=True, text=True, check=True).stdout.strip()
        keyfile = os.path.join(root, "bench-key.json")
        subprocess.run([gwssim, "key", sim, "--grant", "drive,gmail,calendar,contacts", "--out", keyfile],
                       env=env, check=True, stdout=subprocess.DEVNULL)
        with open(keyfile, "rb") as f:
            key = f.read()

        def cgi_request(params, body=b"", ctype=None):
            import urllib.parse
            e = dict(env, GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD="POST" if body else "GET",
                     QUERY_STRING=urllib.parse.urlencode(params), HTTP_COOKIE="NAS_SID=" + sid)
            if body:
                e.update(CONTENT_LENGTH=str(len(body)), CONTENT_TYPE=ctype)
            out = subprocess.run([cgi], env=e, input=body, capture_output=True, check=True).stdout
            return json.loads(qlmtest.split_response(out)[1])

        body, ctype = qlmtest.multipart_body((), [("file", "key.json", key)])
        auth = cgi_request({"act": "auth", "admin_email": admin}, body, ctype)["auth_id"]
        task = cgi_request({"act": "add", "auth_id": auth, "admin_email": admin, "drive_enable": "0",
                            "shared_drive_enable": "0", "calendar_enable": "0", "gmail_enable": "1",
                            "contact_enable": "0", "auto_add_user_enable": "1",
                            "auto_add_shared_drive_enable": "0"})["task_id"]
        log = os.path.join(sim, "calls.jsonl")
        backup = os.path.join(root, GWS, "backup")

        def catalog_state():
            rows = orphans = 0
            for u in users:
                db = os.path.join(backup, "gmail_db", task, u + ".db")
                ids = set()
                if os.path.exists(db):
                    with sqlite3.connect(db) as c:
                        ids = {r[0] for r in c.execute("SELECT drive_localid FROM gmail_sql_database")}
                store = os.path.join(backup, "gmail", task, u)
                files = set(os.listdir(store)) if os.path.isdir(store) else set()
                rows += len(ids)
                orphans += len(files - ids)
            return rows, orphans

        tools = set(os.listdir(os.path.join(root, qlmtest.APP, "bin")))
        with_perf = perf_usable()
        print("tool process lives from %s" % ("perf's scheduler events (fork to exit)" if with_perf else
                                              "the call log (perf not usable: loader and exit left out)"))
        perf_data = os.path.join(root, "bench-perf.data")

        def timed(argv, **kw):
            """Wall seconds of argv, and (tool, argv or None, start ms, end ms) of each tool process."""
            if os.path.exists(log):
                os.unlink(log)
            record = [PERF, "record", "-q", "-a", "-e", "sched:sched_process_fork,sched:sched_process_exec,"
                      "sched:sched_process_exit", "-o", perf_data, "--"] if with_perf else []
            start = time.monotonic()
            subprocess.run(record + argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
            took = time.monotonic() - start
            calls = read_calls(log)
            lives = calls
            if with_perf:
                life, found = process_lives(perf_data, shutil.which(argv[0]) or argv[0], tools)
                took = life if life is not None else took
                lives = [(tool, None, t0, t1) for tool, t0, t1 in found]
            return took, calls, lives

        def run(label):
            took, calls, lives = timed([cgi, "-backup", str(uuid.uuid4()), task, "0", "0", "0", "1", "0"], env=env)
            kinds = {}
            for tool, argv, _, _ in calls:
                kinds[kind(tool, argv)] = kinds.get(kind(tool, argv), 0) + 1
            outside = took - busy_ms(lives) / 1000.0
            rows, orphans = catalog_state()
            print("%-14s %7.2f s  %8.1f messages/s  outside the tools %6.2f s (%4.1f %%)  rows %d  orphans %d"
                  % (label, took, rows / took if took else 0, outside, 100 * outside / took if took else 0, rows,
                     orphans))
            print("               processes: " + ", ".join("%s %d" % kv for kv in sorted(kinds.items())))
            return took, [(tool, argv) for tool, argv, _, _ in calls if kind(tool, argv) in ("gam export", "emlsift")]

        first, per_message = run("first run")
        unchanged, _ = run("unchanged run")

        # 1 % new, 1 % deleted, 5 % relabelled in every mailbox.
        rnd = random.Random(7)
        for u in users:
            path = os.path.join(sim, "users", u, "mail.json")
            with open(path) as f:
                box = json.load(f)
            msgs = box["messages"]
            n = len(msgs)
            for m in rnd.sample(msgs, max(1, n * 5 // 100)):
                labels = m.get("labelIds", [])
                m["labelIds"] = [x for x in labels if x != "STARRED"] if "STARRED" in labels else labels + ["STARRED"]
            gone = {m["id"] for m in rnd.sample(msgs, max(1, n // 100))}
            box["messages"] = [m for m in msgs if m["id"] not in gone]
            for i in range(max(1, n // 100)):
                mid = uuid.uuid4().hex[:16]
                with open(os.path.join(sim, "users", u, "eml", mid), "w") as f:
                    f.write("From: New <new@else.test>\r\nTo: %s\r\nSubject: new %d\r\n"
                            "Date: Sun, 10 Mar 2024 16:30:15 +0800\r\n\r\nbody\r\n" % (u, i))
                box["messages"].append({"id": mid, "threadId": mid, "internalDate": int(time.time() * 1000),
                                        "labelIds": ["INBOX"]})
            with open(path, "w") as f:
                json.dump(box, f)
        run("changed run")

        # The first run's tool lines for its messages through a plain shell loop: each export into
        # a file of its own, and the two emlsift reads of that file.
        gamdir = tempfile.mkdtemp(prefix="qlm-bench-gam-", dir=os.path.join(root, "root"))
        with open(os.path.join(gamdir, "gam.cfg"), "w") as f:
            f.write("[DEFAULT]\nadmin_email = %s\ncustomer_id = %s\ndomain = %s\nenable_dasa = true\n"
                    % (admin, domain["customer_id"], domain["domains"][0]))
        shutil.copy(keyfile, os.path.join(gamdir, "oauth2service.json"))
        target = tempfile.mkdtemp(prefix="qlm-bench-eml-", dir=root)
        script = os.path.join(gamdir, "loop.sh")
        gam = os.path.join(root, qlmtest.APP, "bin/gam")
        emlsift = os.path.join(root, qlmtest.APP, "bin/emlsift")
        placed = {}
        with open(script, "w") as f:
            for tool, argv in per_message:
                words = list(argv)
                if tool == "gam":
                    at = words.index("targetname") + 1
                    placed[words[at]] = words[at] = os.path.join(target, str(len(placed)))
                    words = [gam] + words
                else:
                    words = [emlsift] + [placed.get(w, w) for w in words]
                f.write(" ".join("'" + a.replace("'", "'\\''") + "'" for a in words) + " >/dev/null 2>/dev/null\n")
        loop, _, lives = timed(["sh", script], env=dict(env, GAMCFGDIR=gamdir))
        print("shell loop     %7.2f s  for the first run's %d exports and %d emlsift reads (outside the tools %.2f s)"
              % (loop, len(placed), len(per_message) - len(placed), loop - busy_ms(lives) / 1000.0))
        if loop > 0:
            print("first run / shell loop of its tool lines: %.2f (goal 1.3)" % (first / loop))
        print("unchanged run: %.1f ms per user, %.3f ms per message"
              % (1000 * unchanged / len(users), 1000 * unchanged / max(1, len(users) * args.messages)))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
