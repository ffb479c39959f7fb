"""Shared fixture of the end-to-end suites: a freshly staged NAS root per test class,
the CGI program run as the web server runs it, and a real lighttpd in front of it."""

import contextlib
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.parse

SOURCE_DIR = os.environ.get("QLM_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BINARY_DIR = os.environ.get("QLM_BINARY_DIR", os.path.join(SOURCE_DIR, "build"))
APP = "usr/local/Kivora/quillmere"


def stage_root(extra_env=None):
    root = tempfile.mkdtemp(prefix="qlm-e2e-")
    env = dict(os.environ)
    env.update(extra_env or {})
    subprocess.run([os.path.join(SOURCE_DIR, "scripts", "stage-root"), root, BINARY_DIR],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    return root


def split_response(raw):
    """Splits a CGI response at the first blank line into (header text, body bytes)."""
    for sep in (b"\r\n\r\n", b"\n\n"):
        i = raw.find(sep)
        if i >= 0:
            return raw[:i].decode("latin-1"), raw[i + len(sep):]
    return None, raw


class RootCase(unittest.TestCase):
    """A test class with its own NAS root, an administrator and a signed-in session."""

    root = None

    @classmethod
    def setUpClass(cls):
        cls.root = stage_root()
        cls.sid = cls.nasctl("login", "admin", "admin").strip()

    @classmethod
    def tearDownClass(cls):
        if cls.root and not os.environ.get("QLM_KEEP_ROOT"):
            shutil.rmtree(cls.root, ignore_errors=True)

    @classmethod
    def guest_session(cls):
        """A signed-in session of a NAS user who may not use this app."""
        cls.nasctl("useradd", "guest", "guestpw", "--apps", "otherApp")
        return cls.nasctl("login", "guest", "guestpw").strip()

    @classmethod
    def env(cls, **extra):
        env = {"PATH": "/usr/bin:/bin", "QLM_ROOT": cls.root}
        env.update(extra)
        return env

    @classmethod
    def path(cls, *parts):
        return os.path.join(cls.root, *parts)

    @classmethod
    def nasctl(cls, *args, check=True):
        r = subprocess.run([cls.path("usr/local/bin/nasctl"), *args], env=cls.env(),
                           capture_output=True, text=True)
        if check and r.returncode != 0:
            raise AssertionError("nasctl %s failed: %s" % (args, r.stderr))
        return r.stdout

    @property
    def cgi_path(self):
        return self.path(APP, "webman", "orvenna.cgi")

    def run_cgi(self, params=None, sid="", method="GET", body=b"", content_type=None, args=None, extra_env=None,
                address_space=None, file_size=None, cpu_seconds=None):
        """Runs orvenna.cgi once as a web server would; returns (exit status, header, body).
        address_space: a limit in bytes on the program's address space (and its tools').
        file_size: a limit in bytes on the files it writes (and its worker's), with SIGXFSZ ignored: a
        write past it fails with EFBIG, as a write into a full share fails.
        cpu_seconds: a limit on the program's CPU time (a program past it is killed)."""
        query = urllib.parse.urlencode(params or {})
        env = self.env(GATEWAY_INTERFACE="CGI/1.1", REQUEST_METHOD=method, QUERY_STRING=query,
                       SERVER_PROTOCOL="HTTP/1.1", SCRIPT_NAME="/orvenna.cgi")
        if sid:
            env["HTTP_COOKIE"] = "NAS_SID=" + sid
        if method == "POST":
            env["CONTENT_LENGTH"] = str(len(body))
            env["CONTENT_TYPE"] = content_type or "application/x-www-form-urlencoded"
        env.update(extra_env or {})  # last, so a test can set what a web server would (a wrong length, a clock)
        def limit():
            import resource
            import signal
            if address_space is not None:
                resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
            if file_size is not None:
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size, file_size))
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            if cpu_seconds is not None:
                resource.setrlimit(resource.RLIMIT_CPU, (cpu_seconds, cpu_seconds))
        r = subprocess.run([self.cgi_path] + list(args or []), env=env, input=body, capture_output=True, timeout=120,
                           preexec_fn=limit)
        header, out = split_response(r.stdout)
        return r.returncode, header, out

    @contextlib.contextmanager
    def small_share(self, size):
        """A share "Small" of its own tmpfs of that size, as a real full share fails (ENOSPC); None
        where no tmpfs can be mounted."""
        folder = self.path("shares", "Small")
        os.makedirs(folder, exist_ok=True)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs", folder],
                          stderr=subprocess.DEVNULL).returncode != 0:
            yield None
            return
        try:
            self.nasctl("share", "add", "Small", folder, check=False)
            yield folder
        finally:
            subprocess.run(["umount", folder], check=True)

    def json_body(self, body):
        """The body must be exactly one JSON object on one line."""
        text = body.decode()
        self.assertTrue(text.endswith("\n"), text)
        self.assertEqual(text.count("\n"), 1, text)
        return json.loads(text)


