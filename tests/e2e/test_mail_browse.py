"""Browsing, searching and viewing backed-up mail through orvenna.cgi, over a mail store of EML
files and a catalog written by the system's own catalog writer."""

import base64
import calendar
import email
import email.policy
import email.utils
import fcntl
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_account_browse  # noqa: E402
import test_tasks  # noqa: E402

USER = "mail.user@example.test"
BACKUP = test_account_browse.BACKUP
FOLDERS = ["Inbox", "Starred", "Important", "Sent", "Drafts", "Trash"]
PNG = base64.b64encode(b"\x89PNG\r\n\x1a\n" + bytes(range(40))).decode()
HOSTILE_ID = "m'$(touch pwned-by-id);x"


def date_of(text):
    return calendar.timegm(email.utils.parsedate_tz(text)[:9]) - email.utils.parsedate_tz(text)[9]


def plain_mail(sender, to, subject, date, body="Hello there.\r\n"):
    return ("From: %s\r\nTo: %s\r\nSubject: %s\r\nDate: %s\r\nMIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=utf-8\r\n\r\n%s" % (sender, to, subject, date, body))


def multipart(sender, to, subject, date, parts):
    out = ("From: %s\r\nTo: %s\r\nSubject: %s\r\nDate: %s\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"BOUND\"\r\n\r\n" % (sender, to, subject, date))
    for headers, body in parts:
        out += "--BOUND\r\n" + "".join(h + "\r\n" for h in headers) + "\r\n" + body + "\r\n"
    return out + "--BOUND--\r\n"


def html_part(html):
    return (["Content-Type: text/html; charset=utf-8"], html)


def file_part(name, ctype, data_b64, disposition="attachment"):
    return (["Content-Type: %s; name=\"%s\"" % (ctype, name),
             "Content-Disposition: %s; filename=\"%s\"" % (disposition, name),
             "Content-Transfer-Encoding: base64"], data_b64)


# Each mail: local id, EML text (None: the file is missing), catalog flags.
DATES = ["Mon, 4 Mar 2024 10:00:00 +0100", "Tue, 5 Mar 2024 11:30:00 +0000", "Wed, 6 Mar 2024 08:00:00 -0500",
         "Thu, 7 Mar 2024 09:00:00 +0000", "Fri, 8 Mar 2024 12:00:00 +0000", "Sat, 9 Mar 2024 12:00:00 +0000"]
MAILS = [
    ("m1", plain_mail('"Doe, Jane" <jane@example.test>', "Bob <bob@example.test>", "Plain hello", DATES[0]),
     {}),
    ("m2", multipart("Carol <carol@example.test>", '"Smith, Al" <al@example.test>', "Logo inside", DATES[1], [
        html_part('<p>Hi <img alt="logo.png" src="cid:logo@x"> and <img alt="nothing.png" src="cid:n@x"></p>'),
        file_part("logo.png", "image/png", PNG, "inline"),
        file_part("inv.pdf", "application/pdf", base64.b64encode(b"%PDF-1.4 x").decode()),
    ]), {"starred": 1, "important": 1, "has_attachment": 1}),
    ("m3", multipart("Me <me@example.test>", "Dan <dan@example.test>", "100% off_sale", DATES[2], [
        (["Content-Type: text/plain"], "See attached."),
        file_part("a.txt", "text/plain", base64.b64encode(b"a").decode()),
        file_part("b.txt", "text/plain", base64.b64encode(b"b").decode()),
    ]), {"sent": 1, "has_attachment": 1}),
    ("m4", plain_mail("Me <me@example.test>", "Eve <eve@example.test>", "'; DROP TABLE gmail_sql_database; --",
                      DATES[3]), {"drafts": 1}),
    ("m5", plain_mail("Spam <spam@example.test>", "Me <me@example.test>", "Win now", DATES[4]), {"trash": 1}),
    ("gone", None, {}),
    (HOSTILE_ID, plain_mail("Odd <odd@example.test>", "Me <me@example.test>", "Odd id", DATES[5]), {}),
]


def catalog_row(localid, text, flags):
    """The row the Gmail backup writes for a mail: names as parsed, quotes kept."""
    row = {"localid": localid, "gmail_id": "g-" + localid}
    if text:
        head = dict(line.split(": ", 1) for line in text.split("\r\n\r\n", 1)[0].split("\r\n"))
        for key, header in (("sender", "From"), ("recipient", "To")):
            name, addr = head[header].rsplit("<", 1)
            row[key + "_name"], row[key + "_mail"] = name.strip(), addr.rstrip(">")
        row.update(subject=head["Subject"], date=head["Date"], timestamp=date_of(head["Date"]))
    row.update(flags)
    return row


