#!/usr/bin/python3
"""Builds the .deb and the bundle's .tar.gz of a build folder with cpack (into a temporary folder)
and checks what they hold: the bundle's files and nothing else of the build, the control fields,
the maintainer scripts, the desktop entry and the polkit action. Exit status 77: cannot run here."""

import argparse
import os
import shutil
import stat
import struct
import subprocess
import sys
import tarfile
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

ARGS = None
BUNDLE_ROOT = "/opt/portweaver"
DESKTOP_ENTRY = "usr/share/applications/com.kelvaro.portweaver.controlapp.desktop"
ICON = "usr/share/icons/hicolor/scalable/apps/com.kelvaro.portweaver.controlapp.svg"
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
PNG_ICONS = ["usr/share/icons/hicolor/%dx%d/apps/com.kelvaro.portweaver.controlapp.png" % (s, s) for s in ICON_SIZES]
POLICY = "usr/share/polkit-1/actions/com.kelvaro.portweaver.policy"
HELPER = "libexec/portweaver-root-helper"


def bundle_files(bundle):
    """Relative paths of the bundle's files and folders."""
    found = set()
    for folder, dirs, files in os.walk(bundle):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(folder, name), bundle))
    return found


def cpack(generator, out):
    result = subprocess.run(["cpack", "-G", generator, "--config", os.path.join(ARGS.build_dir, "CPackConfig.cmake"),
                             "-B", out], capture_output=True, text=True, timeout=100)
    if result.returncode != 0:
        raise AssertionError("cpack -G %s failed:\n%s%s" % (generator, result.stdout, result.stderr))
    suffix = ".deb" if generator == "DEB" else ".tar.gz"
    made = [name for name in os.listdir(out) if name.endswith(suffix)]
    if len(made) != 1:
        raise AssertionError("cpack -G %s made %s" % (generator, made))
    return os.path.join(out, made[0])


def dpkg_deb(*args):
    return subprocess.run(["dpkg-deb"] + list(args), check=True, capture_output=True, text=True).stdout


