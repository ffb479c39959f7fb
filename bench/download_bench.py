#!/usr/bin/env python3
"""Download benchmark: one account's Drive backed up as a tree of many files (by default 10 000
files in 100 folders, once of 1 KiB each and once of 100 KiB each, about 1 GB), downloaded whole
("ALL") through lighttpd with curl as a browser would, beside the same tree archived as a zip by
bsdtar in the same run. Run by hand after a build:

    python3 bench/download_bench.py [--folders 100] [--files 100] [--size 1024 102400] [--runs 3]

The demo domain is backed up once by the backup engine (so task, store folder and catalog are
real), then the account's catalog and store are replaced by generated ones of the same schema.
For each run it prints the wall time and the peak resident memory of orvenna.cgi (sampled from
/proc while the request runs) and of bsdtar, the bytes each wrote, and how many blocks the
temporary folder took at most while the download was prepared: a tree that is linked rather than
copied takes next to none."""

import argparse
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import qlmtest  # noqa: E402
import test_tasks  # noqa: E402

USER = "alice@example.test"
TABLE = "drive_sql_database"
FOLDER = "application/vnd.google-apps.folder"


class Setup(test_tasks.TaskCase):
    """The test fixture's staging, session and task, used outside a test run."""

    def runTest(self):
        pass


def generate(catalog, schema, store, tree, folders, files, size):
    """The catalog rows, the store files, and the same tree as plain folders (linked) for bsdtar."""
    db = sqlite3.connect(catalog)
    db.execute("PRAGMA journal_mode=OFF")
    db.execute("PRAGMA synchronous=OFF")
    for sql in schema:
        db.execute(sql)
    now = int(time.time())
    root_id = "root-" + "0" * 28
    block = os.urandom(size)

    def rows():
        yield (root_id, "My Drive", "", "", FOLDER, 1, -1, -1, "", "", "", now, now, "", 0)
        index = 2
        for f in range(folders):
            folder_id = "fold-%028d" % f
            folder_name = "Folder %04d" % f
            os.makedirs(os.path.join(tree, folder_name))
            yield (folder_id, folder_name, "", "2024-01-01T00:00:00.000Z", FOLDER, index, 0, -1, "", root_id, USER,
                   now, now, "", 1704067200)
            index += 1
            for i in range(files):
                n = f * files + i
                localid = str(uuid.UUID(int=n + 1))
                name = "file-%07d.bin" % n
                with open(os.path.join(store, localid), "wb") as out:
                    out.write(n.to_bytes(8, "big") + block[8:])
                os.link(os.path.join(store, localid), os.path.join(tree, folder_name, name))
                yield ("file-%028d" % n, name, "", "2024-01-01T00:00:00.000Z", "application/octet-stream", index, 1,
                       size, localid, folder_id, USER, now, now, "", 1704067200)
                index += 1

    db.executemany("INSERT INTO %s (drive_id,drive_name,drive_md5Checksum,drive_modifiedTime,drive_mimeType,"
                   "drive_index,drive_depth,drive_size,drive_localid,drive_parents,drive_Owner,create_time,"
                   "last_backup_time,structure,modify_timestamp) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)" % TABLE,
                   rows())
    db.commit()
    db.close()


def replace_drive(s, task, work, folders, files, size, backup=True):
    """The account's Drive of the task backed up (unless it is already), then its catalog and store
    replaced by generated ones; (store folder, the same tree as plain folders, below work)."""
    if backup:
        subprocess.run([s.cgi_path, "-backup", str(uuid.uuid4()), task, "1", "0", "0", "0", "0"],
                       env=s.env(QLM_SLEEP_SCALE="0"), check=True, capture_output=True)
    catalog = s.gws("backup/drive_db", task, USER + ".db")
    with sqlite3.connect(catalog) as db:
        schema = [r[0] for r in db.execute("SELECT sql FROM sqlite_master WHERE sql IS NOT NULL AND "
                                           "tbl_name = ? ORDER BY type DESC", (TABLE,))]
    store = s.gws("backup/drive", task, USER)
    shutil.rmtree(store)
    os.makedirs(store)
    tree = os.path.join(work, "tree")
    fresh = catalog + ".bench"
    generate(fresh, schema, store, tree, folders, files, size)
    os.replace(fresh, catalog)
    return store, tree


def blocks_used(folder):
    total = 0
    for dirpath, dirnames, filenames in os.walk(folder):
        for name in dirnames + filenames:
            try:
                st = os.lstat(os.path.join(dirpath, name))
            except FileNotFoundError:
                continue
            # A linked file's blocks belong to the store: count only files of one link.
            if st.st_nlink == 1 or os.path.isdir(os.path.join(dirpath, name)):
                total += st.st_blocks * 512
    return total


