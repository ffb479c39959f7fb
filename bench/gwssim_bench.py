#!/usr/bin/env python3
"""Stand-in benchmark: what one gam call costs against a small and a large simulated domain. Run by
hand after a build:

    python3 bench/gwssim_bench.py [--build DIR] [--small 200] [--files 20000] [--messages 100000] [--calls 30]

A domain of --small files and --small messages is the baseline, measured in the same run as one of
--files files and --messages messages. For each call (a download, the permissions of a file, a listing
of one folder -- a small shared drive --, a message export, then an upload, a folder creation and a
message insert) it prints the median wall time of one gam process at both sizes and their ratio. A
call that only touches one item should cost about the same in both; a whole-Drive listing grows
with what it prints."""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
UPLOAD_RATIO_GOAL = 1.5


class Sim:
    """A simulated domain of one user (plus one small shared drive) and a gam configuration for it."""

    def __init__(self, build, files, messages):
        self.build = build
        self.top = tempfile.mkdtemp(prefix="qlm-gwssim-bench-")
        self.root = os.path.join(self.top, "sim")
        self.gwssim = os.path.join(build, "standins/gwssim/gwssim")
        self.gam = os.path.join(build, "standins/tools/gam/gam")
        t0 = time.monotonic()
        subprocess.run([self.gwssim, "init", self.root, "--users", "1", "--files", str(files), "--messages",
                        str(messages), "--events", "0", "--contacts", "0", "--shared-drives", "1"],
                       check=True, stdout=subprocess.DEVNULL)
        self.init_s = time.monotonic() - t0
        with open(os.path.join(self.root, "domain.json")) as f:
            dom = json.load(f)
        self.user = dom["users"][0]["email"]
        self.shared = dom["shared_drives"][0]["id"]
        self.cfg = os.path.join(self.top, "gam")
        os.makedirs(self.cfg)
        with open(os.path.join(self.cfg, "gam.cfg"), "w") as f:
            f.write("[DEFAULT]\nadmin_email = %s\ncustomer_id = %s\ndomain = %s\nenable_dasa = true\n"
                    % (self.user, dom["customer_id"], dom["domains"][0]))
        subprocess.run([self.gwssim, "key", self.root, "--grant", "drive,gmail",
                        "--out", os.path.join(self.cfg, "oauth2service.json")], check=True, stdout=subprocess.DEVNULL)
        self.env = dict(os.environ, GWSSIM_ROOT=self.root, GAMCFGDIR=self.cfg)
        self.env.pop("QLM_ROOT", None)
        self.upload = os.path.join(self.top, "upload.txt")
        with open(self.upload, "wb") as f:
            f.write(b"x" * 1024)
        self.eml = os.path.join(self.top, "insert.eml")
        with open(self.eml, "wb") as f:
            f.write(b"From: a@example.test\r\nTo: b@example.test\r\nSubject: bench\r\n\r\nbody\r\n")
        self.out = os.path.join(self.top, "export.eml")
        lst = self.run(["user", self.user, "print", "filelist", "fields", "id,name,mimetype"], capture=True)
        rows = [line.split(",") for line in lst.splitlines()[1:]]
        self.file_id = next(r[1] for r in rows if len(r) > 3 and not r[-1].endswith("folder"))
        self.folder_id = next((r[1] for r in rows if len(r) > 3 and r[-1].endswith("folder")), "")
        with open(os.path.join(self.root, "users", self.user, "mail.json")) as f:
            self.message_id = json.load(f)["messages"][0]["id"]

    def run(self, argv, capture=False):
        p = subprocess.run([self.gam] + argv, env=self.env, stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, text=capture)
        if p.returncode not in (0, 60):
            raise RuntimeError("gam %s ended %d" % (" ".join(argv), p.returncode))
        return p.stdout if capture else ""

    def calls(self):
        u = self.user
        # Reads first: on a domain that nothing has written to yet, as a backup finds it.
        return [
            ("download", ["user", u, "get", "drivefile", "id", self.file_id, "targetfolder", self.top,
                          "targetname", "-"]),
            ("file permissions", ["user", u, "show", "drivefileacls", self.file_id, "formatjson"]),
            ("list one folder", ["user", u, "print", "filelist", "select", self.shared, "fields", "id,name",
                                 "excludetrashed"]),
            ("export message", ["user", u, "export", "messages", "ids", self.message_id, "targetname", self.out]),
            ("upload", ["user", u, "create", "drivefile", "drivefilename", "up.txt", "localfile", self.upload,
                        "parentid", self.folder_id, "returnidonly"]),
            ("create folder", ["user", u, "create", "drivefile", "drivefilename", "dir", "mimetype", "gfolder",
                               "returnidonly"]),
            ("insert message", ["user", u, "insert", "messages", "emlfile", self.eml, "deleted", "false",
                                "addlabel", "INBOX"]),
        ]

    def close(self):
        shutil.rmtree(self.top, ignore_errors=True)


def median_ms(sim, argv, n):
    times = []
    for _ in range(n):
        t0 = time.perf_counter()
        sim.run(argv)
        times.append((time.perf_counter() - t0) * 1000)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--small", type=int, default=200)
    ap.add_argument("--files", type=int, default=20000)
    ap.add_argument("--messages", type=int, default=100000)
    ap.add_argument("--calls", type=int, default=30)
    a = ap.parse_args()
    small = Sim(a.build, a.small, a.small)
    large = Sim(a.build, a.files, a.messages)
    try:
        print("domains: %d files + %d messages (init %.1f s) beside %d files + %d messages (init %.1f s)"
              % (a.small, a.small, small.init_s, a.files, a.messages, large.init_s))
        print("%-18s %12s %12s %7s" % ("call", "small ms", "large ms", "ratio"))
        worst = 0.0
        figures = {}
        for (name, argv_s), (_, argv_l) in zip(small.calls(), large.calls()):
            s = median_ms(small, argv_s, a.calls)
            l = median_ms(large, argv_l, a.calls)
            figures[name] = (s, l)
            worst = max(worst, l / s)
            print("%-18s %12.2f %12.2f %7.2f" % (name, s, l, l / s))
        print("largest ratio %.2f" % worst)
        # A restore uploads file after file into a Drive that may be large: one upload must not
        # cost more there.
        s, l = figures["upload"]
        print("upload into a Drive of %d files %.2f ms, of %d files %.2f ms: ratio %.2f (goal at most %.1f)"
              % (a.small, s, a.files, l, l / s, UPLOAD_RATIO_GOAL))
    finally:
        small.close()
        large.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
