#!/usr/bin/python3
"""(app_update) The control app updates its bundle from a signed appcast, on a machine of its own
(root, private mount, network and process namespaces, scratch folders over the places the daemon
is installed to, no systemd), on Xvfb, driven through its UI probe. An HTTP stand-in serves the
feed and a tarball of the bundle with a raised revision (Info.plist edited, the daemon's
".kl_info_plist" section replaced with objcopy), signed with a key made for the run whose public
half the installed bundle carries.
1. The app installs its daemon, finds the update and shows its entry and the Install dialog.
2. A tampered tarball (its digest announced, its signature not matching) is refused: the bundle,
   the daemon and the screen service stay as they were.
3. With the real tarball (offered again from the status entry): the screen service is stopped, the
   daemon gets request 8 (it removes its installed program and ends), the bundle is swapped, the
   app relaunches from the new bundle and installs the new daemon, which checks in with the raised
   revision; reading the same feed, the updated app offers nothing more."""

import base64
import glob
import hashlib
import http.server
import os
import re
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
from app_desktop import (DAEMON_NAME, SCREEN_SERVICE_NAME, Probe, app_environment, build_program,  # noqa: E402
                         check_in, edit_info, make_bundle, probe_answers, processes_running, read_info,
                         run_in_namespaces, wait, window_texts)

NAME = "(app_update) signed update of the bundle"
INSTALLED_DAEMON = "/usr/libexec/portweaver/" + DAEMON_NAME
UPDATE_ENTRY = "There is a new update available"


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def make_signing_key(workdir):
    """A fresh Ed25519 key: its PEM file and the public key as the bundle carries it."""
    key = os.path.join(workdir, "update-key.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", key], check=True, capture_output=True)
    der = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"], check=True,
                         capture_output=True).stdout
    return key, base64.b64encode(der[-32:]).decode() + "\n"


def sign(key, path):
    return subprocess.run(["openssl", "pkeyutl", "-sign", "-rawin", "-inkey", key, "-in", path], check=True,
                          capture_output=True).stdout


def raise_daemon_revision(daemon, workdir, old, new):
    """Replaces the daemon's embedded information list with one naming revision new (same length)."""
    section = os.path.join(workdir, "kl_info_plist")
    subprocess.run(["objcopy", "--dump-section", ".kl_info_plist=" + section, daemon], check=True,
                   capture_output=True)
    with open(section, "rb") as f:
        data = f.read()
    pattern = rb"(<key>CFBundleVersion</key>\s*<string>)" + old.encode() + rb"(</string>)"
    raised, count = re.subn(pattern, rb"\g<1>" + new.encode() + rb"\g<2>", data)
    if count != 1 or len(raised) != len(data):
        raise RuntimeError("the daemon's section does not name revision %s once" % old)
    with open(section, "wb") as f:
        f.write(raised)
    subprocess.run(["objcopy", "--update-section", ".kl_info_plist=" + section, daemon], check=True,
                   capture_output=True)


def strip_debug_info(bundle):
    """Leaves the programs' debugging sections out: a sanitizer build's bundle would be larger than
    the HTTP client takes in one reply."""
    for folder in ("bin", "libexec"):
        for name in os.listdir(os.path.join(bundle, folder)):
            path = os.path.join(bundle, folder, name)
            with open(path, "rb") as f:
                if f.read(4) != b"\x7fELF":
                    continue
            subprocess.run(["objcopy", "--strip-debug", path], check=True, capture_output=True)


def raised_revision(revision):
    return str(int(revision) + 1).rjust(len(revision), "0")


def feed_xml(url, archive, signature, version):
    with open(archive, "rb") as f:
        data = f.read()
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<rss version="2.0" xmlns:pw="https://kelvaro.com/xml/appcast"><channel><title>Port Weaver</title>'
            '<item><title>Port Weaver %s</title><enclosure url="%s" length="%d" type="application/gzip" '
            'pw:version="%s" pw:sha256="%s" pw:signature="%s"/></item></channel></rss>\n'
            % (version, url, len(data), version, hashlib.sha256(data).hexdigest(),
               base64.b64encode(signature).decode()))


