"""The entry point of orvenna.cgi as the web server and the scheduler daemon run it."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402

HEADER = "Content-Type: application/json; charset=UTF-8"
MID = "0f0e0d0c-0b0a-4909-8807-060504030201"
TID = "11111111-2222-4333-8444-555555555555"


class CgiEntry(qlmtest.RootCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.guest_sid = cls.guest_session()

    def assertReply(self, result, expected_body):
        status, header, body = result
        self.assertEqual(header, HEADER)
        self.assertEqual(body.decode(), expected_body)

    def test_no_act_answers_before_any_session_check(self):
        expected = '{ "success": false, "error_code": 5301, "error_msg": "Unexpected action request" }\n'
        for params in ({}, {"task_id": TID}):
            self.assertReply(self.run_cgi(params), expected)

    def test_session_failures_are_the_only_reply(self):
        invalid = '{ "success": false, "error_code": 5000 }\n'
        refused = '{ "success": false, "error_code": 5053 }\n'
        cases = [
            ({"act": "no_such_act"}, "", invalid),
            ({"act": "no_such_act"}, "not-a-session", invalid),
            ({"act": "no_such_act"}, "A" * 32, invalid),
            ({"act": "no_such_act"}, self.guest_sid, refused),
            ({"act": "list_task"}, self.guest_sid, refused),
            # A streaming action gets its header printed for the session reply.
            ({"act": "save_log"}, "", invalid),
            ({"act": "export_eml"}, self.guest_sid, refused),
        ]
        for params, sid, expected in cases:
            with self.subTest(params=params, sid=sid[:8]):
                self.assertReply(self.run_cgi(params, sid=sid), expected)

    def test_unknown_or_unbuilt_act_after_a_valid_session(self):
        expected = '{ "success": false, "error_code": 5302, "error_msg": "act" }\n'
        for act in ("", "AUTH", "auth ", "no_such_act"):
            with self.subTest(act=act):
                self.assertReply(self.run_cgi({"act": act}, sid=self.sid), expected)

    def test_act_from_query_string_and_post_body(self):
        expected = '{ "success": false, "error_code": 5302, "error_msg": "act" }\n'
        self.assertReply(self.run_cgi({}, sid=self.sid, method="POST", body=b"act=no_such_act"), expected)
        # The first occurrence wins, the query string before the body.
        status, header, body = self.run_cgi({"act": "no_such_act"}, sid="", method="POST", body=b"act=x")
        self.assertEqual(body.decode(), '{ "success": false, "error_code": 5000 }\n')

    def test_backup_words_in_a_web_request_never_start_a_backup(self):
        # Under CGI the command line is ignored, whatever it holds.
        status, header, body = self.run_cgi({}, args=["-backup", MID, TID, "1", "1", "1", "1", "1"])
        self.assertEqual(header, HEADER)
        self.assertIn('"error_code": 5301', body.decode())
        self.assertFalse(os.path.exists(self.path(qlmtest.APP, "database/gws/conf/mission", MID)))


class BackupModeCommandLine(qlmtest.RootCase):

    def run_backup(self, *args):
        return subprocess.run([self.cgi_path, *args], env=self.env(), capture_output=True, text=True, timeout=120)

    def test_bad_lines_stop_before_any_backup(self):
        cases = [
            (["-backup", MID, TID, "1", "0", "0", "1", "x"], "bad service switch 'x'"),
            (["-backup", MID, TID, "1", "0", "0", "1", "1x"], "bad service switch '1x'"),
            (["-backup", MID, TID, "", "0", "0", "1", "0"], "bad service switch ''"),
            (["-backup", MID, TID, "99999999999", "0", "0", "1", "0"], "bad service switch"),
            (["-backup", "../../../../etc/x", TID, "1", "0", "0", "1", "0"], "bad mission id"),
            (["-backup", MID, "../" + TID, "1", "0", "0", "1", "0"], "bad task id"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = self.run_backup(*args)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(r.stdout, "")
                self.assertIn(message, r.stderr)

    def test_other_lines_run_cgi_mode(self):
        for args in (["-backup", MID, TID, "1", "0", "0", "1"],
                     ["-backup", MID, TID, "1", "0", "0", "1", "0", "0"],
                     ["-restore", MID, TID, "1", "0", "0", "1", "0"]):
            with self.subTest(args=args):
                r = subprocess.run([self.cgi_path, *args], env=self.env(), capture_output=True, timeout=60)
                header, body = qlmtest.split_response(r.stdout)
                self.assertEqual(header, HEADER)
                self.assertIn(b'"error_code": 5301', body)

    def test_well_formed_line_ends_with_status_zero(self):
        r = self.run_backup("-backup", MID, TID, "1", "0", "0", "1", "0")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, "")


if __name__ == "__main__":
    unittest.main()
