#!/usr/bin/python3
"""(s) The screen service on a virtual display in a namespace of its own, with viewers (the
screen-viewer stand-in) on its default ports: handshakes of 109, 105 and 5 bytes are each served;
a drawing on the desktop reaches the viewer's framebuffer (PSNR against a capture of the root
window once the service has resent it cold); cursor datagrams come at about 120 a second and an
invisible cursor arrives as an I-beam; splitting the screen into two monitors brings a display count
of 2 and a resolution change; a second viewer is told busy with the first's id and is closed when
it answers wrongly, takes over when it echoes the id (the first viewer's connection ends), and is
closed after the busy message when the connected viewer gave no id; after a disconnect the next
viewer streams and still gets refreshes."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from screen_tools import (blank_cursor_path, count_between, event, psnr, run_desktop_scenario,  # noqa: E402
                          service_path, viewer_path, wait_after, wait_quiet)

NAME = "(s) screen stream"
SIZE = "1024x768"
FIRST_ID = 4242
QUIET_UPDATES = 15  # empty updates in a row: the changed tiles have been resent cold
MIN_PSNR = 30.0
CURSOR_WINDOW = 2.0
CURSOR_RATE = (60, 180)  # datagrams a second, around the service's 120


class Scenario:
    def __init__(self, desktop, summary, problems):
        self.desktop = desktop
        self.summary = summary
        self.problems = problems
        self.logs = []  # every program whose log is shown when something failed

    def check(self, condition, message):
        if not condition:
            self.problems.append(message)
        return bool(condition)

    def viewer(self, name, *args):
        """A viewer that is served: it retries while the service is not yet listening."""
        deadline = time.monotonic() + 15
        while True:
            viewer = self.desktop.viewer(name, *args)
            self.logs.append(viewer)
            if viewer.wait_for(lambda l: l.get("event") in ("connected", "error"), 10) and viewer.events("connected"):
                return viewer
            viewer.stop(5)
            if time.monotonic() > deadline:
                raise RuntimeError("viewer %s could not connect: %s" % (name, viewer.events("error")))
            time.sleep(0.3)

    def streams(self, viewer, label, handshake_bytes, since=0.0, timeout=20):
        """Whether viewer got the hello, sent its handshake and then an update with tiles."""
        ok = self.check(wait_after(viewer, since, event("hello"), timeout), "%s: no hello" % label)
        ok = ok and self.check(wait_after(viewer, since, event("handshake", bytes=handshake_bytes), 5),
                               "%s: no handshake of %d bytes" % (label, handshake_bytes))
        ok = ok and self.check(wait_after(viewer, since, lambda l: l.get("event") == "update" and l.get("tiles", 0) > 0,
                                          timeout), "%s: no update with tiles" % label)
        return ok

    def closed(self, viewer, label, timeout=10):
        ok = self.check(viewer.wait_event("closed", timeout), "%s: its connection did not end" % label)
        try:
            viewer.proc.wait(5)
        except Exception:  # noqa: BLE001 - reported below
            pass
        return ok and self.check(viewer.proc.poll() == 0, "%s: exit status %s" % (label, viewer.proc.poll()))

    def run(self):
        d = self.desktop
        first_picture = d.picture("desktop1.png", "-fill", "#c02020", "-draw", "rectangle 100,100 400,300",
                                  "-fill", "#20c040", "-draw", "circle 700,500 700,650")
        second_picture = d.picture("desktop2.png", "-fill", "#f0f0f0", "-draw", "rectangle 500,80 980,380",
                                   "-fill", "#302080", "-draw", "circle 250,550 250,700")
        third_picture = d.picture("desktop3.png", "-fill", "#10a0a0", "-draw", "rectangle 0,0 1023,200")
        d.show_on_root(first_picture)
        service = d.start_service()
        self.logs.append(service)

        # A version-capable viewer (109-byte handshake) with an id, streaming at 30 requests a second.
        first = self.viewer("viewer-109", "--version", "1.1.2", "--size", SIZE, "--client-id", FIRST_ID,
                            "--rate", 30, "--heartbeat-ms", 5000)
        if not self.streams(first, "109-byte viewer", 109):
            return
        resolution = first.wait_event("resolution", 5)
        self.summary["resolution"] = resolution[1] if resolution else None
        self.check(resolution and (resolution[1]["width"], resolution[1]["height"]) == (1024, 768),
                   "109-byte viewer: resolution %s" % self.summary["resolution"])

        # Cursor datagrams on the viewer's sideband, and the position they carry.
        self.check(first.wait_event("sideband", 5, ok=True), "the viewer's sideband port was not bound")
        d.x("/usr/bin/xdotool", "mousemove", "300", "200")
        moved = time.monotonic()
        self.check(wait_after(first, moved, lambda l: l.get("event") == "cursor" and (l["x"], l["y"]) == (300, 200), 5),
                   "no cursor datagram at (300, 200) after the pointer moved")
        start = time.monotonic()
        time.sleep(CURSOR_WINDOW)
        rate = count_between(first, "cursor", start, start + CURSOR_WINDOW) / CURSOR_WINDOW
        self.summary["cursor_datagrams_per_second"] = rate
        self.check(CURSOR_RATE[0] <= rate <= CURSOR_RATE[1], "cursor datagrams at %.1f a second" % rate)

        # A drawing reaches the framebuffer; after the cold resend it matches the root window.
        drawn = time.monotonic()
        d.show_on_root(second_picture)
        tiles = wait_after(first, drawn, lambda l: l.get("event") == "update" and l.get("tiles", 0) > 0, 10)
        self.check(tiles, "no tiles after the drawing")
        self.check(wait_quiet(first, tiles[0] if tiles else drawn, QUIET_UPDATES, 20),
                   "the updates never went quiet after the drawing")
        framebuffer = os.path.join(d.workdir, "framebuffer.png")
        asked = time.monotonic()
        first.send("png " + framebuffer)
        written = wait_after(first, asked, event("png"), 10)
        if self.check(written and written[1].get("ok"), "the viewer wrote no picture: %s" % (written,)):
            root = d.capture_root("root.png")
            self.summary["psnr_db"] = round(psnr(framebuffer, root), 2)
            self.summary["psnr_db_before_drawing"] = round(psnr(framebuffer, first_picture), 2)
            self.check(self.summary["psnr_db"] >= MIN_PSNR, "framebuffer PSNR %.2f dB" % self.summary["psnr_db"])
            self.check(self.summary["psnr_db"] > self.summary["psnr_db_before_drawing"] + 3,
                       "the framebuffer looks no more like the new desktop than the old one")

        # An invisible cursor is sent as an I-beam (tall, narrow, drawn).
        hidden = time.monotonic()
        blank = d.blank_cursor()
        image = wait_after(first, hidden, event("cursor-image"), 10)
        self.summary["invisible_cursor_image"] = image[1] if image else None
        self.check(image and image[1]["opaque"] > 0 and image[1]["height"] > image[1]["width"],
                   "invisible cursor arrived as %s" % (self.summary["invisible_cursor_image"],))
        shown = time.monotonic()
        blank.stop(5)
        self.check(wait_after(first, shown, event("cursor-image"), 10), "no cursor image once the pointer showed again")

        # Two monitors: a display count of 2 and a resolution change.
        split = time.monotonic()
        monitors = d.monitors("left:512x768+0+0", "right:512x768+512+0")
        count = wait_after(first, split, event("display-count"), 10)
        self.summary["display_count"] = count[1]["count"] if count else None
        self.check(self.summary["display_count"] == 2, "display count after the split: %s" % self.summary["display_count"])
        self.check(wait_after(first, split, event("resolution"), 10), "no resolution change after the split")
        monitors.stop(5)

        # A second viewer is told busy with the first's id; a wrong answer closes it.
        wrong = self.viewer("viewer-wrong-id", "--size", SIZE, "--on-busy", 1, "--sideband-port", 0)
        busy = wrong.wait_event("busy", 10)
        self.summary["busy_id"] = busy[1]["id"] if busy else None
        self.check(self.summary["busy_id"] == FIRST_ID, "busy carried %s" % self.summary["busy_id"])
        self.closed(wrong, "viewer answering the wrong id")
        self.check(not wrong.events("hello"), "the viewer answering the wrong id was served")

        # Echoing the id takes over; the first viewer's connection ends. The new one has no id.
        taker = self.viewer("viewer-take-over", "--version", "1.1.2", "--size", SIZE, "--on-busy", "echo",
                            "--rate", 30)
        self.check(taker.wait_event("busy", 10, id=FIRST_ID), "the taking-over viewer got no busy message")
        self.streams(taker, "taking-over viewer", 109)
        self.closed(first, "first viewer after the take-over")
        self.check(taker.wait_event("sideband", 10, ok=True), "the taking-over viewer never bound the sideband port")

        # With no id from the connected viewer, a newcomer is closed after the busy message.
        refused = self.viewer("viewer-refused", "--size", SIZE, "--on-busy", "echo", "--sideband-port", 0)
        self.check(refused.wait_event("busy", 10, id=0), "no busy message with id 0")
        self.closed(refused, "newcomer while a viewer without id is connected")
        self.check(not refused.events("hello"), "the newcomer was served while a viewer was connected")

        # After a disconnect the next viewer (105-byte handshake) streams and still gets refreshes.
        taker.send("close")
        self.closed(taker, "taking-over viewer on close")
        older = self.viewer("viewer-105", "--version", "1.1.1", "--rate", 30)
        if self.streams(older, "105-byte viewer", 105):
            redrawn = time.monotonic()
            d.show_on_root(third_picture)
            self.check(wait_after(older, redrawn, lambda l: l.get("event") == "update" and l.get("tiles", 0) > 0, 10),
                       "105-byte viewer: no refresh after a drawing")
            self.check(not older.events("resolution"), "a viewer that is not version-capable got a resolution change")
        older.send("close")
        self.closed(older, "105-byte viewer on close")

        oldest = self.viewer("viewer-5", "--version", "0.0.0", "--rate", 30)
        self.streams(oldest, "5-byte viewer", 5)
        oldest.send("close")
        self.closed(oldest, "5-byte viewer on close")

        self.check(service.proc.poll() is None, "the service ended early (%s)" % service.proc.poll())
        service.proc.terminate()
        try:
            self.summary["service_exit"] = service.proc.wait(15)
        except Exception:  # noqa: BLE001
            self.summary["service_exit"] = None
        self.check(self.summary["service_exit"] == 0, "service exit status %s" % self.summary["service_exit"])


def main():
    run_desktop_scenario(NAME, SIZE, (service_path(), viewer_path(), blank_cursor_path()), Scenario,
                         lambda summary: "viewers of 109, 105 and 5 bytes served; PSNR %s dB; cursor %.0f/s; busy, "
                         "take-over and refusal as expected" % (summary.get("psnr_db"),
                                                                summary.get("cursor_datagrams_per_second") or 0))


if __name__ == "__main__":
    main()
