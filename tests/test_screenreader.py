#!/usr/bin/python3
"""What a screen reader hears from the real window, on a virtual X display (Xvfb) with a D-Bus
session and an accessibility bus (AT-SPI) of its own, through the same client library that
screen readers use: each control's role, name and value, the lists' values as they change by
keyboard and the change announced, the status panels during and after an update against the
virtual instrument, and the completion dialog; then it closes the dialog and the window as a
user of a screen reader would.

    test_screenreader.py BUILD_DIR

Every process it needs it starts itself and stops again by its PID. It is skipped (exit 77)
only where no X server can run at all.
"""

import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

SKIP = 77
TITLE = "ZARVO-415B_417_452 Firmware"
CAPTION = TITLE + " v1012"
PORT = 5  # typed into the port box; the virtual instrument is linked as this port
# Each reply this much later, so that an update lasts a few seconds whatever the machine's
# speed: 480 erase frames take at least 1.4 s, 1,658 write frames at least 5 s, long enough
# to be read in passing.
REPLY_DELAY_MS = "3"
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
REGISTRY = "/usr/libexec/at-spi2-registryd"


class Failure(Exception):
    pass


class Processes:
    """Started processes, stopped in reverse order by their PIDs."""

    def __init__(self):
        self.started = []

    def start(self, name, argv, **kwargs):
        process = subprocess.Popen(argv, **kwargs)
        self.started.append((name, process))
        return process

    def stop(self, process):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def stop_all(self):
        for _, process in reversed(self.started):
            self.stop(process)

    def check_running(self):
        for name, process in self.started:
            if process.poll() is not None and name != "zarvo-sim":
                raise Failure(f"{name} ended early with status {process.returncode}")


