#!/usr/bin/env python3
"""Links planted in the driver tree before an install step runs as root.

lp owns bin/usb/config and bin/net/config, and the lpadmin group may write bin/net/config,
so either may replace a state file by a symlink or a hard link to some other file before
the next install or upgrade. The install steps (the package's postinst, the CMake install)
must leave that other file as it was: owner, group, mode, content and link count. The
planted links point at files this test owns, never at a system file.

    staterights_test.py installtree INSTALLTREE.cmake ZLP-STATE-RIGHTS
        runs the CMake install step into a staging folder (as root)
    staterights_test.py postinst POSTINST
        runs postinst configure on the tree installed in /opt (inside tests/sandbox/sandbox.sh)
"""
import grp
import os
import pwd
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

ZLP = "/opt/varn/ZLP5520NW"
MODE, ARGS = sys.argv[1], sys.argv[2:]
del sys.argv[1:]

LP = pwd.getpwnam("lp")
LPADMIN = grp.getgrnam("lpadmin").gr_gid


def facts(path):
    """What an install step must not change about a victim."""
    st = os.lstat(path)
    with open(path, "rb") as f:
        content = f.read()
    return (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode), st.st_nlink, content)


def rights(path):
    st = os.lstat(path)
    return (stat.S_IFMT(st.st_mode), st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode), st.st_nlink)


class Planted(unittest.TestCase):
    """One case per way in; `tree` is where the install step lays /opt/varn/ZLP5520NW."""
    tree = None

    def setUp(self):
        # The test's own files, in a folder only root can reach.
        # On the tree's own file system, so that a hard link can reach these files.
        self.work = tempfile.mkdtemp(prefix="staterights.", dir=self.scratch)
        os.chmod(self.work, 0o755)  # lp plants its link in a tree below
        self.addCleanup(shutil.rmtree, self.work, True)
        self.prepare()
        self.install()  # a first install: the tree as an upgrade finds it

    def victim(self, name, content=b"not the driver's\n"):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(content)
        os.chmod(path, 0o600)
        return path

    def at(self, relative):
        return os.path.join(self.tree, relative)

    def plant_symlink(self, relative, target, as_lp=False):
        path = self.at(relative)
        os.remove(path)
        if as_lp:  # the folder's owner does it, as an attacker would
            out = subprocess.run(["runuser", "-u", "lp", "--", "ln", "-s", target, path],
                                 capture_output=True, text=True)
            self.assertEqual(out.returncode, 0, out.stderr)
        else:
            os.symlink(target, path)

    def plant_hardlink(self, relative, target):
        # As root: lp itself could where fs.protected_hardlinks is 0, or with a file it may
        # read and write.
        path = self.at(relative)
        os.remove(path)
        os.link(target, path)

    def check_settled(self, relative, owner, group, mode):
        self.assertEqual(rights(self.at(relative)), (stat.S_IFREG, owner, group, mode, 1),
                         relative)

    def test_symlinks_to_files_are_replaced_not_followed(self):
        address, log = self.victim("address"), self.victim("log")
        before = facts(address), facts(log)
        self.plant_symlink("bin/net/config/netIpInfo", address, as_lp=True)
        self.plant_symlink("bin/net/print_log", log)
        self.install()
        self.assertEqual((facts(address), facts(log)), before)
        self.check_settled("bin/net/config/netIpInfo", 0, LPADMIN, 0o664)
        self.check_settled("bin/net/print_log", LP.pw_uid, LPADMIN, 0o640)

    def test_a_dangling_symlink_creates_nothing(self):
        ghost = os.path.join(self.work, "ghost")
        self.plant_symlink("bin/net/config/netIpInfo", ghost, as_lp=True)
        self.install()
        self.assertFalse(os.path.lexists(ghost))
        self.check_settled("bin/net/config/netIpInfo", 0, LPADMIN, 0o664)

    def test_hard_links_are_replaced_not_chowned(self):
        address, log = self.victim("address"), self.victim("log")
        before = facts(address), facts(log)
        self.plant_hardlink("bin/net/config/netIpInfo", address)
        self.plant_hardlink("bin/usb/print_log", log)
        self.install()
        # Its own name is all that links to it again.
        self.assertEqual((facts(address), facts(log)), before)
        self.check_settled("bin/net/config/netIpInfo", 0, LPADMIN, 0o664)
        self.check_settled("bin/usb/print_log", LP.pw_uid, LPADMIN, 0o640)

    def test_a_fifo_is_replaced_without_a_hang(self):
        path = self.at("bin/net/config/netIpInfo")
        os.remove(path)
        os.mkfifo(path)
        self.install(timeout=30)
        self.check_settled("bin/net/config/netIpInfo", 0, LPADMIN, 0o664)

    def test_a_folder_replaced_by_a_link_is_made_again(self):
        elsewhere = os.path.join(self.work, "elsewhere")
        os.mkdir(elsewhere, 0o700)
        config = self.at("bin/usb/config")
        shutil.rmtree(config)
        os.symlink(elsewhere, config)
        self.install()
        st = os.stat(elsewhere)
        self.assertEqual((st.st_uid, stat.S_IMODE(st.st_mode)), (0, 0o700))
        self.assertEqual(rights(config), (stat.S_IFDIR, LP.pw_uid, LP.pw_gid, 0o755, 2))

    def test_plain_files_keep_their_content_and_get_their_rights(self):
        # What an ordinary upgrade finds: a log of jobs, an address a member of lpadmin wrote
        # by rename (so owned by that member), both with an older install's modes.
        log, address = self.at("bin/usb/print_log"), self.at("bin/net/config/netIpInfo")
        with open(log, "w") as f:
            f.write("任务ID：7\n")
        os.chmod(log, 0o644)
        os.remove(address)
        with open(address, "w") as f:
            f.write("192.168.1.20")
        os.chown(address, LP.pw_uid, LP.pw_gid)
        self.install()
        with open(log) as f:
            self.assertEqual(f.read(), "任务ID：7\n")
        with open(address) as f:
            self.assertEqual(f.read(), "192.168.1.20")
        self.check_settled("bin/usb/print_log", LP.pw_uid, LPADMIN, 0o640)
        self.check_settled("bin/net/config/netIpInfo", 0, LPADMIN, 0o664)
        self.assertEqual(rights(self.at("bin/net/config"))[:4],
                         (stat.S_IFDIR, LP.pw_uid, LPADMIN, 0o2775))


