"""The activity log of a download to the browser: a row for each file the browser was sent whole,
none for a file it was not, and one FAIL row when the download was cut short. orvenna.cgi runs as
a web server runs it, its response going into a socket this test reads at its own pace: it may
stop reading, hang up, or kill the request."""

import fcntl
import io
import os
import random
import re
import signal
import socket
import subprocess
import sys
import time
import unittest
import urllib.parse
import zipfile

sys.path.insert(0, os.path.dirname(__file__))
import test_tasks  # noqa: E402

USER = "alice@example.test"
FILES = 300


def split_response(data):
    end = data.find(b"\r\n\r\n")
    return data[:end + 4], data[end + 4:]


class DownloadLog(test_tasks.TaskCase):
    """One backed-up Drive with a folder of many files and one large file."""

    @classmethod
    def env(cls, **extra):
        return super().env(QLM_SLEEP_SCALE="0", **extra)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.ready = False

    def setUp(self):
        if DownloadLog.ready:
            return
        import qlmtest
        rnd = random.Random(36)
        sim = self.path("var/lib/gwssim/users", USER)
        items = [("1manyFolder0000000000000000000000", "many", None, None)]
        items += [("1many%028d" % n, "f%03d.bin" % n, "1manyFolder0000000000000000000000",
                   rnd.randbytes(1500)) for n in range(FILES)]
        items.append(("1bigFile000000000000000000000000", "big.bin", None, rnd.randbytes(3 << 20)))
        qlmtest.plant_drive_items(sim, items)
        DownloadLog.task = self.new_task()
        reply = self.request({"act": "backup", "task_id": self.task, "drive_enable": "1",
                              "shared_drive_enable": "0", "gmail_enable": "0", "calendar_enable": "0",
                              "contact_enable": "0"})
        self.assertTrue(reply["success"], reply)
        folder = self.gws("conf/mission/history_mission")
        end = time.monotonic() + 180
        while not (os.path.isdir(folder) and os.listdir(folder)) and time.monotonic() < end:
            time.sleep(0.1)
        self.assertTrue(os.listdir(folder), "the backup did not finish")
        rows = self.catalog_rows()
        DownloadLog.index = {r["drive_name"]: str(r["drive_index"]) for r in rows}
        DownloadLog.ready = True

    def catalog_rows(self):
        import sqlite3
        with sqlite3.connect(self.gws("backup/drive_db", self.task, USER + ".db")) as db:
            db.row_factory = sqlite3.Row
            return [dict(r) for r in db.execute("SELECT * FROM drive_sql_database")]

    # -- a request whose response this test reads -------------------------------------------

    def start(self, name):
        """orvenna.cgi sending the Drive item name, its response into a small socket buffer."""
        query = urllib.parse.urlencode(dict(act="export_drive", task_id=self.task, browser="curl",
                                            index=self.index[name], domain_user_email=USER))
        mine, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        theirs.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
        mine.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        proc = subprocess.Popen([self.cgi_path], stdin=subprocess.DEVNULL, stdout=theirs.fileno(),
                                stderr=subprocess.DEVNULL,
                                env=self.env(GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD="GET", QUERY_STRING=query,
                                             HTTP_COOKIE="NAS_SID=" + self.sid))
        theirs.close()
        self.addCleanup(mine.close)
        return proc, mine

    def wait_waiting(self, proc):
        """Until the request waits for this reader to take more of its response, without a time
        limit: it has given up waiting for a reader that takes its bytes soon."""
        end = time.monotonic() + 60
        while time.monotonic() < end:
            self.assertIsNone(proc.poll(), "the request ended while its reader stopped")
            try:
                with open("/proc/%d/syscall" % proc.pid) as f:
                    call = f.read().split()
                with open("/proc/%d/stat" % proc.pid) as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
            except OSError:
                call, state = [], ""
            # Asleep in poll or ppoll without a time-out, or in write or writev.
            forever = call[0:1] == ["7"] and call[3:4] in (["0xffffffff"], ["0xffffffffffffffff"]) or \
                call[0:1] == ["271"] and call[3:4] == ["0x0"]
            if state == "S" and (forever or call[0:1] in (["1"], ["20"])):
                return
            time.sleep(0.005)
        self.fail("the request never waited for its reader")

    def read_upto(self, sock, limit):
        got = b""
        while len(got) < limit:
            chunk = sock.recv(min(65536, limit - len(got)))
            if not chunk:
                break
            got += chunk
        return got

    def run_download(self, name, how, cut):
        """Sends name; how: "whole", "hangup" (the reader hangs up after cut bytes) or "kill" (the
        request is killed while it waits, the reader having read cut bytes). The bytes the request
        wrote and its new log rows (status, message)."""
        before = len(self.log_rows())
        proc, sock = self.start(name)
        if how == "whole":
            written = self.read_upto(sock, 1 << 40)
        else:
            written = self.read_upto(sock, cut)
            self.wait_waiting(proc)
            # What it wrote and the reader did not take yet: the browser has it all the same.
            pending = b""
            while True:
                try:
                    pending = sock.recv(1 << 20, socket.MSG_PEEK | socket.MSG_DONTWAIT)
                except BlockingIOError:
                    pass
                break
            written += pending
            if how == "kill":
                proc.send_signal(signal.SIGKILL)
            else:
                sock.close()
        proc.wait(timeout=60)
        return written, [(r["sql_status"], r["sql_name"]) for r in self.log_rows()[before:]]

    # -- the zip's layout --------------------------------------------------------------------

    def entry_ends(self):
        """For the folder "many" sent whole: (name, offset in the body where its entry ends) of
        each file, in the order of the zip."""
        if not hasattr(DownloadLog, "ends"):
            written, _ = self.run_download("many", "whole", 0)
            _, body = split_response(written)
            with zipfile.ZipFile(io.BytesIO(body)) as z:
                infos = sorted(z.infolist(), key=lambda i: i.header_offset)
                central = z.start_dir
            DownloadLog.ends = [(infos[i].filename, infos[i + 1].header_offset if i + 1 < len(infos) else central)
                                for i in range(len(infos)) if not infos[i].is_dir()]
        return DownloadLog.ends

    def whole_files(self, written):
        header, body = split_response(written)
        if not header.endswith(b"\r\n\r\n"):
            return []
        return [os.path.basename(n) for n, end in self.entry_ends() if end <= len(body)]

    # -- the tests ---------------------------------------------------------------------------

    def test_a_row_for_each_file_sent_whole_and_one_fail_row_when_cut_short(self):
        self.assertEqual(len(self.entry_ends()), FILES)
        cut_short = re.compile(r"Export of Drive files of account %s to PC was cut short: (\d+) of (\d+) files sent\."
                               % re.escape(USER))
        cases = [  # what is sent, how the download ends, bytes read before
            ("many", "whole", 0),
            ("many", "hangup", 0),
            ("many", "hangup", 60 << 10),
            ("many", "hangup", 300 << 10),
            ("many", "kill", 30 << 10),
            ("many", "kill", 250 << 10),
            ("big.bin", "whole", 0),
            ("big.bin", "hangup", 100 << 10),
            ("big.bin", "kill", 1 << 20),
        ]
        for name, how, cut in cases:
            with self.subTest(name=name, how=how, cut=cut):
                written, rows = self.run_download(name, how, cut)
                header, body = split_response(written)
                if name == "big.bin":
                    sent = ["big.bin"] if len(body) == 3 << 20 else []
                else:
                    sent = self.whole_files(written)
                if how == "whole":
                    self.assertEqual(len(sent), FILES if name == "many" else 1)
                else:
                    self.assertLess(len(sent), FILES if name == "many" else 1)
                logged = [m for s, m in rows if s == "SUCCESS"]
                self.assertEqual(sorted(logged), sorted('Exported Drive file "%s" of account %s to PC.' % (n, USER)
                                                        for n in sent))
                fails = [m for s, m in rows if s == "FAIL"]
                if how == "hangup":
                    self.assertEqual(len(fails), 1, rows[-3:])
                    self.assertEqual(cut_short.fullmatch(fails[0]).groups(),
                                     (str(len(sent)), str(FILES if name == "many" else 1)))
                else:  # a request killed outright writes nothing more
                    self.assertEqual(fails, [])
                self.assertEqual(len(rows), len(logged) + len(fails))


if __name__ == "__main__":
    unittest.main()
