"""Messages in the shapes real mailboxes hold, planted in one simulated mailbox and backed up once:
each is stored exactly once with one row and its bytes, dated as RFC 5322 reads its Date header,
and can be listed, viewed, exported and restored like any other."""

import base64
import hashlib
import json
import os
import sqlite3
import subprocess
import sys
import unittest
import uuid

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_gmail_backup  # noqa: E402
import test_gmail_restore  # noqa: E402
import test_restore  # noqa: E402

USER = "shapes@example.test"
TARGET = test_gmail_restore.BOB
INSTANT = 1710059415  # 2024-03-10T08:30:15Z
DATE = b"Sun, 10 Mar 2024 16:30:15 +0800"
NO_DATE = -1


def mail(subject, date=DATE, before=b"", body=b"Hello.\r\n", extra=(), sender=b"Sender <sender@else.test>"):
    headers = []
    if sender is not None:
        headers.append(b"From: " + sender)
    headers.append(b"To: " + USER.encode())
    if subject is not None:
        headers.append(b"Subject: " + subject)
    if date is not None:
        headers.append(b"Date: " + date)
    headers += list(extra)
    return before + b"".join(h + b"\r\n" for h in headers) + b"\r\n" + body


def with_attachments(count):
    boundary = b"shapes-boundary"
    parts = [b"--" + boundary + b"\r\nContent-Type: text/plain\r\n\r\nSee the files.\r\n"]
    for i in range(count):
        data = base64.b64encode(b"file %d\n" % i)
        parts.append(b"--" + boundary + b"\r\nContent-Type: text/plain; name=\"f%03d.txt\"\r\n"
                     b"Content-Disposition: attachment; filename=\"f%03d.txt\"\r\n"
                     b"Content-Transfer-Encoding: base64\r\n\r\n%s\r\n" % (i, i, data))
    body = b"".join(parts) + b"--" + boundary + b"--\r\n"
    return mail(b"Two hundred files", body=body,
                extra=(b"MIME-Version: 1.0", b"Content-Type: multipart/mixed; boundary=\"" + boundary + b"\""))


