#!/usr/bin/env python3
"""Mail view benchmark: the peak memory and CPU time of one gmail_single_info request through
orvenna.cgi, beside the mail's size and the bound of four times that size plus 64 MB. The mails are
the ones built to make the view grow: one image named by thousands of tags, thousands of images each
named by its own tag, a 50 MB mail whose large image is named by a thousand tags, and HTML shapes that
make an HTML parser's work grow faster than the mail (nested <div>, unclosed <i>, millions of tiny
tags) at 2, 5 and 20 MB. Baseline of the
same run: the three emlsift runs the view makes, alone, one after another (their highest peak and
their CPU time together). Run by hand after a build:

    python3 bench/mail_view_bench.py [--runs 3]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import browse_bench  # noqa: E402
import mail_bench  # noqa: E402
import test_mail_browse as mails  # noqa: E402

USER = "bench.user@example.test"


def mail(subject, html, parts):
    return mails.multipart("X <x@example.test>", "Me <%s>" % USER, subject, mails.DATES[0],
                           [mails.html_part(html)] + [mails.file_part(n, "image/png", mails.wrapped(d), "inline")
                                                      for n, d in parts])


def shapes():
    """HTML bodies of about the given size in bytes that once cost the view minutes or gigabytes."""
    def nested(size):
        n = size // 11
        return "<div>" * n + "deep" + "</div>" * n

    return [("nested div", nested), ("unclosed i", lambda size: "<i>x" * (size // 4)),
            ("tiny tags", lambda size: "<b></b>" * (size // 7))]


def cases():
    small = os.urandom(2000)
    image = os.urandom(250 * 1024)
    own = [os.urandom(1000 + i % 300) for i in range(4000)]
    big = os.urandom(20 << 20)
    return [
        ("plain, one image", mail("Plain", '<p>Hi <img alt="s.png" src="cid:s"></p>', [("s.png", small)])),
        ("1 image, 4000 tags", mail("Tags", '<img alt="a.png" src="cid:a">' * 4000, [("a.png", image)])),
        ("4000 images", mail("Images", "".join('<img alt="i%d.png" src="cid:%d">' % (i, i) for i in range(4000)),
                             [("i%d.png" % i, d) for i, d in enumerate(own)])),
        ("50 MB, 1000 tags", mail("Large", '<img alt="b.png" src="cid:b">' * 1000,
                                  [("b.png", big), ("filler.bin", os.urandom(16 << 20))])),
    ] + [("%s, %d MB" % (label, mb), mail(label, html(mb * 1000000), []))
         for label, html in shapes() for mb in (2, 5, 20)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    browse_bench.Setup.setUpClass()
    out_dir = tempfile.mkdtemp(prefix="qlm-bench-out-")
    try:
        s = browse_bench.Setup()
        task, store = mail_bench.new_mailbox(s, USER)
        emlsift = s.path(browse_bench.qlmtest.APP, "bin", "emlsift")
        reply = os.path.join(out_dir, "reply")
        print("%-20s %9s %9s %9s %9s %10s %10s %11s" % ("mail", "size MB", "peak MB", "bound MB", "cpu s",
                                                        "base peak", "base cpu s", "reply MB"))
        for n, (label, text) in enumerate(cases()):
            localid = "bench-%d" % n
            path = os.path.join(store, localid)
            with open(path, "w") as f:
                f.write(text)
            size = os.path.getsize(path)
            env = s.env(GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD="GET", HTTP_COOKIE="NAS_SID=" + s.sid,
                        QUERY_STRING=urllib.parse.urlencode(dict(act="gmail_single_info", task_id=task,
                                                                 domain_user_email=USER, gmail_localid=localid)))
            _, cpu, peak, reply_size = browse_bench.measure([s.cgi_path], env, reply, args.runs)
            with open(reply, "rb") as f:
                if b'"success": true' not in f.read(200):
                    raise RuntimeError("%s: the view failed" % label)
            base_peak, base_cpu = 0, 0.0
            for option in ("--header", "--html", "--a"):
                _, c, p, _ = browse_bench.measure([emlsift, "-i", path, "--format", "json", option], s.env(),
                                                  os.path.join(out_dir, "tool"), args.runs)
                base_peak, base_cpu = max(base_peak, p), base_cpu + c
            print("%-20s %9.2f %9.1f %9.1f %9.2f %10.1f %10.2f %11.2f"
                  % (label, size / 1e6, peak / 1024, (4 * size + (64 << 20)) / 1e6, cpu, base_peak / 1024, base_cpu,
                     reply_size / 1e6))
            os.unlink(path)
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)
        browse_bench.Setup.tearDownClass()


if __name__ == "__main__":
    main()