class Deb(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="kl-packaging-")
        cls.deb = cpack("DEB", os.path.join(cls.work, "out"))
        cls.tree = os.path.join(cls.work, "tree")
        dpkg_deb("-x", cls.deb, cls.tree)
        cls.control = os.path.join(cls.work, "control")
        dpkg_deb("-e", cls.deb, cls.control)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def field(self, name):
        return dpkg_deb("-f", self.deb, name).strip()

    def test_file_name_and_fields(self):
        self.assertEqual(os.path.basename(self.deb), "portweaver_%s_amd64.deb" % ARGS.version)
        self.assertEqual(self.field("Package"), "portweaver")
        self.assertEqual(self.field("Version"), ARGS.version)
        self.assertTrue(self.field("Maintainer"))
        depends = [d.strip().split(" ")[0] for d in self.field("Depends").split(",")]
        for needed in ("pkexec", "avahi-daemon"):
            self.assertIn(needed, depends)
        # Only dpkg-shlibdeps adds these: the libraries the bundle's programs link.
        for needed in ("libc6", "libqt6widgets6"):
            self.assertIn(needed, depends)

    def test_holds_the_bundle_and_the_desktop_files_only(self):
        packaged = set()
        for folder, dirs, files in os.walk(self.tree):
            for name in files + [d for d in dirs if os.path.islink(os.path.join(folder, d))]:
                packaged.add(os.path.relpath(os.path.join(folder, name), self.tree))
        bundle = {"opt/portweaver/" + p for p in bundle_files(ARGS.bundle)
                  if not os.path.isdir(os.path.join(ARGS.bundle, p))}
        self.assertEqual(packaged, bundle | {"usr/bin/portweaver", DESKTOP_ENTRY, ICON, POLICY} | set(PNG_ICONS))
        for program in ("bin/portweaver", HELPER, "libexec/com.kelvaro.portweaver.daemon",
                        "libexec/com.kelvaro.portweaver.service.deskgate"):
            path = os.path.join(self.tree, "opt/portweaver", program)
            self.assertTrue(os.stat(path).st_mode & stat.S_IXOTH, program)
        # Nothing that root owns is writable by others.
        listing = dpkg_deb("-c", self.deb).splitlines()
        for line in listing:
            mode, owner = line.split()[0], line.split()[1]
            self.assertEqual(owner, "root/root", line)
            if not mode.startswith("l"):
                self.assertNotEqual(mode[8], "w", line)

    def test_command_is_a_link_into_the_bundle(self):
        link = os.path.join(self.tree, "usr/bin/portweaver")
        self.assertTrue(os.path.islink(link))
        self.assertEqual(os.readlink(link), BUNDLE_ROOT + "/bin/portweaver")

    def test_desktop_entry_and_icon(self):
        if shutil.which("desktop-file-validate"):
            result = subprocess.run(["desktop-file-validate", os.path.join(self.tree, DESKTOP_ENTRY)],
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        with open(os.path.join(self.tree, DESKTOP_ENTRY)) as f:
            entry = dict(line.strip().split("=", 1) for line in f if "=" in line)
        self.assertEqual(entry["Exec"], "portweaver")
        self.assertEqual(os.path.splitext(os.path.basename(ICON))[0], entry["Icon"])
        ElementTree.parse(os.path.join(self.tree, ICON))
        for size, path in zip(ICON_SIZES, PNG_ICONS):
            with open(os.path.join(self.tree, path), "rb") as f:
                head = f.read(24)
            self.assertEqual(head[:8], b"\x89PNG\r\n\x1a\n", path)
            self.assertEqual(struct.unpack(">II", head[16:24]), (size, size), path)

    def test_polkit_action_names_the_packaged_helper(self):
        actions = ElementTree.parse(os.path.join(self.tree, POLICY)).getroot().findall("action")
        self.assertEqual(len(actions), 1)
        paths = [a.text for a in actions[0].findall("annotate") if a.get("key") == "org.freedesktop.policykit.exec.path"]
        self.assertEqual(paths, [BUNDLE_ROOT + "/" + HELPER])
        self.assertTrue(os.path.isfile(os.path.join(self.tree, paths[0].lstrip("/"))))
        self.assertEqual(actions[0].find("defaults/allow_active").text, "auth_admin_keep")

    def test_maintainer_scripts(self):
        for script in ("postinst", "prerm"):
            path = os.path.join(self.control, script)
            self.assertTrue(os.path.isfile(path), script)
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o755, script)
            result = subprocess.run(["sh", "-n", path], capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stderr)
            if shutil.which("shellcheck"):
                result = subprocess.run(["shellcheck", "-s", "sh", "-S", "warning", path], capture_output=True,
                                        text=True)
                self.assertEqual(result.returncode, 0, result.stdout)
            with open(path) as f:
                text = f.read()
            self.assertNotIn("@", text, script + " has an unreplaced variable")
            self.assertIn(BUNDLE_ROOT, text)
        with open(os.path.join(self.control, "postinst")) as f:
            self.assertIn("install-daemon", f.read())
        with open(os.path.join(self.control, "prerm")) as f:
            self.assertIn(ARGS.program_dir + "/com.kelvaro.portweaver.daemon", f.read())


class BundleArchive(unittest.TestCase):
    def test_holds_the_bundle_folder_alone(self):
        work = tempfile.mkdtemp(prefix="kl-packaging-")
        try:
            archive = cpack("TGZ", work)
            with tarfile.open(archive) as tar:
                members = {m.name.rstrip("/") for m in tar.getmembers()}
                modes = {m.name: m.mode for m in tar.getmembers()}
        finally:
            shutil.rmtree(work, ignore_errors=True)
        members.discard("PortWeaver")
        self.assertEqual(members, {"PortWeaver/" + p for p in bundle_files(ARGS.bundle)})
        self.assertTrue(modes["PortWeaver/bin/portweaver"] & stat.S_IXUSR)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--build-dir", "--bundle", "--version", "--program-dir"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    for tool in ("cpack", "dpkg-deb", "dpkg-shlibdeps"):
        if not shutil.which(tool):
            print("skipped: %s is not installed" % tool)
            return 77
    if not os.path.isfile(os.path.join(ARGS.bundle, "bin", "portweaver")):
        print("skipped: the bundle is not built (target portweaver-bundle)")
        return 77
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
