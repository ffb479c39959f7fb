"""Mails whose head or attached mails GMime alone reads differently from the common readers, planted
in a mail store and viewed and downloaded through orvenna.cgi: the view shows the headers Python's
email package reads, and an attached mail downloads as the file holds it."""

import email
import email.parser
import email.policy
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402
import test_account_browse  # noqa: E402
import test_mail_browse  # noqa: E402
import test_tasks  # noqa: E402

USER = "shapes.view@example.test"
BACKUP = test_account_browse.BACKUP
REST = (b"From: Ann <ann@example.test>\r\nTo: Bob <bob@example.test>\r\nSubject: Read anyway\r\n"
        b"Date: Mon, 4 Mar 2024 10:00:00 +0100\r\nContent-Type: text/html\r\n\r\n<p>Shown.</p>\r\n")
BOM = b"\xef\xbb\xbf"
MBOX = b"From - Mon Mar  4 10:00:00 2024\r\n"
# An attached mail GMime would write anew: an mbox line, a header without a blank after its colon,
# a folded header with trailing blanks, mixed line ends, 8-bit text, a preamble and an epilogue.
ODD_INNER = (b"From someone@example.org Mon Mar  4 10:00:00 2024\r\nSubject:odd inner\nX-Folded: a\n\tb  \n"
             b"from:   lower@example.org\r\nContent-Type: multipart/mixed; boundary=\"I\"\n\npreamble\n--I\n"
             b"Content-Type: text/plain\n\n\xe9t\xe9\n--I--\nepilogue \n")
SECOND = b"From: b@example.test\r\nSubject:  second\r\n\r\nsecond body"
HEAD = b"From: List <list@example.test>\r\nTo: Bob <bob@example.test>\r\nDate: Mon, 4 Mar 2024 10:00:00 +0100\r\n"

# (local id, EML bytes, text a reader decodes the bytes with, attached mails as the file holds them)
SHAPES = [
    ("continuation-first", b" X-Odd: continues nothing\r\n" + REST, "ascii", []),
    ("two-continuations", b"\tone\r\n two\r\n" + REST, "ascii", []),
    ("mark-and-mbox", BOM + MBOX + REST, "utf-8-sig", []),
    ("mark-mbox-continuation", BOM + MBOX + b"  odd\r\n" + REST, "utf-8-sig", []),
    ("digest", HEAD + b"Subject: digest\r\nMIME-Version: 1.0\r\nContent-Type: multipart/digest; boundary=\"d\"\r\n"
     b"\r\n--d\r\n\r\n" + ODD_INNER + b"\r\n--d\r\n\r\n" + SECOND + b"\r\n--d--\r\n", "ascii", [ODD_INNER, SECOND]),
    ("whole-body", HEAD + b"Subject: whole\r\nContent-Type: message/rfc822\r\n\r\n" + ODD_INNER, "ascii",
     [ODD_INNER]),
    ("marked-whole-body", BOM + HEAD + b"Subject: whole\r\nContent-Type: message/rfc822\r\n\r\n" + ODD_INNER,
     "utf-8-sig", [ODD_INNER]),
]


def reader_headers(eml, encoding):
    """The headers Python's email package reads, from the text a reader decodes the file into."""
    msg = email.parser.Parser(policy=email.policy.compat32).parsestr(eml.decode(encoding, "surrogateescape"))
    return dict(msg.items())


class MailViewShapes(qlmtest.BrowseAsserts, test_tasks.TaskCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.task = cls().new_task()
        store = cls.path(BACKUP, "gmail", cls.task, USER)
        os.makedirs(store)
        rows = []
        for localid, eml, _, _ in SHAPES:
            with open(os.path.join(store, localid), "wb") as f:
                f.write(eml)
            rows.append(dict(localid=localid, gmail_id="g-" + localid, sender_name="Ann",
                             sender_mail="ann@example.test", recipient_name="Bob", recipient_mail="bob@example.test",
                             subject=localid, date="Mon, 4 Mar 2024 10:00:00 +0100",
                             timestamp=test_mail_browse.date_of("Mon, 4 Mar 2024 10:00:00 +0100")))
        test_account_browse.write_catalogs(cls.root, task=cls.task, user=USER, gmail=rows)

    def call(self, act, **params):
        return self.request(dict(dict(act=act, task_id=self.task, domain_user_email=USER), **params))

    def test_the_view_shows_the_headers_a_common_reader_reads(self):
        for localid, eml, encoding, _ in SHAPES:
            with self.subTest(shape=localid):
                reply = self.call("gmail_single_info", gmail_localid=localid)
                self.assertTrue(reply.get("success"), reply)
                want = reader_headers(eml, encoding)
                self.assertTrue(want, "the reader finds headers")
                for key in ("Subject", "From", "To"):
                    self.assertEqual(reply["header"][key], [want[key]], key)
                if "html" in eml.decode("latin-1"):
                    self.assertIn("Shown.", reply["body"]["html"])

    def test_an_attached_mail_downloads_as_the_file_holds_it(self):
        for localid, _, _, inner in SHAPES:
            if not inner:
                continue
            with self.subTest(shape=localid):
                reply = self.call("gmail_single_info", gmail_localid=localid)
                self.assertEqual(len(reply["attachments"]), len(inner), reply)
                for index, want in enumerate(inner):
                    status, header, body = self.run_cgi(
                        {"act": "download_attachment", "task_id": self.task, "domain_user_email": USER,
                         "gmail_localid": localid, "index": str(index)}, sid=self.sid)
                    self.assertEqual(status, 0)
                    self.assertIn("Content-Disposition", header, body[:300])
                    self.assertEqual(body, want)


if __name__ == "__main__":
    unittest.main()