class Sampler(threading.Thread):
    """Follows the peak memory of every orvenna.cgi process and the size of the temporary folder."""

    def __init__(self, tmp):
        super().__init__(daemon=True)
        self.tmp, self.peak_kib, self.tmp_peak, self.done = tmp, 0, 0, False

    def run(self):
        while not self.done:
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    with open("/proc/%s/status" % pid) as f:
                        status = f.read()
                except OSError:
                    continue
                if "\nName:\torvenna.cgi\n" not in "\n" + status:
                    continue
                for line in status.splitlines():
                    if line.startswith("VmHWM:"):
                        self.peak_kib = max(self.peak_kib, int(line.split()[1]))
            self.tmp_peak = max(self.tmp_peak, blocks_used(self.tmp))
            time.sleep(0.01)


# What the download may cost beside bsdtar's zip of the same files: small files are dominated by
# the per-file work (catalog walk, link, log row), large ones by the bytes.
GOALS = {1024: 2.5, 100 * 1024: 1.2}


def measure_size(s, httpd, task, work, tmp, size, runs):
    """Runs of the whole-Drive download and of bsdtar over the same tree; (cgi, bsdtar) medians."""
    query = urllib.parse.urlencode(dict(act="export_drive", browser="curl", index="ALL", task_id=task,
                                        domain_user_email=USER))
    tree = os.path.join(work, "tree")
    print("%-8s %9s %11s %14s %14s" % ("run", "wall s", "peak MB", "bytes", "tmp peak MB"))
    cgi_times, tar_times = [], []
    for run in range(runs):
        sampler = Sampler(tmp)
        sampler.start()
        start = time.monotonic()
        r = subprocess.run(["curl", "-s", "--cookie", "NAS_SID=" + s.sid, "-o", os.path.join(work, "out.zip"),
                            "-w", "%{size_download} %{content_type}", httpd.url(query)],
                           check=True, capture_output=True, text=True)
        took = time.monotonic() - start
        sampler.done = True
        sampler.join()
        got, ctype = r.stdout.split(" ", 1)
        if ctype != "application/zip":
            raise RuntimeError("unexpected reply: %s" % ctype)
        cgi_times.append(took)
        print("%-8s %9.2f %11.1f %14s %14.1f" % ("cgi %d" % run, took, sampler.peak_kib / 1024, got,
                                                 sampler.tmp_peak / 1e6))

        rss = os.path.join(work, "rss")
        start = time.monotonic()
        with open(os.path.join(work, "tar.zip"), "wb") as out:
            subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss, "bsdtar", "--format", "zip", "-cf", "-",
                            "-C", tree, "."], stdout=out, check=True)
        took = time.monotonic() - start
        tar_times.append(took)
        with open(rss) as f:
            peak = int(f.read().split()[-1])
        print("%-8s %9.2f %11.1f %14d %14s" % ("bsdtar %d" % run, took, peak / 1024,
                                               os.path.getsize(os.path.join(work, "tar.zip")), "-"))
        os.unlink(os.path.join(work, "tar.zip"))
        os.unlink(os.path.join(work, "out.zip"))
    return statistics.median(cgi_times), statistics.median(tar_times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--folders", type=int, default=100)
    ap.add_argument("--files", type=int, default=100)
    ap.add_argument("--size", type=int, nargs="*", default=[1024, 100 * 1024])
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()

    t0 = time.monotonic()
    Setup.setUpClass()
    httpd = None
    work = tempfile.mkdtemp(prefix="qlm-bench-dl-")
    try:
        s = Setup()
        task = s.new_task()
        httpd = qlmtest.Lighttpd(s.root).start()
        tmp = s.path("usr/local/tmp")
        total = args.folders * args.files
        summary = []
        for n, size in enumerate(args.size):
            # Each size has a store and a tree of its own; the demo backup runs once.
            here = os.path.join(work, "size-%d" % size)
            os.makedirs(here)
            replace_drive(s, task, here, args.folders, args.files, size, backup=n == 0)
            print("store: %d files of %d bytes, %.2f GB, ready at %.1f s (staging and the demo backup included)"
                  % (total, size, total * size / 1e9, time.monotonic() - t0))
            cgi, tar = measure_size(s, httpd, task, here, tmp, size, args.runs)
            summary.append((size, cgi, tar))
            shutil.rmtree(here, ignore_errors=True)
        for size, cgi, tar in summary:
            goal = GOALS.get(size)
            print("%d files of %d bytes, median wall: orvenna.cgi %.2f s, bsdtar %.2f s (ratio %.2f%s)"
                  % (total, size, cgi, tar, cgi / tar if tar else 0, ", goal %.1f" % goal if goal else ""))
        left = os.listdir(tmp)
        print("left in the temporary folder: %s" % (left or "nothing"))
    finally:
        if httpd:
            httpd.stop()
        shutil.rmtree(work, ignore_errors=True)
        Setup.tearDownClass()


if __name__ == "__main__":
    main()