class InstallTree(Planted):
    """packaging/installtree.cmake, as `cmake --install` runs it, into a staging folder."""
    scratch = "/var/tmp"

    def prepare(self):
        self.stage = tempfile.mkdtemp(prefix="stage.", dir=self.work)
        os.chmod(self.stage, 0o755)
        self.tree = self.stage + ZLP

    def install(self, timeout=60):
        out = subprocess.run(["cmake", f"-DZLP_PREFIX={ZLP}", "-DZLP_INSTALL_RUNTIME_STATE=ON",
                              f"-DZLP_STATE_RIGHTS={ARGS[1]}", "-P", ARGS[0]],
                             env=dict(os.environ, DESTDIR=self.stage), capture_output=True,
                             text=True, timeout=timeout)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)


class Postinst(Planted):
    """debian/postinst configure on the tree the sandbox installed in /opt."""
    scratch = "/opt"  # the sandbox's

    def prepare(self):
        self.assertTrue(os.environ.get("ZLP_IN_SANDBOX"), "runs in tests/sandbox/sandbox.sh")
        self.tree = ZLP

    def install(self, timeout=60):
        out = subprocess.run(["sh", ARGS[0], "configure", "1.0"], capture_output=True,
                             text=True, timeout=timeout)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)


if __name__ == "__main__":
    if os.geteuid() != 0:
        sys.exit("staterights_test.py gives files to lp: run it as root")
    chosen = {"installtree": InstallTree, "postinst": Postinst}[MODE]
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(chosen)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