class BrowseAsserts:
    """What the read-only suites check: the error reply, and that a request left no file behind."""

    def assertError(self, reply, code, name):
        self.assertEqual(reply, {"success": False, "error_code": code, "error_msg": name})

    def tree(self):
        """Every path under the root, except the simulated domain's own files (its call log)."""
        out = set()
        for folder, dirs, files in os.walk(self.root):
            rel = os.path.relpath(folder, self.root)
            if rel.startswith("var/lib/gwssim"):
                continue
            out.update(os.path.join(rel, n) for n in dirs + files)
        return out


FOLDER_MIME = "application/vnd.google-apps.folder"
# Google editor files are backed up as their OpenDocument export, and downloaded and exported under
# their name with the matching extension.
OPEN_DOCUMENT = {"application/vnd.google-apps.document": ".odt", "application/vnd.google-apps.spreadsheet": ".ods",
                 "application/vnd.google-apps.presentation": ".odp"}


def with_open_document_extension(name, mime):
    """The name a downloaded or exported Drive file gets: an editor file's extension added unless
    the name already ends with it (in any letter case)."""
    ext = OPEN_DOCUMENT.get(mime)
    return name + ext if ext and not name.lower().endswith(ext) else name


def plant_drive_items(sim_user_dir, items):
    """Adds (id, name, parent or None for the root, content or None for a folder) items to a simulated
    user's Drive, owned by that user, each file's content in its blob."""
    import hashlib
    path = os.path.join(sim_user_dir, "drive.json")
    with open(path) as f:
        drive = json.load(f)
    owner = os.path.basename(sim_user_dir.rstrip("/"))
    for iid, name, parent, data in items:
        entry = {"id": iid, "name": name, "parent": parent or drive["root_id"], "owner": owner,
                 "createdTime": "2024-01-01T00:00:00.000Z", "modifiedTime": "2024-01-02T00:00:00.000Z",
                 "mimeType": FOLDER_MIME if data is None else "text/plain"}
        if data is not None:
            entry.update(md5=hashlib.md5(data).hexdigest(), size=len(data), has_blob=True)
            with open(os.path.join(sim_user_dir, "blobs", iid), "wb") as f:
                f.write(data)
        drive["items"].append(entry)
    with open(path, "w") as f:
        json.dump(drive, f)


