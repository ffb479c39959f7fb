#!/usr/bin/env python3
"""Backup benchmark: a generated domain backed up through the tool stand-ins, first run and an
unchanged second run, against the same downloads done by a plain shell loop calling the same gam
command. Run by hand after a build:

    python3 bench/backup_bench.py [--users 5] [--files 100]

It prints items per second, the tool processes each run started, the first run's wall time beside a
plain shell loop of the same gam downloads, and the CPU time of orvenna.cgi itself beside that of
the tool processes it ran. Both come from the kernel: the process's own time from its schedstat,
read while it is a zombie, and the tools' as the rest of what wait4 reports for it (the -backup
run is one process, so everything it reaps is a tool), each tool's whole life from its start to
its exit, loader included. The time the tools report in the call log, which leaves out their
exit, is printed beside it."""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import qlmtest  # noqa: E402

GWS = os.path.join(qlmtest.APP, "database/gws")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--users", type=int, default=5)
    ap.add_argument("--files", type=int, default=100)
    args = ap.parse_args()

    t0 = time.monotonic()
    root = qlmtest.stage_root({"GWSSIM_INIT_ARGS": "--users %d --files %d --messages 1 --events 1 --contacts 1 "
                                                   "--shared-drives 2" % (args.users, args.files)})
    print("staged %d users x %d files in %.1f s under %s" % (args.users, args.files, time.monotonic() - t0, root))
    env = {"PATH": "/usr/bin:/bin", "QLM_ROOT": root, "QLM_SLEEP_SCALE": "0"}
    sim = os.path.join(root, "var/lib/gwssim")
    gwssim = os.path.join(root, "usr/local/bin/gwssim")
    cgi = os.path.join(root, qlmtest.APP, "webman/orvenna.cgi")
    try:
        with open(os.path.join(sim, "domain.json")) as f:
            domain = json.load(f)
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
        task = cgi_request({"act": "add", "auth_id": auth, "admin_email": admin, "drive_enable": "1",
                            "shared_drive_enable": "1", "calendar_enable": "0", "gmail_enable": "0",
                            "contact_enable": "0", "auto_add_user_enable": "1",
                            "auto_add_shared_drive_enable": "1"})["task_id"]

        calls = os.path.join(sim, "calls.jsonl")

        def timed(argv, **kw):
            """Wall seconds, the CPU seconds of argv and every descendant it reaped, and those of
            argv's process alone."""
            # What the run before wrote is flushed first: the catalogs' syncs would otherwise wait
            # for its write-back and charge it to this run.
            os.sync()
            start = time.monotonic()
            proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
            # Ended but not yet reaped: its schedstat still holds its own time on a CPU (ns).
            os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
            took = time.monotonic() - start
            with open("/proc/%d/schedstat" % proc.pid) as f:
                own = int(f.read().split()[0]) / 1e9
            _, status, usage = os.wait4(proc.pid, 0)
            if os.waitstatus_to_exitcode(status) != 0:
                raise RuntimeError("%s ended with %d" % (argv[0], os.waitstatus_to_exitcode(status)))
            return took, usage.ru_utime + usage.ru_stime, own

        def logged():
            """The call log's start entries and the tools' CPU seconds from its end entries."""
            with open(calls) as f:
                entries = [json.loads(line) for line in f if line.strip()]
            starts = [e for e in entries if e.get("event") == "start"]  # one per tool process
            tools_cpu = sum(e.get("cpu_us", 0) for e in entries if e.get("event") == "end") / 1e6
            return starts, tools_cpu

        def run(label):
            if os.path.exists(calls):
                os.unlink(calls)
            took, cpu, own = timed([cgi, "-backup", str(uuid.uuid4()), task, "1", "1", "0", "0", "0"], env=env)
            starts, tools_cpu = logged()
            downloads = [e["argv"] for e in starts if e.get("tool") == "gam" and "drivefile" in e.get("argv", [])
                         and "get" in e.get("argv", [])]
            stored = sum(len(files) for base in ("drive", "shared_drive")
                         for _, _, files in os.walk(os.path.join(root, GWS, "backup", base)))
            print("%-14s %7.2f s  %6d tool processes  %6d downloads  %6d files stored  %8.1f items/s"
                  % (label, took, len(starts), len(downloads), stored, stored / took if took else 0))
            tools = cpu - own
            print("%-14s CPU: orvenna.cgi itself %.3f s, its tool processes %.3f s, ratio %.3f%s (the tools' "
                  "own reports: %.3f s)" % ("", own, tools, own / tools if tools else 0,
                                            ", goal 0.15" if label == "first run" else "", tools_cpu))
            return took, downloads

        first, downloads = run("first run")
        second, again = run("unchanged run")

        # The same downloads through a plain shell loop over the same gam command lines.
        gamdir = tempfile.mkdtemp(prefix="qlm-bench-gam-", dir=os.path.join(root, "root"))
        with open(os.path.join(gamdir, "gam.cfg"), "w") as f:
            f.write("[DEFAULT]\nadmin_email = %s\ncustomer_id = %s\ndomain = %s\nenable_dasa = true\n"
                    % (admin, domain["customer_id"], domain["domains"][0]))
        shutil.copy(keyfile, os.path.join(gamdir, "oauth2service.json"))
        script = os.path.join(gamdir, "loop.sh")
        gam = os.path.join(root, qlmtest.APP, "bin/gam")
        with open(script, "w") as f:
            for argv in downloads:
                words = [gam] + list(argv)  # the call log keeps the arguments after the program
                f.write(" ".join("'" + a.replace("'", "'\\''") + "'" for a in words) + " >/dev/null 2>/dev/null\n")
        os.unlink(calls)
        loop, loop_cpu, shell = timed(["sh", script], env=dict(env, GAMCFGDIR=gamdir))
        _, loop_tools_cpu = logged()
        print("shell loop     %7.2f s  for the first run's %d downloads (CPU: shell %.3f s, tools %.3f s; the "
              "tools' own reports: %.3f s)" % (loop, len(downloads), shell, loop_cpu - shell, loop_tools_cpu))
        if loop > 0:
            print("first run / shell loop of its downloads: %.2f" % (first / loop))
        print("unchanged run downloads: %d" % len(again))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