class MailCase(qlmtest.BrowseAsserts, test_tasks.TaskCase):
    """One task whose account USER has the mails of MAILS in its store and catalog."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.task = cls().new_task()
        cls.store = cls.path(BACKUP, "gmail", cls.task, USER)
        os.makedirs(cls.store)
        for localid, text, _ in MAILS:
            if text is not None:
                with open(os.path.join(cls.store, localid), "w") as f:
                    f.write(text)
        test_account_browse.write_catalogs(cls.root, task=cls.task, user=USER,
                                           gmail=[catalog_row(*m) for m in MAILS])

    def call(self, act, **params):
        return self.request(dict(dict(act=act, task_id=self.task, domain_user_email=USER), **params))

    def page(self, folder="Inbox", start=0, limit=30, **params):
        return self.call("list_gmail_local_backup", gmail_name=folder, start=start, limit=limit, **params)

    def cache(self):
        return self.path(BACKUP, "gmail_db", self.task, USER + ".cache")

    def drop_cache(self):
        if os.path.exists(self.cache()):
            os.unlink(self.cache())

    def summaries(self):
        return self.path(BACKUP, "gmail_db", self.task, USER + ".summaries")

    def drop_summaries(self):
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(self.summaries() + suffix):
                os.unlink(self.summaries() + suffix)

    def hold_writer_lock(self):
        f = open(self.path(BACKUP, "gmail", self.task, USER + ".gmail_lck"), "w")
        fcntl.flock(f, fcntl.LOCK_EX)
        self.addCleanup(f.close)


def summary(localid, sender, sender_mail, recipient, recipient_mail, subject, date, attachments, root):
    return {"localid": localid, "sender": sender, "sender_mail": sender_mail, "recipient": recipient,
            "recipient_mail": recipient_mail, "subject": subject, "date": date_of(date),
            "size": os.path.getsize(os.path.join(root, localid)), "attachment": attachments}


class MailPages(MailCase):

    def setUp(self):
        self.drop_cache()

    def expected(self, localid, quotes_removed=True):
        s = {
            "m1": ("Doe, Jane", "jane@example.test", "Bob", "bob@example.test", "Plain hello", DATES[0], 0),
            "m2": ("Carol", "carol@example.test", "Smith, Al", "al@example.test", "Logo inside", DATES[1], 2),
            "m3": ("Me", "me@example.test", "Dan", "dan@example.test", "100% off_sale", DATES[2], 2),
            "m4": ("Me", "me@example.test", "Eve", "eve@example.test", "'; DROP TABLE gmail_sql_database; --",
                   DATES[3], 0),
            "m5": ("Spam", "spam@example.test", "Me", "me@example.test", "Win now", DATES[4], 0),
            HOSTILE_ID: ("Odd", "odd@example.test", "Me", "me@example.test", "Odd id", DATES[5], 0),
        }[localid]
        out = summary(localid, *s, self.store)
        if not quotes_removed:
            for key in ("sender", "recipient"):
                if "," in out[key]:
                    out[key] = '"%s"' % out[key]
        return out

    def test_the_six_folders_and_their_counts(self):
        reply = self.call("gmail_list")
        self.assertEqual(reply, {"success": True, "list": [
            {"name": n, "amount": a} for n, a in zip(FOLDERS, [7, 1, 1, 1, 1, 1])]})
        never = self.call("gmail_list", domain_user_email="never@example.test")
        self.assertEqual([f["amount"] for f in never["list"]], [0] * 6)

    def test_folder_pages(self):
        inbox = self.page(limit=3)
        # Newest row first; the mail whose file is gone is left out, the total still counts it.
        self.assertEqual(inbox["list"], [self.expected(HOSTILE_ID), self.expected("m5")])
        self.assertEqual(inbox["total"], 7)
        self.assertEqual(self.page(start=3, limit=3)["list"], [self.expected(m) for m in ("m4", "m3", "m2")])
        for folder, localid in [("Starred", "m2"), ("Important", "m2"), ("Sent", "m3"), ("Drafts", "m4"),
                                ("Trash", "m5")]:
            with self.subTest(folder=folder):
                self.assertEqual(self.page(folder), {"success": True, "list": [self.expected(localid)], "total": 1})
        self.assertEqual(self.page(start=50), {"success": True, "list": [], "total": 0})
        self.assertFalse(os.path.exists(self.cache()))

    def test_keywords_are_bound_with_like_wildcards(self):
        for keyword, expected in [("jane", ["m1"]), ("100%", ["m3"]), ("off_sale", ["m3"]), ("Plain_hello", ["m1"]),
                                  ("'; DROP", ["m4"]), ("' OR '1'='1", []), ("Smith, Al", ["m2"])]:
            with self.subTest(keyword=keyword):
                reply = self.page(key_word=keyword, limit=10)
                self.assertEqual([m["localid"] for m in reply["list"]], expected)
                self.assertEqual(reply["total"], 7 if expected else 0)
        self.assertEqual(self.call("gmail_list")["list"][0]["amount"], 7)  # the catalog is whole

    def test_the_first_inbox_page_is_cached_until_removed(self):
        first = self.page()
        self.assertEqual(len(first["list"]), 6)
        with open(self.cache()) as f:
            self.assertEqual(json.load(f), first["list"])
        self.calls(clear=True)
        # A mail backed up later does not show while the cache stands, and no mail is analysed.
        test_account_browse.write_catalogs(self.root, task=self.task, user=USER,
                                           gmail=[catalog_row("late", None, {})])
        self.addCleanup(self.remove_row, "late")
        self.assertEqual(self.page(), dict(first, total=8))
        self.assertEqual(self.calls("emlsift"), [])
        # Other pages neither read nor write it.
        with open(self.cache(), "w") as f:
            json.dump([{"localid": "from-cache"}], f)
        for params in (dict(limit=29), dict(start=1), dict(key_word="a"), dict(folder="Sent")):
            with self.subTest(params=params):
                self.assertNotIn({"localid": "from-cache"}, self.page(**params)["list"])
        self.assertEqual(self.page()["list"], [{"localid": "from-cache"}])
        # Not JSON: the page is built again and the cache rewritten.
        with open(self.cache(), "w") as f:
            f.write("{broken")
        self.assertEqual(self.page()["list"], first["list"])
        with open(self.cache()) as f:
            self.assertEqual(json.load(f), first["list"])
        self.assertEqual([n for n in os.listdir(os.path.dirname(self.cache())) if "tmp" in n], [])
        self.assertEqual(os.listdir(self.path("usr/local/tmp")), [])

    def remove_row(self, localid):
        import sqlite3
        with sqlite3.connect(self.path(BACKUP, "gmail_db", self.task, USER + ".db")) as db:
            db.execute("DELETE FROM gmail_sql_database WHERE drive_localid = ?", (localid,))

    def test_no_cache_without_a_store_folder_or_while_a_writer_holds_the_lock(self):
        other = "never@example.test"
        self.assertEqual(self.call("list_gmail_local_backup", domain_user_email=other, gmail_name="Inbox",
                                   start=0, limit=30), {"success": True, "list": [], "total": 0})
        self.assertFalse(os.path.exists(self.path(BACKUP, "gmail_db", self.task, other + ".cache")))
        self.hold_writer_lock()
        self.assertEqual(self.call("gmail_list"), {"success": True})
        self.assertEqual(len(self.page()["list"]), 6)
        self.assertFalse(os.path.exists(self.cache()))

    def test_an_empty_inbox_is_cached_as_an_empty_list(self):
        other = "empty@example.test"
        os.makedirs(self.path(BACKUP, "gmail", self.task, other))
        os.makedirs(self.path(BACKUP, "gmail_db", self.task), exist_ok=True)
        reply = self.call("list_gmail_local_backup", domain_user_email=other, gmail_name="Inbox", start=0, limit=30)
        self.assertEqual(reply, {"success": True, "list": [], "total": 0})
        with open(self.path(BACKUP, "gmail_db", self.task, other + ".cache")) as f:
            self.assertEqual(json.load(f), [])

    def test_a_stored_mail_is_analysed_once(self):
        self.drop_summaries()
        self.calls(clear=True)
        first = self.page(limit=10)
        self.assertEqual(len(self.calls("emlsift", clear=True)), 2 * 6)
        self.assertTrue(os.path.exists(self.summaries()))
        # Again, through another page, the search and the cache-less first page: nothing is analysed.
        self.assertEqual(self.page(limit=10), first)
        self.assertEqual(len(self.call("gmail_advanced_search", sender_key_word="")["list"]), 6)
        self.assertEqual(self.page(folder="Sent")["list"], [self.expected("m3")])
        self.assertEqual(self.calls("emlsift", clear=True), [])
        # A file that changed is analysed afresh, the others are not.
        m5 = os.path.join(self.store, "m5")
        with open(m5) as f:
            text = f.read()
        self.addCleanup(self.rewrite, m5, text)
        self.rewrite(m5, text.replace("Win now", "Win later"))
        reply = self.page(limit=10)
        self.assertEqual([m["subject"] for m in reply["list"] if m["localid"] == "m5"], ["Win later"])
        self.assertEqual({c["argv"][c["argv"].index("-i") + 1] for c in self.calls("emlsift")}, {m5})
        # A lost store only costs the analysis again.
        with open(self.summaries(), "w") as f:
            f.write("not a database")
        self.assertEqual(self.page(limit=10), reply)

    @staticmethod
    def rewrite(path, text):
        with open(path, "w") as f:
            f.write(text)

    def test_search(self):
        def search(**params):
            reply = self.call("gmail_advanced_search", **params)
            self.assertEqual(reply["total"], len(reply["list"]))
            return reply["list"]

        # The search keeps the quotes of a display name.
        self.assertEqual(search(sender_key_word="Doe"), [self.expected("m1", quotes_removed=False)])
        self.assertEqual([m["localid"] for m in search(recipient_key_word="Smith")], ["m2"])
        self.assertEqual([m["localid"] for m in search(subject_key_word="100%")], ["m3"])
        self.assertEqual([m["localid"] for m in search(subject_key_word="' OR 1=1 --")], [])
        self.assertEqual([m["localid"] for m in search(has_attachment="true")], ["m3", "m2"])
        self.assertEqual([m["localid"] for m in search(has_attachment="false", sender_key_word="Me")], ["m4"])
        early, late = date_of(DATES[1]), date_of(DATES[3])
        self.assertEqual([m["localid"] for m in search(date_range_early=early, date_range_late=late)],
                         ["m4", "m3", "m2"])
        self.assertEqual(search(), [])
        # Every mail, the missing one left out.
        self.assertEqual(len(search(sender_key_word="")), 6)

    def test_request_errors(self):
        for params, code, name in [
            (dict(gmail_name=None), 5303, "gmail_name"),
            (dict(start=None), 5303, "start"),
            (dict(start="1x"), 5303, "start"),
            (dict(limit=-1), 5302, "limit"),
            (dict(domain_user_email=None), 5303, "domain_user_email"),
            (dict(task_id=None), 5303, "task_id"),
            (dict(task_id="0" * 36), 5302, "task_id"),
        ]:
            with self.subTest(params=params):
                query = dict(act="list_gmail_local_backup", task_id=self.task, domain_user_email=USER,
                             gmail_name="Sent", start=0, limit=5)
                query.update(params)
                self.assertError(self.request({k: v for k, v in query.items() if v is not None}), code, name)
        self.assertError(self.call("gmail_advanced_search", domain_user_email="never@example.test"), 5302,
                         "domain_user_email")
        self.assertError(self.request({"act": "gmail_advanced_search", "task_id": self.task}), 5303,
                         "domain_user_email")
        self.assertError(self.request({"act": "gmail_list", "task_id": self.task}), 5303, "domain_user_email")

    def test_hostile_names_and_ids(self):
        before = self.tree()
        for name in test_account_browse.HOSTILE_NAMES + ["../" + USER]:
            for act in ("gmail_list", "list_gmail_local_backup", "gmail_advanced_search"):
                with self.subTest(act=act, name=name):
                    reply = self.call(act, domain_user_email=name, gmail_name="Inbox", start=0, limit=30,
                                      sender_key_word="a")
                    self.assertError(reply, 5302, "domain_user_email")
        for task in test_account_browse.HOSTILE_TASKS:
            for act in ("gmail_list", "list_gmail_local_backup", "gmail_advanced_search"):
                with self.subTest(act=act, task=task):
                    reply = self.call(act, task_id=task, gmail_name="Inbox", start=0, limit=30)
                    self.assertError(reply, 5302, "task_id")
        self.assertEqual(self.tree(), before)
        # A local id with shell text reaches emlsift whole, inside one argument: the shell ran no part of it.
        self.drop_summaries()
        self.calls(clear=True)
        self.assertIn(HOSTILE_ID, [m["localid"] for m in self.page(limit=1)["list"]])
        paths = [c["argv"][c["argv"].index("-i") + 1] for c in self.calls("emlsift")]
        self.assertEqual(paths, [os.path.join(self.store, HOSTILE_ID)] * 2)


class SimulatedMailbox(qlmtest.BrowseAsserts, test_tasks.TaskCase):
    """The simulated domain's mailbox of alice, stored as the Gmail backup stores it (one EML file per
    message under a fresh local id, a catalog row with its label flags); what the browse answers is
    compared with what the mailbox holds, read here by Python's own mail parser."""

    USER = "alice@example.test"
    FLAGS = {"STARRED": "starred", "IMPORTANT": "important", "SENT": "sent", "DRAFT": "drafts", "TRASH": "trash"}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.task = cls().new_task()
        box = cls.path("var/lib/gwssim/users", cls.USER)
        with open(os.path.join(box, "mail.json")) as f:
            messages = json.load(f)["messages"]
        cls.store = cls.path(BACKUP, "gmail", cls.task, cls.USER)
        os.makedirs(cls.store)
        cls.mails, rows = {}, []
        for i, m in enumerate(messages):
            localid = "local-%03d" % i
            shutil.copyfile(os.path.join(box, "eml", m["id"]), os.path.join(cls.store, localid))
            with open(os.path.join(cls.store, localid), "rb") as f:
                parsed = email.message_from_binary_file(f, policy=email.policy.default)
            cls.mails[localid] = (parsed, m["labelIds"])
            row = {"localid": localid, "gmail_id": m["id"], "subject": str(parsed["Subject"] or ""),
                   "timestamp": m["internalDate"] // 1000}
            row.update({flag: 1 for label, flag in cls.FLAGS.items() if label in m["labelIds"]})
            rows.append(row)
        test_account_browse.write_catalogs(cls.root, task=cls.task, user=cls.USER, gmail=rows)

    def call(self, act, **params):
        return self.request(dict(dict(act=act, task_id=self.task, domain_user_email=self.USER), **params))

    @staticmethod
    def split(header):
        """Name and address as the list shows them: the name without its quotes."""
        text = str(header or "")
        if "<" in text and ">" in text.split("<", 1)[1]:
            name, addr = text.split("<", 1)
            return name.strip().strip('"'), addr.split(">", 1)[0].strip()
        return text.strip(), text.strip()

    def expected(self, localid):
        parsed, _ = self.mails[localid]
        sender, sender_mail = self.split(parsed["From"])
        recipient, recipient_mail = self.split(parsed["To"])
        date = email.utils.parsedate_to_datetime(parsed["Date"]).timestamp() if parsed["Date"] else -1
        return {"localid": localid, "sender": sender, "sender_mail": sender_mail, "recipient": recipient,
                "recipient_mail": recipient_mail, "subject": str(parsed["Subject"] or ""), "date": int(date),
                "size": os.path.getsize(os.path.join(self.store, localid)),
                "attachment": sum(1 for part in parsed.walk() if part.get_filename())}

    def test_counts_and_pages_match_the_mailbox(self):
        counts = {name: sum(1 for _, labels in self.mails.values() if label in labels)
                  for name, label in [("Starred", "STARRED"), ("Important", "IMPORTANT"), ("Sent", "SENT"),
                                      ("Drafts", "DRAFT"), ("Trash", "TRASH")]}
        counts["Inbox"] = len(self.mails)
        self.assertEqual(self.call("gmail_list")["list"], [{"name": n, "amount": counts[n]} for n in FOLDERS])
        newest_first = sorted(self.mails, reverse=True)
        reply = self.call("list_gmail_local_backup", gmail_name="Inbox", start=0, limit=30)
        self.assertEqual(reply["total"], len(self.mails))
        self.assertEqual(reply["list"], [self.expected(m) for m in newest_first[:30]])
        for folder, label in [("Starred", "STARRED"), ("Sent", "SENT"), ("Trash", "TRASH")]:
            with self.subTest(folder=folder):
                page = self.call("list_gmail_local_backup", gmail_name=folder, start=0, limit=100)
                self.assertEqual([m["localid"] for m in page["list"]],
                                 [m for m in newest_first if label in self.mails[m][1]])

    def test_each_mail_views_with_its_headers_and_attachments(self):
        for localid, (parsed, _) in sorted(self.mails.items()):
            with self.subTest(localid=localid):
                reply = self.call("gmail_single_info", gmail_localid=localid)
                self.assertEqual(reply["header"]["Subject"][0], str(parsed["Subject"]))
                self.assertEqual(reply["header"]["sender_mail"], self.expected(localid)["sender_mail"])
                self.assertEqual([a["filename"] for a in reply["attachments"]],
                                 [part.get_filename() for part in parsed.walk() if part.get_filename()])
                has_html = any(part.get_content_type() == "text/html" and not part.get_filename()
                               for part in parsed.walk())
                self.assertEqual("This email has no body content." in reply["body"]["html"], not has_html)


HOSTILE_HTML = ('<p onclick="alert(1)">Dear admin</p><script>alert(2)</script>'
                '<img src="https://evil.test/pixel.gif" alt="pixel"><a href="javascript:alert(3)">go</a>'
                '<iframe src="https://evil.test/"></iframe><div style="background:url(https://evil.test/x)">s</div>'
                '<img alt="bad.png" src="cid:bad">')


class MailView(MailCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with open(os.path.join(cls.store, "hostile"), "w") as f:
            f.write(multipart("X <x@evil.test>", "Me <me@example.test>", "Hostile", DATES[0], [
                html_part(HOSTILE_HTML),
                file_part("bad.png", "image/png", 'QUJD" onerror="alert(4)'),
            ]))
        os.mkdir(os.path.join(cls.store, "a-folder"))
        os.symlink("/etc/passwd", os.path.join(cls.store, "a-link"))

    def view(self, localid, **params):
        return self.call("gmail_single_info", gmail_localid=localid, **params)

    def test_a_plain_text_mail_shows_the_placeholder(self):
        reply = self.view("m1")
        self.assertEqual(list(reply), ["success", "header", "body", "attachments"])
        header = reply["header"]
        self.assertEqual(header["From"], ['"Doe, Jane" <jane@example.test>'])
        self.assertEqual(header["Subject"], ["Plain hello"])
        self.assertEqual((header["date"], header["sender"], header["sender_mail"]),
                         (date_of(DATES[0]), "Doe, Jane", "jane@example.test"))
        self.assertEqual((header["recipient"], header["recipient_mail"]), ('["Bob"]', '["bob@example.test"]'))
        self.assertTrue(reply["body"]["html"].endswith("This email has no body content.</div>"), reply["body"])
        self.assertIn("System message", reply["body"]["html"])
        self.assertEqual(reply["body"]["text"], "Hello there.\r\n")
        self.assertEqual(reply["attachments"], [])

    def test_an_html_mail_with_an_inline_image_and_attachments(self):
        reply = self.view("m2")
        html = reply["body"]["html"]
        self.assertIn('<img alt="logo.png" src="data:image/jpeg;base64,%s">' % PNG, html)
        # An alt text naming nothing in the mail keeps no source that the browser would fetch.
        self.assertIn('<img alt="nothing.png">', html)
        self.assertEqual(reply["header"]["recipient"], '["Smith, Al"]')
        self.assertEqual([(a["filename"], a["disposition"]) for a in reply["attachments"]],
                         [("logo.png", "inline"), ("inv.pdf", "attachment")])
        self.assertEqual(len(self.view("m3")["attachments"]), 2)

    def test_a_hostile_mail_is_shown_inert(self):
        html = self.view("hostile")["body"]["html"]
        self.assertIn("Dear admin", html)
        # Its "base64" part would close the attribute: it is not embedded.
        self.assertIn('<img alt="bad.png">', html)
        for active in ("<script", "onclick", "onerror", "javascript:", "<iframe", "url(", "evil.test"):
            self.assertNotIn(active, html.lower())

    def test_errors(self):
        for localid, code in [("../m1", 5302), ("a/b", 5302), ("..", 5302), ("", 5302), ("missing", 5052),
                              ("a-folder", 5052), ("a-link", 5052), ("m'$(touch x)", 5052)]:
            with self.subTest(localid=localid):
                self.assertError(self.view(localid), code, "gmail_localid")
        self.assertError(self.call("gmail_single_info"), 5303, "gmail_localid")
        self.assertError(self.view("m1", domain_user_email="never@example.test"), 5302, "domain_user_email")
        self.assertError(self.view("m1", domain_user_email="../" + USER), 5302, "domain_user_email")
        self.assertError(self.view("m1", task_id="0" * 36), 5302, "task_id")
        self.assertError(self.request({"act": "gmail_single_info", "task_id": self.task, "gmail_localid": "m1"}),
                         5303, "domain_user_email")
        # A store folder without a readable catalog.
        os.makedirs(self.path(BACKUP, "gmail", self.task, "nocat@example.test"), exist_ok=True)
        self.assertError(self.view("m1", domain_user_email="nocat@example.test"), 5302, "domain_user_email")
        self.assertEqual(os.listdir(self.path("usr/local/tmp")), [])


def wrapped(data):
    """base64 of data in lines of 76 characters, as mailers write it."""
    text = base64.b64encode(data).decode()
    return "\r\n".join(text[i:i + 76] for i in range(0, len(text), 76))


# HTML shapes any sender can write that make an HTML parser's work grow faster than the mail:
# local id, body, and what the view must still show of it.
HOSTILE_SHAPES = [
    ("nested-div", "<div>" * 200000 + "deep text" + "</div>" * 200000, "deep text"),
    ("unclosed-i", "<i>x" * 500000 + "the end", "the end"),
    ("tiny-tags", "<b></b>" * 1500000 + "after the tags", "after the tags"),
]


class HeavyMails(MailCase):
    """Small mails built to make the view's work grow far past their size: one 250 KiB image named by
    4 000 tags, 4 000 images each named by its own tag, and the HTML shapes of HOSTILE_SHAPES. Each
    must answer under an address-space limit of four times its size plus 64 MB above what the
    smallest mail needs; the shapes also within a CPU time that a view linear in the mail's size
    passes many times over (the view once took minutes on them)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        many = multipart("X <x@example.test>", "Me <me@example.test>", "One image, many tags", DATES[0], [
            html_part('<p>%s</p>' % ('<img alt="a.png" src="cid:a">' * 4000)),
            file_part("a.png", "image/png", wrapped(os.urandom(250 * 1024)), "inline")])
        cls.own = [wrapped(os.urandom(1000 + i % 300)) for i in range(4000)]
        distinct = multipart("X <x@example.test>", "Me <me@example.test>", "Many images", DATES[0], [
            html_part("<p>%s</p>" % "".join('<img alt="i%d.png" src="cid:%d">' % (i, i) for i in range(4000)))] +
            [file_part("i%d.png" % i, "image/png", data, "inline") for i, data in enumerate(cls.own)])
        shapes = [(localid, multipart("X <x@example.test>", "Me <me@example.test>", localid, DATES[0],
                                      [html_part(html)])) for localid, html, _ in HOSTILE_SHAPES]
        for localid, text in [("many-tags", many), ("many-images", distinct)] + shapes:
            with open(os.path.join(cls.store, localid), "w") as f:
                f.write(text)

    def view(self, localid, limit, cpu_seconds=None):
        status, _, body = self.run_cgi(dict(act="gmail_single_info", task_id=self.task, domain_user_email=USER,
                                            gmail_localid=localid), sid=self.sid, address_space=limit,
                                       cpu_seconds=cpu_seconds)
        return status, body

    def least_address_space(self):
        """The smallest limit, to 4 MiB, under which the view of a small mail with an image answers."""
        low, high = 0, 1 << 30
        self.assertEqual(self.view("m2", high)[0], 0)
        while high - low > 4 << 20:
            mid = (low + high) // 2
            status, body = self.view("m2", mid)
            ok = status == 0 and body.startswith(b'{ "success": true,')
            low, high = (low, mid) if ok else (mid, high)
        return high

    @staticmethod
    def sanitized():
        """A sanitizer build reserves more address space than any limit here allows."""
        cache = os.path.join(qlmtest.BINARY_DIR, "CMakeCache.txt")
        if not os.path.exists(cache):
            return False
        with open(cache) as f:
            return "QLM_SANITIZE:BOOL=ON" in f.read()

    def test_views_stay_within_their_memory_bound(self):
        if self.sanitized():
            self.skipTest("a sanitizer build reserves more address space than any limit here allows")
        base = self.least_address_space()
        for localid in ("many-tags", "many-images"):
            size = os.path.getsize(os.path.join(self.store, localid))
            with self.subTest(localid=localid, size=size):
                status, body = self.view(localid, base + 4 * size + (64 << 20))
                self.assertEqual(status, 0, body[-300:])
                html = self.json_body(body)["body"]["html"]
                embedded = sum(len(part.split('"', 1)[0]) for part in html.split('src="data:image/jpeg;base64,')[1:])
                self.assertLessEqual(embedded, 2 * size)
                if localid == "many-tags":
                    # Past the budget an image shows its alt text, as a remote one does.
                    self.assertGreater(embedded, 0)
                    self.assertIn('<img alt="a.png"></p>', html)
                else:
                    # Each image is its own part's, all of them within the budget.
                    for i in (0, 1, 2345, 3999):
                        self.assertIn('<img alt="i%d.png" src="data:image/jpeg;base64,%s">'
                                      % (i, self.own[i].replace("\r\n", "")), html)
                    self.assertEqual(html.count("data:image/jpeg;base64,"), 4000)

    def test_hostile_html_shapes_cost_no_more_than_their_size(self):
        sanitized = self.sanitized()
        base = None if sanitized else self.least_address_space()
        for localid, _, shown in HOSTILE_SHAPES:
            size = os.path.getsize(os.path.join(self.store, localid))
            with self.subTest(localid=localid, size=size):
                status, body = self.view(localid, None if sanitized else base + 4 * size + (64 << 20),
                                         cpu_seconds=30)
                self.assertEqual(status, 0, body[-300:])
                html = self.json_body(body)["body"]["html"]
                self.assertIn(shown, html)
                # Whatever the view leaves out, the page says so.
                if localid != "tiny-tags":
                    self.assertIn("nested too deeply", html)


def hostile_pages(base):
    """Mail bodies that try to run script or make the browser fetch from base; every attempt
    asks for a path of its own, and every script also marks the page's title."""
    run = "new Image().src='%s/ran-%%s';document.title='RAN'" % base
    return [
        '<script>%s</script><p>text</p>' % (run % "script"),
        '<img src="x" onerror="%s"><body onload="%s">' % (run % "onerror", run % "onload"),
        '<svg onload="%s"><image href="%s/svg-image"/></svg>' % (run % "svg", base),
        '<iframe src="javascript:parent.%s"></iframe><iframe src="%s/iframe"></iframe>' % (run % "jsurl", base),
        '<a id="l" href="javascript:%s">x</a><details open ontoggle="%s">d</details>' % (run % "href", run % "toggle"),
        '<img src="%s/img"><img srcset="%s/srcset 1x"><video poster="%s/poster"></video>' % (base, base, base),
        '<link rel="stylesheet" href="%s/link.css"><style>@import "%s/import.css";</style>' % (base, base),
        '<div style="background:url(%s/style-url)">b</div><table background="%s/bg"><tr><td>t</td></tr></table>'
        % (base, base),
        '<base href="%s/base/"><img src="relative.png"><object data="%s/object"></object><embed src="%s/embed">'
        % (base, base, base),
        '<meta http-equiv="refresh" content="0;url=%s/refresh"><form action="%s/form"><input type="image" '
        'src="%s/input"></form>' % (base, base, base),
        '<math><mtext><table><mglyph><style><img src=x onerror="%s">' % (run % "mxss"),
        '<noscript><p title="</noscript><img src=x onerror=%s>"></noscript>' % (run % "noscript").replace(" ", ""),
    ]


class Requests(http.server.BaseHTTPRequestHandler):
    seen = []

    def do_GET(self):
        Requests.seen.append(self.path)
        self.send_response(404)
        self.end_headers()

    def log_message(self, *args):
        pass


CHROMIUM = shutil.which("chromium-headless-shell") or shutil.which("chromium")


@unittest.skipUnless(CHROMIUM, "headless Chromium is not installed (scripts/deps installs it)")
class RenderedInABrowser(MailCase):
    """The mail view's HTML of hostile mails, rendered by headless Chromium next to a listener
    on 127.0.0.1: nothing may reach the listener and no script may run."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Requests)
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()
        cls.base = "http://127.0.0.1:%d" % cls.server.server_address[1]
        cls.pages = hostile_pages(cls.base)
        for i, html in enumerate(cls.pages):
            with open(os.path.join(cls.store, "hostile-%d" % i), "w") as f:
                f.write(multipart("X <x@evil.test>", "Me <me@example.test>", "Hostile %d" % i, DATES[0],
                                  [html_part(html)]))

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        cls.server.server_close()
        super().tearDownClass()

    def render(self, html):
        """(requests the page made, the page's title) after Chromium loaded it."""
        Requests.seen.clear()
        work = tempfile.mkdtemp(prefix="qlm-render-")
        try:
            page = os.path.join(work, "view.html")
            with open(page, "w") as f:
                f.write("<!doctype html><html><head><meta charset=\"utf-8\"><title>view</title></head><body>%s"
                        "</body></html>" % html)
            r = subprocess.run([CHROMIUM, "--no-sandbox", "--disable-gpu", "--dump-dom", "--virtual-time-budget=3000",
                                "--user-data-dir=" + os.path.join(work, "profile"), "file://" + page],
                               capture_output=True, timeout=120)
            dom = r.stdout.decode(errors="replace")
        finally:
            shutil.rmtree(work, ignore_errors=True)
        title = dom.split("<title>", 1)[1].split("</title>", 1)[0] if "<title>" in dom else ""
        return list(Requests.seen), title

    def test_no_script_runs_and_no_request_leaves_the_page(self):
        raw_active = []
        for i, page in enumerate(self.pages):
            with self.subTest(page=page):
                raw_active.append(self.render(page))
                html = self.call("gmail_single_info", gmail_localid="hostile-%d" % i)["body"]["html"]
                self.assertEqual(self.render(html), ([], "view"), html)
        # The harness sees what the raw mails do, so its silence above means something.
        self.assertIn("RAN", [title for _, title in raw_active])
        self.assertTrue(any(p.startswith("/img") for requests, _ in raw_active for p in requests), raw_active)

if __name__ == "__main__":
    unittest.main()
