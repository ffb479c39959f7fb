"""The README holds: its shell blocks run as shown, the files it names exist, the actions it names answer."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import qlmtest  # noqa: E402

README = os.path.join(qlmtest.SOURCE_DIR, "README.md")
# Commands the README shows that this suite must not start again: the test command itself, and the
# set-up and fuzzing steps that CI runs on their own. Their scripts must exist all the same.
NOT_RUN_HERE = ("scripts/test", "scripts/deps", "scripts/build", "scripts/fuzz")
# Lower-case words in backquotes that are not actions: parameters, keys, files and commands.
NOT_ACTIONS = {
    "act", "orvenna_cgi", "qlm_deamon", "stubtest", "gam", "scoutix", "lettrix", "tallyx", "emlsift",
    "gwssim", "nasctl", "admin", "dump", "key", "fault", "calls", "nas_path", "task_id", "success",
    "backup_scheduling_enable", "quillmere_log_datebase.db", "sa", "conf", "history_mission",
    "scheduling_mission", "mimetype", "localfile", "emlfile", "charset", "latin1", "utf-8",
    "unreachable", "conn", "select", "orphans", "index", "bin", "sudo", "bench", "id", "name", "position",
}


def readme():
    with open(README, encoding="utf-8") as f:
        return f.read()


def shell_blocks(text):
    return re.findall(r"^```sh\n(.*?)^```$", text, re.S | re.M)


def backquoted(text):
    return re.findall(r"`([^`\n]+)`", text)


class ReadmeHolds(qlmtest.RootCase):

    def test_it_points_to_nothing_outside_the_repository(self):
        # A user has the repository alone: the team's own notes beside it are not his to read.
        self.assertNotRegex(readme(), r"\.\./|/work/")

    def test_the_files_and_folders_it_names_exist(self):
        text = readme()
        names = set()
        for quoted in backquoted(text):
            names.update(w for w in quoted.split() if re.match(r"(src|standins|tests|bench|scripts|include)/", w))
        # The layout block names folders at the start of its lines.
        names.update(re.findall(r"^    ((?:src|standins|tests|bench|scripts|include)/[\w/.]*)", text, re.M))
        for block in shell_blocks(text):
            names.update(re.findall(r"(?:^|\s)((?:scripts|bench)/[\w.-]+)", block))
        self.assertTrue(names)
        for name in sorted(names):
            path = name.split("<")[0].rstrip("/")  # a placeholder ends the fixed part of a path
            with self.subTest(name=name):
                self.assertTrue(os.path.exists(os.path.join(qlmtest.SOURCE_DIR, path)), name)

    def test_the_actions_it_names_answer(self):
        with open(os.path.join(qlmtest.SOURCE_DIR, "src", "orvenna_cgi", "actions.cpp"), encoding="utf-8") as f:
            table = set(re.findall(r'^\s*\{"(\w+)",', f.read(), re.M))
        self.assertEqual(len(table), 57)
        named = {w for w in backquoted(readme()) if re.fullmatch(r"[a-z][a-z0-9_]*", w)} - NOT_ACTIONS
        self.assertTrue(named)
        for act in sorted(named):
            with self.subTest(act=act):
                self.assertIn(act, table, "the README names an action that does not exist")
                _, _, body = self.run_cgi({"act": act}, sid=self.sid)
                self.assertNotIn(b'"error_msg": "act"', body)

    def test_its_shell_blocks_run_as_shown(self):
        """Runs the blocks in order in a folder of their own: the demo makes ./demo-root there."""
        default_build = os.path.join(qlmtest.SOURCE_DIR, "build")
        if os.path.realpath(qlmtest.BINARY_DIR) != os.path.realpath(default_build):
            self.skipTest("the demo builds into build/; another build is under test")
        work = tempfile.mkdtemp(prefix="qlm-readme-")
        self.addCleanup(shutil.rmtree, work, True)
        os.symlink(os.path.join(qlmtest.SOURCE_DIR, "scripts"), os.path.join(work, "scripts"))
        blocks = shell_blocks(readme())
        self.assertGreaterEqual(len(blocks), 4)
        ran_demo = False
        for block in blocks:
            lines = []
            for line in block.splitlines():
                command = line.split("#")[0].strip()
                first = command.split()[0] if command else ""
                if first in NOT_RUN_HERE:
                    self.assertTrue(os.access(os.path.join(qlmtest.SOURCE_DIR, first), os.X_OK), first)
                    continue
                if first == "scripts/demo":
                    # The demo into this folder's ./demo-root, from the source tree as a user runs it.
                    line = "%s %s" % (os.path.join(qlmtest.SOURCE_DIR, first), os.path.join(work, "demo-root"))
                    ran_demo = True
                lines.append(line)
            if not lines:
                continue
            r = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", "\n".join(lines)], cwd=work,
                               capture_output=True, text=True, timeout=600,
                               env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": work,
                                    "QLM_BUILD_DIR": qlmtest.BINARY_DIR})
            with self.subTest(block=block.strip().splitlines()[0]):
                self.assertEqual(r.returncode, 0, "stdout:\n%s\nstderr:\n%s" % (r.stdout[-3000:], r.stderr[-3000:]))
        self.assertTrue(ran_demo)


if __name__ == "__main__":
    unittest.main()