def hold_lock(case, lock, *flock_args):
    """flock(1) holding lock until the test case ends; returns once it holds it."""
    proc = subprocess.Popen(["flock", *flock_args, lock, "sh", "-c", "echo held; read x"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    case.addCleanup(proc.wait)
    case.addCleanup(proc.stdout.close)
    case.addCleanup(proc.stdin.close)
    case.assertEqual(proc.stdout.readline(), b"held\n")
    return proc


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Lighttpd:
    """lighttpd on 127.0.0.1 serving the root's webman folder through mod_cgi."""

    def __init__(self, root):
        self.root = root
        self.port = free_port()
        self.dir = tempfile.mkdtemp(prefix="qlm-httpd-")
        self.proc = None

    def start(self):
        # The free port may be taken by another suite before lighttpd binds it: try a fresh one.
        for attempt in range(5):
            try:
                return self._start_once()
            except RuntimeError:
                if attempt == 4:
                    raise
                self.port = free_port()

    def _start_once(self):
        conf = os.path.join(self.dir, "lighttpd.conf")
        with open(conf, "w") as f:
            f.write("""
server.modules = ("mod_cgi", "mod_setenv")
server.document-root = "%(doc)s"
server.bind = "127.0.0.1"
server.port = %(port)d
server.errorlog = "%(dir)s/error.log"
server.pid-file = "%(dir)s/lighttpd.pid"
server.upload-dirs = ("%(dir)s")
cgi.assign = (".cgi" => "")
setenv.add-environment = ("QLM_ROOT" => "%(root)s")
""" % {"doc": os.path.join(self.root, APP, "webman"), "port": self.port, "dir": self.dir, "root": self.root})
        binary = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
        self.proc = subprocess.Popen([binary, "-D", "-f", conf], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("lighttpd ended: %s" % self.proc.stderr.read().decode())
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    return self
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("lighttpd did not start listening")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def url(self, query=""):
        return "http://127.0.0.1:%d/orvenna.cgi%s" % (self.port, ("?" + query) if query else "")

    def curl(self, query="", cookie=None, data=None):
        """Returns (HTTP status, response header text, body bytes)."""
        return self.curl_args(query, cookie, [] if data is None else ["--data-binary", data])

    def curl_args(self, query="", cookie=None, args=()):
        """curl with further arguments (a form upload: "-F", "key=@FILE"); as curl()."""
        cmd = ["curl", "-s", "-i", "--max-time", "60"]
        if cookie:
            cmd += ["--cookie", cookie]
        cmd += list(args)
        cmd.append(self.url(query))
        raw = subprocess.run(cmd, capture_output=True, check=True).stdout
        header, body = split_response(raw)
        # curl prints the interim "100 Continue" response of an upload first.
        while header is not None and header.startswith("HTTP/1.1 100"):
            header, body = split_response(body)
        status = int(header.split("\r\n", 1)[0].split()[1])
        return status, header, body


def multipart_body(fields=(), files=(), boundary="----qlmFormBoundary7MA4YWxkTrZu0gW"):
    """A multipart/form-data body as a browser sends it: fields (name, value) first, then files
    (name, filename, bytes). Returns (body bytes, Content-Type)."""
    out = b""
    for name, value in fields:
        out += b"--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n" % (
            boundary.encode(), name.encode(), value.encode())
    for name, filename, data in files:
        out += (b"--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
                b"Content-Type: application/json\r\n\r\n" % (boundary.encode(), name.encode(), filename.encode()))
        out += data + b"\r\n"
    out += b"--%s--\r\n" % boundary.encode()
    return out, "multipart/form-data; boundary=" + boundary


class GwssimMixin:
    """The simulated domain of a RootCase: keys, fault rules and the tools' call log."""

    @classmethod
    def gwssim(cls, *args, check=True):
        r = subprocess.run([cls.path("usr/local/bin/gwssim"), args[0], cls.path("var/lib/gwssim"), *args[1:]],
                           env=cls.env(), capture_output=True)
        if check and r.returncode != 0:
            raise AssertionError("gwssim %s failed: %s" % (args, r.stderr.decode()))
        return r.stdout

    @classmethod
    def make_key(cls, grant="drive,gmail,calendar,contacts", *extra):
        """The bytes of a new service-account key with the given grants."""
        return cls.gwssim("key", "--grant", grant, *extra)

    @classmethod
    def calls(cls, tool=None, clear=False):
        """The tools' calls since the last clear (dicts with tool, argv, exit, ...)."""
        # An argument of bytes that are no UTF-8 is logged as it was: keep them (as surrogates).
        out = [json.loads(line) for line in cls.gwssim("calls").decode("utf-8", "surrogateescape").splitlines()
               if line.strip()]
        if clear:
            cls.gwssim("calls", "--clear")
        return [c for c in out if tool is None or c["tool"] == tool]

    @classmethod
    def fault(cls, tool, match, action, *extra):
        cls.gwssim("fault", "add", "--tool", tool, "--match", match, "--action", action, *extra)

    @classmethod
    def clear_faults(cls):
        cls.gwssim("fault", "clear")


class WithoutFileRights:
    """A mixin for suites that need a store file the system may not read: the tests run as root,
    which reads any file, so while `without_file_rights` is set the CGI program (and the worker it
    forks) runs without the capabilities that pass over file modes."""

    without_file_rights = False

    @property
    def cgi_path(self):
        real = super().cgi_path
        if not self.without_file_rights:
            return real
        wrapper = self.path("cgi_without_file_rights")
        if not os.path.exists(wrapper):
            with open(wrapper, "w") as f:
                f.write('#!/bin/sh\nexec setpriv --bounding-set -dac_override,-dac_read_search "%s" "$@"\n' % real)
            os.chmod(wrapper, 0o755)
        return wrapper

    @contextlib.contextmanager
    def unreadable(self, path):
        """The file at path is unreadable to the CGI program while the block runs."""
        mode = os.stat(path).st_mode
        os.chmod(path, 0)
        self.without_file_rights = True
        try:
            yield
        finally:
            self.without_file_rights = False
            os.chmod(path, mode)
