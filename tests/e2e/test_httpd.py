"""orvenna.cgi behind a real lighttpd on 127.0.0.1, reached with curl as the browser would."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402


class ThroughLighttpd(qlmtest.RootCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.guest_sid = cls.guest_session()
        cls.httpd = qlmtest.Lighttpd(cls.root).start()

    @classmethod
    def tearDownClass(cls):
        cls.httpd.stop()
        super().tearDownClass()

    def get(self, query="", sid=None, data=None):
        status, header, body = self.httpd.curl(query, cookie=("NAS_SID=" + sid) if sid else None, data=data)
        self.assertEqual(status, 200, header)
        self.assertIn("content-type: application/json; charset=utf-8", header.lower())
        return body.decode()

    def test_replies(self):
        cases = [
            ("", None, '{ "success": false, "error_code": 5301, "error_msg": "Unexpected action request" }\n'),
            ("act=list_task", None, '{ "success": false, "error_code": 5000 }\n'),
            ("act=list_task", "guest", '{ "success": false, "error_code": 5053 }\n'),
            ("act=no_such_act", "admin", '{ "success": false, "error_code": 5302, "error_msg": "act" }\n'),
            ("act=save_log", None, '{ "success": false, "error_code": 5000 }\n'),
            ("act=export_drive", None, '{ "success": false, "error_code": 5000 }\n'),
        ]
        sids = {None: None, "guest": self.guest_sid, "admin": self.sid}
        for query, who, expected in cases:
            with self.subTest(query=query, who=who):
                self.assertEqual(self.get(query, sids[who]), expected)

    def test_query_words_do_not_reach_backup_mode(self):
        mid, tid = "0f0e0d0c-0b0a-4909-8807-060504030201", "11111111-2222-4333-8444-555555555555"
        body = self.get("-backup+%s+%s+1+1+1+1+1" % (mid, tid))
        self.assertIn('"error_code": 5301', body)
        self.assertFalse(os.path.exists(self.path(qlmtest.APP, "database/gws/conf/mission", mid)))

    def test_post_body(self):
        self.assertEqual(self.get("", self.sid, data="act=no_such_act"),
                         '{ "success": false, "error_code": 5302, "error_msg": "act" }\n')


if __name__ == "__main__":
    unittest.main()