class FeedServer:
    """The update server stand-in: plain HTTP on the loopback, serving one folder."""

    def __init__(self, folder, log_path):
        self.folder = folder
        os.makedirs(folder)
        log = open(log_path, "a")

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=folder, **kwargs)

            def log_message(self, fmt, *args):
                log.write(fmt % args + "\n")
                log.flush()
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()


class InstalledDaemonWatch:
    """Notes whether the installed daemon program was ever missing (request 8 removes it; a new
    install replaces it by rename, so it is never missing then)."""

    def __init__(self):
        self.missing = False
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            if not os.path.exists(INSTALLED_DAEMON):
                self.missing = True
            time.sleep(0.02)

    def stop(self):
        self.running = False
        self.thread.join()


def prepare(scene, feed):
    """The installed bundle, reading the feed the stand-in serves from folder feed, and the update's
    archives."""
    scene.mount_overlay("/usr/libexec")
    for target in (os.path.dirname(INSTALLED_DAEMON), "/etc/systemd/system", "/run", "/var/lib"):
        scene.mount_scratch(target)
    key, public_key = make_signing_key(scene.workdir)
    bundle = make_bundle(scene.path("Applications", "PortWeaver"))
    with open(os.path.join(bundle, "share", "update-signing-key.pub"), "w") as f:
        f.write(public_key)
    edit_info(bundle, KLFeedURL="http://127.0.0.1:%d/appcast.xml" % feed.port)
    info = read_info(bundle)
    revision = info["CFBundleVersion"]
    newer = raised_revision(revision)

    staging = scene.path("release", "PortWeaver")
    shutil.copytree(bundle, staging, symlinks=True)
    edit_info(staging, CFBundleVersion=newer, CFBundleShortVersionString=info["CFBundleShortVersionString"] + ".1")
    raise_daemon_revision(os.path.join(staging, "libexec", DAEMON_NAME), scene.workdir, revision, newer)
    strip_debug_info(staging)
    archive = os.path.join(feed.folder, "PortWeaver-%s.tar.gz" % newer)
    subprocess.run(["tar", "-czf", archive, "-C", os.path.dirname(staging), "PortWeaver"], check=True)
    tampered = scene.path("tampered.tar.gz")
    with open(archive, "rb") as f:
        data = bytearray(f.read())
    data[len(data) // 2] ^= 0xFF
    with open(tampered, "wb") as f:
        f.write(data)
    return {"bundle": bundle, "key": key, "revision": revision, "newer": newer, "feed": feed.folder,
            "archive": archive, "tampered": tampered, "staging": staging}


def serve(release, server, archive, signed_by):
    """Serves archive under the release's name with a feed naming its digest and signed_by's signature."""
    name = os.path.basename(release["archive"])
    url = "http://127.0.0.1:%d/%s" % (server.port, name)
    signature = sign(release["key"], signed_by)
    if archive != release["archive"]:
        shutil.copy(archive, os.path.join(release["feed"], name + ".part"))
        os.replace(os.path.join(release["feed"], name + ".part"), os.path.join(release["feed"], name))
    xml = feed_xml(url, os.path.join(release["feed"], name), signature, release["newer"])
    with open(os.path.join(release["feed"], "appcast.xml"), "w") as f:
        f.write(xml)


def inside(scene, problems):
    def check(ok, text):
        if not ok:
            problems.append(text)
        return ok

    display = scene.start_display()  # before /var/lib is replaced: Xvfb keeps its keymaps there
    server = FeedServer(scene.path("feed"), scene.path("http.log"))
    release = prepare(scene, server)
    bundle = release["bundle"]
    good = scene.path("good.tar.gz")
    shutil.copy(release["archive"], good)
    serve(release, server, release["tampered"], good)

    home = scene.path("roothome")
    os.makedirs(home, mode=0o700)
    probe_path = os.path.join(home, "probe.sock")
    env = app_environment(home, display, probe_path)
    service = scene.spawn([os.path.join(bundle, "libexec", SCREEN_SERVICE_NAME)], "service.log",
                          env=dict(env, KL_LOG_STDERR="1"))
    program = os.path.join(bundle, "bin", "portweaver")
    app, probe = scene.start_app(program, "app.log", probe_path, env, as_user=False)

    # 1. The daemon of this revision installed and running; the update found and shown.
    reply = wait("the installed daemon's check-in", lambda: os.path.exists(INSTALLED_DAEMON) and check_in(), 60)
    check(reply.get("revision") == release["revision"], "the daemon checked in with %s" % reply)
    daemons = processes_running(INSTALLED_DAEMON)
    wait("the update entry", lambda: UPDATE_ENTRY in window_texts(probe), 30)
    details = ["update entry shown"]

    check(service.poll() is None, "the screen service ended before the update (status %s)" % service.poll())

    # 2. The tampered archive changes nothing.
    before = {"info": sha256(os.path.join(bundle, "Info.plist")), "daemon": sha256(INSTALLED_DAEMON)}
    probe.click_when_shown("updateInstallButton", 30)
    wait("the refusal", lambda: "Refusing the update" in scene.log_text("app.log"), 30)
    check("signature" in scene.log_text("app.log").split("Refusing the update", 1)[1].split("\n", 1)[0],
          "the tampered archive was not refused for its signature")
    check(sha256(os.path.join(bundle, "Info.plist")) == before["info"], "the tampered update changed the bundle")
    check(sha256(INSTALLED_DAEMON) == before["daemon"] and processes_running(INSTALLED_DAEMON) == daemons,
          "the tampered update touched the daemon")
    check(service.poll() is None, "the tampered update stopped the screen service")
    check(app.poll() is None, "the app ended after the tampered update")
    check(not glob.glob(os.path.join(os.path.dirname(bundle), ".PortWeaver.update-*")), "staging folders were left")
    details.append("tampered archive refused")

    # 3. The real archive, offered again from the status entry.
    serve(release, server, good, good)
    watch = InstalledDaemonWatch()
    try:
        probe.click_when_shown("leftLinkButton", 10)
        probe.click_when_shown("updateInstallButton", 30)
        wait("the app to end for the relaunch", lambda: app.poll() is not None, 60)
        check(app.returncode == 0, "the app ended with status %s before the relaunch" % app.returncode)
        relaunched = wait("the relaunched app", lambda: processes_running(program), 30)
        reply = wait("the new daemon's check-in",
                     lambda: (lambda r: r if r and r.get("revision") == release["newer"] else None)(check_in()), 60)
    finally:
        watch.stop()
    log = scene.log_text("app.log")
    check("Just about to update your application" in log, "the app was not told about the installation")
    check("Timed out waiting for daemon to prepareForUpgrade" not in log, "the daemon did not answer request 8")
    check(watch.missing, "the daemon did not remove its installed program on request 8")
    check(service.poll() is not None, "the screen service was not stopped")
    check(read_info(bundle).get("CFBundleVersion") == release["newer"], "the bundle was not swapped")
    check(sha256(INSTALLED_DAEMON) == sha256(os.path.join(release["staging"], "libexec", DAEMON_NAME)),
          "the installed daemon is not the new bundle's")
    check(not set(processes_running(INSTALLED_DAEMON)) & set(daemons), "the old daemon still runs")
    check(not glob.glob(os.path.join(os.path.dirname(bundle), ".PortWeaver.update-*")), "staging folders were left")
    wait("the relaunched app's probe", lambda: probe_answers(probe_path), 30)
    # The new bundle reads the same feed: what it offers is what it is, so nothing is offered.
    wait("the relaunched app's check", lambda: scene.log_text("http.log").count("GET /appcast.xml") >= 3, 30)
    time.sleep(1)
    probe = Probe(probe_path)
    check(UPDATE_ENTRY not in window_texts(probe), "the updated app offers the update again")
    check(scene.log_text("app.log").count("An update to version") == 2, "the updated app found an update")
    details.append("installed: service stopped, request 8, bundle swapped, relaunched (pid %s), daemon %s, "
                   "no further offer" % (relaunched[0], reply.get("revision")))
    return "; ".join(details)


if __name__ == "__main__":
    sys.exit(run_in_namespaces(__file__, NAME, inside, tools=("objcopy", "openssl", "tar"),
                               programs=(build_program("tests", "standins", "control-client", "control-client"),)))