def wait_for(what, condition, timeout=10.0, pump=None, interval=0.01):
    """Polls condition until it gives something true, at most timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        if pump:
            pump()
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def read_line(stream, what, timeout=10.0):
    """The first line a child writes on a pipe, without blocking past the timeout."""
    line = b""
    deadline = time.monotonic() + timeout
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            raise Failure(f"timed out waiting for {what}")
        chunk = os.read(stream.fileno(), 1)
        if not chunk:
            raise Failure(f"{what}: the program ended without it")
        line += chunk
    return line.decode().strip()


def start_display(procs, work):
    """Xvfb on a free display number; None where no X server can run."""
    if not shutil.which("Xvfb"):
        return None, "Xvfb is not installed (scripts/setup installs it)"
    read_end, write_end = os.pipe()
    xvfb = procs.start(
        "Xvfb",
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
        pass_fds=[write_end],
        stdout=subprocess.DEVNULL,
        stderr=open(os.path.join(work, "xvfb.log"), "wb"),
    )
    os.close(write_end)
    with os.fdopen(read_end, "rb", buffering=0) as pipe:
        try:
            number = read_line(pipe, "Xvfb's display number")
        except Failure as failure:
            with open(os.path.join(work, "xvfb.log")) as log:
                return None, f"Xvfb could not start ({failure}): {log.read().strip()}"
    if xvfb.poll() is not None:
        return None, "Xvfb ended at once"
    return ":" + number, None


def start_buses(procs, env, work):
    """A D-Bus session, and on it the accessibility bus with its registry."""
    for program in ("dbus-daemon", BUS_LAUNCHER, REGISTRY):
        if not shutil.which(program):
            raise Failure(f"{program} is missing (scripts/setup installs it)")
    session = procs.start(
        "dbus-daemon",
        ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1",
         f"--address=unix:dir={work}"],
        stdout=subprocess.PIPE,
        stderr=open(os.path.join(work, "session-bus.log"), "wb"),
        env=env,
    )
    env["DBUS_SESSION_BUS_ADDRESS"] = read_line(session.stdout, "the session bus's address")

    from gi.repository import Gio, GLib

    def connect(address):
        flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                 | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
        return Gio.DBusConnection.new_for_address_sync(address, flags, None, None)

    def call(bus, name, path, interface, method, args, reply):
        try:
            return bus.call_sync(name, path, interface, method, args, GLib.VariantType(reply),
                                 Gio.DBusCallFlags.NO_AUTO_START, 1000, None).unpack()
        except GLib.Error:
            return None

    procs.start("at-spi-bus-launcher", [BUS_LAUNCHER, "--launch-immediately", "--a11y=1"],
                env=env, stderr=open(os.path.join(work, "bus-launcher.log"), "wb"))
    session_bus = connect(env["DBUS_SESSION_BUS_ADDRESS"])
    address = wait_for(
        "the accessibility bus",
        lambda: (call(session_bus, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                      None, "(s)") or [None])[0])
    env["AT_SPI_BUS_ADDRESS"] = address
    log = open(os.path.join(work, "registry.log"), "wb")
    procs.start("at-spi2-registryd", [REGISTRY], env=env, stdout=log, stderr=log)
    a11y_bus = connect(address)
    wait_for(
        "the accessibility registry",
        lambda: (call(a11y_bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                      "org.freedesktop.DBus", "NameHasOwner",
                      GLib.Variant("(s)", ("org.a11y.atspi.Registry",)), "(b)") or [False])[0])
    session_bus.close_sync(None)
    a11y_bus.close_sync(None)


class Reader:
    """Reads the accessible tree as a screen reader does, through pyatspi."""

    def __init__(self):
        import pyatspi
        from gi.repository import Atspi, GLib

        self.pyatspi = pyatspi
        self.Atspi = Atspi
        self.context = GLib.MainContext.default()
        self.events = []
        self.kinds = ("object:selection-changed", "object:property-change:accessible-name",
                      "object:property-change:accessible-value")
        # Only the event is kept here: the source is read when it is looked at.
        self.listener = lambda event: self.events.append((event.type, event.source))

    def listen(self, on):
        registry = self.pyatspi.Registry
        if on:
            self.events.clear()
            registry.registerEventListener(self.listener, *self.kinds)
        else:
            registry.deregisterEventListener(self.listener, *self.kinds)

    def announced(self, role, name):
        """The announcements heard so far from the object with that role and name."""
        return [kind for kind, source in self.events
                if self.role(source) == role and self.safe_name(source) == name]

    def pump(self):
        while self.context.iteration(False):
            pass

    def application(self, pid):
        desktop = self.pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.get_process_id() == pid:
                # Read afresh on every call, so that what is read is what the window holds now.
                app.set_cache_mask(self.Atspi.Cache.NONE)
                return app
        return None

    @staticmethod
    def role(obj):
        try:
            return obj.getRoleName()
        except Exception:
            return "<gone>"

    @staticmethod
    def safe_name(obj):
        try:
            return obj.name
        except Exception:
            return "<gone>"

    def find(self, root, role, name=None, where=None):
        """The first object under root (depth first) with that role and name."""
        stack = [root]
        while stack:
            obj = stack.pop()
            if obj is None:
                continue
            try:
                if obj.getRoleName() == role and (name is None or obj.name == name) and (
                        where is None or where(obj)):
                    return obj
                stack.extend(reversed([obj.getChildAtIndex(i) for i in range(obj.childCount)]))
            except Exception:
                continue
        return None

    def all(self, root, role=None):
        """The objects under root with that role, or all of them."""
        found = []
        stack = [root]
        while stack:
            obj = stack.pop()
            if obj is None:
                continue
            try:
                if role is None or obj.getRoleName() == role:
                    found.append(obj)
                stack.extend(reversed([obj.getChildAtIndex(i) for i in range(obj.childCount)]))
            except Exception:
                continue
        return found

    @staticmethod
    def text(obj):
        try:
            text = obj.queryText()
        except NotImplementedError:
            return None
        # In one call, the whole text (-1): a length read first may belong to an earlier text.
        return text.getText(0, -1)

    def children(self, obj):
        return [obj.getChildAtIndex(i) for i in range(obj.childCount)]

    def editable_entry(self, combo):
        for child in self.children(combo):
            if child is not None and child.getState().contains(self.pyatspi.STATE_EDITABLE):
                return child
        return None

    def selected(self, obj):
        """The selected children, by the selection interface, else by their selected state."""
        try:
            selection = obj.querySelection()
            return [selection.getSelectedChild(i) for i in range(selection.nSelectedChildren)]
        except NotImplementedError:
            return [child for child in self.children(obj)
                    if child is not None and child.getState().contains(self.pyatspi.STATE_SELECTED)]

    def combo_value(self, combo):
        """A combo box's value as screen readers take it: the text of an editable box's entry;
        else the one selected item of the box or of its list; else its name or text."""
        if combo.childCount:
            entry = self.editable_entry(combo)
            if entry is not None:
                return self.text(entry)
            chosen = self.selected(combo) or self.selected(combo.getChildAtIndex(0))
            if len(chosen) == 1:
                return chosen[0].name or self.text(chosen[0])
        return combo.name or self.text(combo)

    def combo_items(self, combo):
        if not combo.childCount:
            return []
        listed = self.find(combo, "list")
        return [] if listed is None else [item.name for item in self.children(listed)]

    def value(self, obj):
        """What is heard after the name: a combo box's choice, a check box's state, a progress
        bar's value, a label's text."""
        role = obj.getRoleName()
        if role == "combo box":
            return self.combo_value(obj)
        if role == "check box":
            return "checked" if obj.getState().contains(self.pyatspi.STATE_CHECKED) else "not checked"
        if role == "progress bar":
            value = obj.queryValue()
            span = value.maximumValue - value.minimumValue
            return f"{100 * (value.currentValue - value.minimumValue) / span:.0f}%"
        return self.text(obj)


class Test:
    def __init__(self, build):
        self.build = build
        self.failures = []

    def check(self, what, got, expected):
        if got != expected:
            self.failures.append(f"{what}: heard {got!r}, expected {expected!r}")

    def check_match(self, what, got, pattern):
        if got is None or not re.fullmatch(pattern, got):
            self.failures.append(f"{what}: heard {got!r}, expected a match of {pattern!r}")

    def focus(self, window):
        subprocess.run(["xdotool", "windowfocus", "--sync", window], env=self.env, check=True,
                       timeout=10)

    def key(self, window, *keys):
        self.focus(window)
        subprocess.run(["xdotool", "key", "--clearmodifiers", *keys], env=self.env, check=True,
                       timeout=10)

    def run(self, procs, work):
        display, why = start_display(procs, work)
        if display is None:
            print(f"SKIP: no X server can run here: {why}")
            return SKIP
        for program in ("xdotool",):
            if not shutil.which(program):
                raise Failure(f"{program} is missing (scripts/setup installs it)")
        config = os.path.join(work, "config")
        runtime = os.path.join(work, "runtime")
        os.makedirs(config)
        os.makedirs(runtime, mode=0o700)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("DBUS_", "AT_SPI_", "QT_", "XDG_", "WAYLAND_"))}
        env.update(DISPLAY=display, XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=config,
                   QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        self.env = env
        start_buses(procs, env, work)
        # The client in this process reads the same buses.
        for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS"):
            os.environ[name] = env[name]
        reader = Reader()
        pump = reader.pump

        transcript = os.path.join(work, "transcript.txt")
        sim = procs.start(
            "zarvo-sim",
            [os.path.join(self.build, "zarvo-sim"), "--com", str(PORT), "--reply-delay",
             REPLY_DELAY_MS, "--transcript", transcript, "--exit-after-finish"],
            env=env, stdout=subprocess.PIPE, stderr=open(os.path.join(work, "sim.log"), "wb"))
        read_line(sim.stdout, "the virtual instrument's device")

        # The window finds the accessibility bus through the session bus, as on a desktop: given
        # the address directly, Qt 6.4 connects to it but never registers the application.
        tool_env = {k: v for k, v in env.items() if k != "AT_SPI_BUS_ADDRESS"}
        tool = procs.start("zarvo-update", [os.path.join(self.build, "zarvo-update")],
                           env=tool_env, stderr=open(os.path.join(work, "tool.log"), "wb"))

        def main_window():
            procs.check_running()
            app = reader.application(tool.pid)
            return app and reader.find(app, "frame", CAPTION)

        window = wait_for("the main window on the accessibility bus", main_window, 20, pump)
        app = reader.application(tool.pid)
        wid = wait_for("the main window on the display", lambda: subprocess.run(
            ["xdotool", "search", "--onlyvisible", "--name", CAPTION + "$"], env=env,
            capture_output=True, text=True).stdout.split(), 20)[0]

        def control(role, name):
            found = reader.find(window, role, name)
            if found is None:
                raise Failure(f"no {role} named {name!r} in the window")
            return found

        status_bar = reader.find(window, "status bar")
        if status_bar is None:
            raise Failure("no status bar in the window")
        panels = reader.children(status_bar)
        message = reader.find(
            window, "label", None,
            lambda o: o.parent.getRoleName() != "status bar" and o.name != "Remote Program")

        def panel_texts():
            return [reader.text(p) for p in panels]

        # The idle window: role, name, what follows the name, and the description.
        rows = [
            ("push button", "Program (F4)", None, "Update Firmware"),
            ("push button", "Exit (ESC)", None, "Exit"),
            ("check box", "Check for Remote Program", "not checked", "Check for Remote Program"),
            ("label", "Remote Program", "Remote Program", ""),
            ("label", "", "", ""),  # the message line
            ("combo box", "COM Port", "COM1", "COM Port"),
            ("combo box", "Baudrate", "4800", "Baudrate"),
            ("progress bar", "Progress Bar", "0%", "Progress Bar"),
        ]
        for role, name, value, description in rows:
            obj = reader.find(window, role, name)
            if obj is None:
                self.failures.append(f"idle window: no {role} named {name!r}")
                continue
            if value is not None:
                self.check(f"idle window: value of {role} {name!r}", reader.value(obj), value)
            self.check(f"idle window: description of {role} {name!r}", obj.description,
                       description)
        self.check("idle window: status panels", panel_texts(), ["For Help press F1", "", "", ""])
        self.check("idle window: panel names", [p.name for p in panels],
                   ["For Help press F1", "", "", ""])
        self.check("idle window: panel descriptions", [p.description for p in panels],
                   ["Status", "Indicators: Erase, Blank Check, Program, Verify", "Error Data",
                    "Firmware Version"])

        port = control("combo box", "COM Port")
        baud = control("combo box", "Baudrate")
        self.check("choices of the port box", reader.combo_items(port),
                   [f"COM{n}" for n in range(1, 9)])
        self.check("choices of the baud list", reader.combo_items(baud), ["1200", "2400", "4800"])

        # One focus at a time: at each stop of the Tab order the control that has the focus is
        # the only object that says so (an editable box may pass it to its own text field),
        # and the items of the closed lists are neither focused nor showing.
        focused_state = reader.pyatspi.STATE_FOCUSED
        showing_state = reader.pyatspi.STATE_SHOWING

        def focused():
            return [o for o in reader.all(window) if o.getState().contains(focused_state)]

        def described(objs):
            return sorted(f"{reader.role(o)} {reader.safe_name(o)!r}" for o in objs)

        self.focus(wid)
        stops = [("push button", "Program (F4)"), ("push button", "Exit (ESC)"),
                 ("check box", "Check for Remote Program"), ("combo box", "COM Port"),
                 ("combo box", "Baudrate"), ("push button", "Program (F4)")]
        for stop, (role, name) in enumerate(stops):
            if stop:
                self.key(wid, "Tab")
            target = control(role, name)
            own = [target] + [c for c in reader.children(target)
                              if c is not None and reader.role(c) == "text"]
            try:
                wait_for(f"the focus on {name}", lambda: any(
                    o.getState().contains(focused_state) for o in own), 5, pump)
            except Failure as failure:
                self.failures.append(f"Tab stop {stop}: {failure}")
            self.check(f"Tab stop {stop} ({name}): what else says it has the focus",
                       [d for d in described(focused()) if d not in described(own)], [])
            self.check(f"Tab stop {stop} ({name}): items of the closed lists focused or showing",
                       described(o for o in reader.all(window, "list item")
                                 if o.getState().contains(focused_state)
                                 or o.getState().contains(showing_state)), [])

        # The baud list by keyboard: each change is heard as the new value, and announced.
        self.focus(wid)
        baud.queryComponent().grabFocus()
        wait_for("the focus on the baud list",
                 lambda: baud.getState().contains(reader.pyatspi.STATE_FOCUSED), 10, pump)
        reader.listen(True)
        for key, expected in (("Up", "2400"), ("Up", "1200"), ("Down", "2400"), ("Down", "4800")):
            reader.events.clear()
            self.key(wid, key)
            try:
                wait_for(f"the baud list's value {expected} after {key}",
                         lambda: reader.combo_value(baud) == expected, 5, pump)
            except Failure:
                self.check(f"baud list after {key}", reader.combo_value(baud), expected)
                continue
            # The change is announced by the box, as Qt announces its own combo boxes.
            try:
                wait_for(f"the change to {expected} announced", lambda: {
                    "object:selection-changed", "object:property-change:accessible-name"
                } <= set(reader.announced("combo box", "Baudrate")), 5, pump)
            except Failure as failure:
                self.failures.append(f"baud list after {key}: {failure}")
            self.check(f"baud list's name after {key}", baud.name, "Baudrate")
        reader.listen(False)

        # The port box by typing: the typed text is its value.
        entry = reader.editable_entry(port)
        if entry is None:
            raise Failure("the port box has no editable text")
        entry.queryComponent().grabFocus()
        self.key(wid, "ctrl+a", str(PORT))
        try:
            wait_for("the typed port number", lambda: reader.combo_value(port) == str(PORT), 10,
                     pump)
        except Failure:
            self.check("port box after typing", reader.combo_value(port), str(PORT))
        self.check("port box's name after typing", port.name, "COM Port")

        # An update, read while it runs.
        self.key(wid, "F4")
        heard = {"panel 1": set(), "panel 2": set(), "message": set(), "exit": set(),
                 "progress": set()}
        exit_button = reader.find(window, "push button", None,
                                  lambda o: o.description == "Exit")
        progress = control("progress bar", "Progress Bar")

        # Cheap enough to read many times while the update runs: the window's own objects are
        # found once, and the dialog is looked for only once the application has a second
        # window.
        def listen():
            procs.check_running()
            texts = panel_texts()
            heard["panel 1"].add(texts[0])
            heard["panel 2"].add(texts[1])
            heard["message"].add(reader.text(message))
            heard["exit"].add(exit_button.name)
            heard["progress"].add(reader.value(progress))
            if app.childCount < 2:
                return None
            return reader.find(app, "dialog", TITLE + " Updated")

        done = wait_for("the completion dialog", listen, 90, pump, interval=0.05)
        percent = r"(?:\d|[1-9]\d|100)%"  # 0 to 100, nothing beyond
        self.check_match("panel 1 while erasing", next(
            (t for t in sorted(heard["panel 1"]) if t.startswith("Erasing")), None),
            r"Erasing \.\.\.  " + percent)
        self.check_match("panel 1 while programming", next(
            (t for t in sorted(heard["panel 1"]) if t.startswith("Programming")), None),
            r"Programming \.\.\.  " + percent)
        # Every text heard is one the window shows whole, never a piece of one.
        shown = (r"For Help press F1|Erasing \.\.\.  " + percent + r"|Blank Checking \.\.\.|"
                 r"Programming \.\.\.  " + percent + r"|Verifying \.\.\.|"
                 r"Resetting Defaults \.\.\.|Update Finished")
        self.check("panel 1 during the update: texts not shown as such",
                   sorted(t for t in heard["panel 1"] if not re.fullmatch(shown, t or "")), [])
        self.check("panel 2 during the update: texts not shown as such",
                   sorted(heard["panel 2"] - {"", "E", "EB", "EBP", "EBPV"}), [])
        self.check("panel 2 while programming", "EB" in heard["panel 2"], True)
        self.check("message line during the update",
                   "Please wait.  ZARVO firmware is being updated." in heard["message"], True)
        self.check("exit button during the update", "Cancel (ESC)" in heard["exit"], True)
        self.check("progress bar during the update",
                   any(p not in ("0%", "100%") for p in heard["progress"]), True)

        # The completion dialog.
        self.check("completion dialog: message",
                   [reader.text(o) for o in reader.all(done, "label") if reader.text(o)],
                   ["Update was successfully finished."])
        ok = reader.find(done, "push button", None, lambda o: o.name.startswith("OK"))
        self.check_match("completion dialog: button", ok.name if ok else None,
                         r"OK \[(30|29|28|27|26|25) sec\.\]")

        # The window after the update, once it is idle again.
        wait_for("the window idle again", lambda: exit_button.name == "Exit (ESC)", 10, pump)
        self.check("after the update: status panels", panel_texts(),
                   ["Update Finished", "EBPV", "", "1012.01"])
        self.check("after the update: message line",
                   reader.text(message) if message is not None else None, "")
        self.check("after the update: progress bar", reader.value(progress), "100%")
        self.check("after the update: baud list", reader.combo_value(baud), "4800")
        self.check("after the update: port box", reader.combo_value(port), str(PORT))

        # Closed as a screen-reader user would: the dialog's button pressed through its action,
        # then Esc on the idle window ends the tool.
        if ok is not None:
            actions = ok.queryAction()
            names = [actions.getName(i) for i in range(actions.nActions)]
            actions.doAction(names.index("Press"))
            wait_for("the completion dialog to close", lambda: app.childCount < 2, 10, pump)
        self.key(wid, "Escape")
        wait_for("the tool to end on Esc", lambda: tool.poll() is not None, 20, pump)
        self.check("the tool's exit status", tool.returncode, 0)
        if self.failures:
            for failure in self.failures:
                print("FAIL:", failure)
            return 1
        print("PASS: the window reads as expected through the accessibility bus")
        return 0


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    procs = Processes()
    work = tempfile.mkdtemp(prefix="zarvo-screenreader.")
    status = 1
    test = Test(sys.argv[1])
    try:
        status = test.run(procs, work)
    except Failure as failure:
        for earlier in test.failures:
            print("FAIL:", earlier)
        print("FAIL:", failure)
    except Exception:
        traceback.print_exc()
    finally:
        procs.stop_all()
        if status not in (0, SKIP):
            for log in ("tool.log", "sim.log", "bus-launcher.log", "registry.log"):
                path = os.path.join(work, log)
                if os.path.exists(path) and os.path.getsize(path):
                    with open(path, errors="replace") as f:
                        print(f"== {log}\n{f.read()[-3000:]}")
        shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