def huge():
    line = b"x" * 76 + b"\r\n"
    return mail(b"Thirty megabytes", body=line * (30 * 1024 * 1024 // len(line)))


# (name, the EML bytes, subject, date as seconds, attachments; or None for a message whose first line
# is no header: the analysis may fail on it, and then only what is known is stored)
SHAPES = [
    ("byte-order mark", b"\xef\xbb\xbf" + mail(b"Marked"), None),
    ("mbox From line", mail(b"From an mbox", before=b"From sender@else.test Sun Mar 10 08:30:15 2024\r\n"), None),
    ("first line without colon", mail(b"Colonless", before=b"this line is no header\r\n"), None),
    ("no Date", mail(b"Undated", date=None), (b"Undated", NO_DATE, 0)),
    ("no From", mail(b"Anonymous", sender=None), (b"Anonymous", INSTANT, 0)),
    ("no Subject", mail(None), (b"", INSTANT, 0)),
    ("two-digit year 97", mail(b"Y97", date=b"21 Nov 97 09:55:06 GMT"), (b"Y97", 880106106, 0)),
    ("two-digit year 24", mail(b"Y24", date=b"Sun, 10 Mar 24 08:30:15 GMT"), (b"Y24", INSTANT, 0)),
    ("three-digit year", mail(b"Y097", date=b"Fri, 21 Nov 097 09:55:06 GMT"), (b"Y097", 880106106, 0)),
] + [
    ("zone " + zone, mail(b"Zone " + zone.encode(), date=b"Sun, 10 Mar 2024 %s %s" % (clock, zone.encode())),
     (b"Zone " + zone.encode(), INSTANT, 0))
    for zone, clock in [("EST", b"03:30:15"), ("EDT", b"04:30:15"), ("CST", b"02:30:15"), ("CDT", b"03:30:15"),
                        ("MST", b"01:30:15"), ("MDT", b"02:30:15"), ("PST", b"00:30:15"), ("pdt", b"01:30:15"),
                        ("UT", b"08:30:15"), ("GMT", b"08:30:15"), ("Z", b"08:30:15"), ("A", b"08:30:15")]
] + [
    ("zone as a comment", mail(b"Commented", date=b"Wed, 20 Sep 1995 00:19:00 (EDT) -0400"),
     (b"Commented", 811570740, 0)),
    ("no seconds", mail(b"No seconds", date=b"Sun, 10 Mar 2024 16:30 +0800"), (b"No seconds", INSTANT - 15, 0)),
    ("8-bit header bytes", mail(b"Caf\xe9 cr\xe8me", sender=b"Zo\xeb <zoe@else.test>",
                                extra=(b"Content-Type: text/plain; charset=ISO-8859-1",)), (None, INSTANT, 0)),
    ("NUL in the body", mail(b"Nul inside", body=b"before\0after\r\n"), (b"Nul inside", INSTANT, 0)),
    ("30 MB", huge(), (b"Thirty megabytes", INSTANT, 0)),
    ("200 attachments", with_attachments(200), (b"Two hundred files", INSTANT, 200)),
]


class MailShapes(test_gmail_restore.GmailRestoreCase):

    @classmethod
    def setUpClass(cls):
        super(test_restore.RestoreCase, cls).setUpClass()  # a root, without the Drive backup
        helper = cls()
        sim = cls.path("var/lib/gwssim")
        test_gmail_backup.add_sim_user(sim, USER)
        cls.ids = {}
        box = {"labels": [], "messages": []}
        for n, (name, eml, _) in enumerate(SHAPES):
            mid = "%016x" % (0x5ade0000 + n)
            with open(os.path.join(sim, "users", USER, "eml", mid), "wb") as f:
                f.write(eml)
            box["messages"].append({"id": mid, "threadId": mid, "internalDate": 1710000000000 + n * 1000,
                                    "labelIds": ["INBOX"]})
            cls.ids[name] = mid
        with open(os.path.join(sim, "users", USER, "mail.json"), "w") as f:
            json.dump(box, f)
        cls.task = helper.new_task()
        r = subprocess.run([helper.cgi_path, "-backup", str(uuid.uuid4()), cls.task, "0", "0", "0", "1", "0"],
                           env=cls.env(), capture_output=True, timeout=600)
        if r.returncode != 0:
            raise AssertionError("backup failed: %s" % r.stderr.decode())
        cls.users = [USER]
        cls.source = cls.mail()
        cls.clock = 1700000000

    def rows(self):
        path = self.gws("backup/gmail_db", self.task, USER + ".db")
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True) as db:
            db.row_factory = sqlite3.Row
            return [dict(r) for r in db.execute("SELECT * FROM gmail_sql_database")]

    def call(self, act, **params):
        return self.request(dict(dict(act=act, task_id=self.task, domain_user_email=USER), **params))

    def not_analysed(self, mid):
        return [r for r in self.log_rows()
                if r["sql_name"] == "Gmail message %s of user account %s could not be analysed: it is backed up "
                                    "with the details that could be read." % (mid, USER)]

    def test_every_shape_is_stored_once_with_its_bytes_and_its_date(self):
        rows = {r["gmail_id"]: r for r in self.rows()}
        self.assertEqual(len(rows), len(SHAPES))
        self.assertEqual(sorted(os.listdir(self.gws("backup/gmail", self.task, USER))),
                         sorted(r["drive_localid"] for r in rows.values()))
        self.assertIn("Gmail backup summary. user=%s total=%d success=%d fail=0" % (USER, len(SHAPES), len(SHAPES)),
                      [r["sql_name"] for r in self.log_rows() if r["sql_status"] == "SUCCESS"])
        for name, eml, want in SHAPES:
            with self.subTest(shape=name):
                row = rows[self.ids[name]]
                self.assertEqual(self.read(USER, row["drive_localid"]), eml)
                warned = self.not_analysed(self.ids[name])
                if want is None:
                    # What the analysis could read, or nothing at all with a warn row naming the message.
                    if warned:
                        self.assertEqual([(w["sql_status"], w["sql_type"]) for w in warned], [("FAIL", "warn")])
                        self.assertEqual((row["subject"], row["date_str"], row["send_mail"]), ("", "", ""))
                    else:
                        self.assertEqual(row["date_timestamp"], INSTANT)
                    continue
                self.assertEqual(warned, [])
                subject, date, attachments = want
                if subject is not None:
                    self.assertEqual(row["subject"], subject.decode())
                self.assertEqual(row["date_timestamp"], date)
                self.assertEqual(row["has_attachment"], 1 if attachments else 0)
        # The one whose first line no parser takes for a header is there, and says so.
        self.assertTrue(self.not_analysed(self.ids["first line without colon"]))

    def test_every_shape_is_listed_viewed_and_exported_byte_for_byte(self):
        rows = {r["gmail_id"]: r for r in self.rows()}
        folders = self.call("gmail_list")
        self.assertEqual(folders["list"][0], {"name": "Inbox", "amount": len(SHAPES)}, folders)
        page = self.call("list_gmail_local_backup", gmail_name="Inbox", start=0, limit=len(SHAPES) + 10)
        listed = {m["localid"]: m for m in page["list"]}
        self.assertEqual(set(listed), {r["drive_localid"] for r in rows.values()})
        for name, eml, want in SHAPES:
            with self.subTest(shape=name):
                localid = rows[self.ids[name]]["drive_localid"]
                reply = self.call("gmail_single_info", gmail_localid=localid)
                self.assertNotIn("error", reply)
                if want is not None:
                    subject, _, attachments = want
                    if subject is not None:
                        self.assertEqual(reply["header"].get("Subject", [""])[0], subject.decode())
                    self.assertEqual(len(reply["attachments"]), attachments)
                status, header, body = self.run_cgi({"act": "export_eml", "browser": "curl", "task_id": self.task,
                                                     "domain_user_email": USER, "gmail_localid": localid},
                                                    sid=self.sid)
                self.assertEqual(status, 0)
                self.assertIn("Content-Disposition", header, body[:200])
                self.assertEqual(hashlib.md5(body).hexdigest(), hashlib.md5(eml).hexdigest())

    def test_every_shape_is_stored_byte_for_byte_and_restored_as_an_insert_gives_it(self):
        record = self.finished(domain_user_email=USER, target_account=TARGET, localid_list="ALL", deadline=300)
        self.assertEqual(record["backup_status"], "finish", self.messages()[-10:])
        stored = self.stored(USER, inserted=False)
        self.assertEqual(sum(stored.values()), len(SHAPES))
        self.assertEqual(stored, test_gmail_restore.collections.Counter(
            (hashlib.md5(eml).hexdigest(), len(eml)) for _, eml, _ in SHAPES))
        # GAM's insert turns every CRLF and lone CR into LF; every other byte comes back.
        self.assertEqual(self.restored(TARGET), self.stored(USER))
        self.assertEqual(self.summary()[0], "SUCCESS")


if __name__ == "__main__":
    unittest.main()
