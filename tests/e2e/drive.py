#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Plays a newcomer's first scan in the real window: type a range, add it, scan all, dismiss the
completion box, save the report through the save dialog, keep watch over the network while a
host announces itself (the row, the progress text and the desktop's notification daemon tell of
it), quit. Mouse and keyboard go through
xdotool as a person's would; what is on screen is read back through the accessibility bus.

  drive.py --app BIN --work DIR --expect FILE --first A.B.C.D --last A.B.C.D
           [--maker A.B.C.D=MAKER]... [--watch A.B.C.D]

FILE holds one "address mac" line per host that must show "running"; every other row of the
range must stay empty. With --watch, the file WORK/watching is made once the watch's first scan
is over; the lab then has that address announce itself. Exits non-zero with the reason on the first thing that does not hold.
"""

import argparse
import os
import subprocess
import sys
import time

import pyatspi

RUNNING = "running"
DONE_TEXT = "扫描完成!"


class Failure(Exception):
    pass


def log(text):
    print(f"e2e: {text}", flush=True)


def wait_for(what, probe, timeout=20.0, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        try:
            found = probe()
        except Failure:
            raise
        except Exception:  # the accessible tree changes under us while windows come and go
            found = None
        if found:
            return found
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(interval)


def children(node):
    return [c for c in node if c is not None]


def walk(node, depth=0):
    yield node
    if depth < 14:
        for child in children(node):
            yield from walk(child, depth + 1)


def find(node, role, name=None):
    for item in walk(node):
        if item.getRoleName() == role and (name is None or item.name == name):
            return item
    return None


def find_all(node, role):
    return [item for item in walk(node) if item.getRoleName() == role]


def extents(node):
    box = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    if box.width <= 0 or box.height <= 0:
        raise Failure(f"{node.getRoleName()} {node.name!r} is not on screen")
    return box


def xdotool(*args):
    subprocess.run(["xdotool", *args], check=True)


def click(node):
    box = extents(node)
    xdotool("mousemove", "--sync", str(box.x + box.width // 2), str(box.y + box.height // 2),
            "click", "1")


def type_text(text):
    xdotool("type", "--delay", "30", text)


def key(*names):
    xdotool("key", *names)


def enabled(node):
    return node.getState().contains(pyatspi.STATE_ENABLED)


def talvik_app():
    desktop = pyatspi.Registry.getDesktop(0)
    for app in children(desktop):
        if app.name == "Talvik":
            return app
    return None


def main_window(app):
    for window in children(app):
        if window.getRoleName() == "dialog" and window.name == "Talvik" and \
                find(window, "tree") is not None:
            return window
    return None


def address_fields(window):
    # An address field is a frame of four parts with three dots between them.
    fields = [f for f in find_all(window, "frame")
              if len([c for c in children(f) if c.getRoleName() == "text"]) == 4]
    fields.sort(key=lambda f: extents(f).y)
    if len(fields) != 2:
        raise Failure(f"expected two address fields, found {len(fields)}")
    return fields


def field_text(field):
    parts = [c for c in children(field) if c.getRoleName() == "text"]
    return ".".join(p.queryText().getText(0, -1) for p in parts)


def fill_field(field, address):
    # Into the first part, over what it holds, the whole dotted address in one go.
    first = [c for c in children(field) if c.getRoleName() == "text"][0]
    click(first)
    key("ctrl+a")
    type_text(address)
    wait_for(f"the field to read {address}", lambda: field_text(field) == address, timeout=5)


def rows_on_screen(window):
    table = find(window, "tree").queryTable()
    return [[table.getAccessibleAt(r, c).name for c in range(table.nColumns)]
            for r in range(table.nRows)]


def toolbar_button(window, text):
    bar = find(window, "tool bar")
    button = find(bar, "push button", text) if bar is not None else None
    if button is None:
        raise Failure(f"no toolbar button {text!r}")
    return button


def choose(window, menu, name):
    # The menu opened from its bar, then its item once it is on screen.
    click(find(window, "menu item", menu))
    click(wait_for(f"the menu item {name}", lambda: [i for i in find_all(window, "menu item")
                                                     if i.name == name and
                                                     extents(i).width > 0][0], timeout=5))


def completion_box(app):
    for window in children(app):
        if window.getRoleName() == "alert" and window.name == "Talvik":
            texts = [item.name for item in walk(window)]
            if any(DONE_TEXT in (t or "") for t in texts):
                return window
            raise Failure(f"unexpected message box: {texts}")
    return None


def save_dialog(app):
    for window in children(app):
        if window.getRoleName() == "dialog" and window.name != "Talvik":
            return window
    return None


def screenshot(path):
    with open(path, "wb") as out:
        xwd = subprocess.Popen(["xwd", "-root", "-silent"], stdout=subprocess.PIPE)
        subprocess.run(["convert", "xwd:-", "png:-"], stdin=xwd.stdout, stdout=out, check=True)
        xwd.wait()


def expected_rows(first, last, expect_file):
    macs = {}
    with open(expect_file) as lines:
        for line in lines:
            if line.strip():
                address, mac = line.split()
                macs[address] = mac
    prefix = first.rsplit(".", 1)[0]
    rows = []
    for octet in range(int(first.rsplit(".", 1)[1]), int(last.rsplit(".", 1)[1]) + 1):
        address = f"{prefix}.{octet}"
        mac = macs.get(address)
        rows.append([address, RUNNING, mac] if mac else [address, "", ""])
    return rows


def report_rows(path):
    # The report is GBK; its data rows are the cells after the three header cells.
    with open(path, "rb") as report:
        text = report.read().decode("gbk")
    cells = []
    for piece in text.split("<td width=33%height=16>")[1:]:
        cells.append(piece.split("</td>", 1)[0])
    if len(cells) % 3:
        raise Failure(f"the report has {len(cells)} cells, not whole rows")
    return [cells[i:i + 3] for i in range(0, len(cells), 3)], text


def helper_children(pid):
    names = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{entry}/comm") as comm:
                name = comm.read().strip()
        except OSError:
            continue
        if int(fields[1]) == pid:
            names.append(name)
    return names


def run(args):
    want = expected_rows(args.first, args.last, args.expect)
    # The accessibility bus and its registry first: a program that starts before they answer
    # may never show up on them.
    wait_for("the accessibility registry",
             lambda: pyatspi.Registry.getDesktop(0).childCount >= 0, timeout=20)
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    env.pop("QT_QPA_PLATFORM", None)
    app_log = open(os.path.join(args.work, "talvik.log"), "w")
    program = subprocess.Popen([args.app], cwd=args.work, env=env, stdout=app_log,
                               stderr=subprocess.STDOUT)
    try:
        return drive(args, want, program)
    except Failure:
        # What the window showed when it went wrong, before it is ended.
        try:
            screenshot(os.path.join(args.work, "failed.png"))
        except (OSError, subprocess.CalledProcessError):
            pass
        raise
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()


def drive(args, want, program):
    app = wait_for("the Talvik window on the accessibility bus", talvik_app, timeout=30)
    window = wait_for("the main window", lambda: main_window(app), timeout=30)
    log("the window is up")

    start, end = address_fields(window)
    fill_field(start, args.first)
    fill_field(end, args.last)
    click(find(window, "push button", "添加扫描地址 >>"))
    rows = wait_for(f"{len(want)} rows", lambda: len(rows_on_screen(window)) == len(want),
                    timeout=5) and rows_on_screen(window)
    if [r[0] for r in rows] != [w[0] for w in want]:
        raise Failure(f"rows added: {[r[0] for r in rows]}")
    log(f"{len(rows)} rows added")

    scan_all = toolbar_button(window, " 扫描全部")
    began = time.monotonic()
    click(scan_all)
    box = wait_for("the completion box", lambda: completion_box(app), timeout=60)
    log(f"scan complete after {time.monotonic() - began:.1f} s")
    screenshot(os.path.join(args.work, "scan-complete.png"))
    click(find(box, "push button"))
    wait_for("the idle state", lambda: enabled(toolbar_button(window, " 扫描全部")) and
             not enabled(toolbar_button(window, " 停止扫描")), timeout=10)

    shown = rows_on_screen(window)
    if shown != want:
        raise Failure("rows on screen differ:\n" +
                      "\n".join(f"  {s} (want {w})" for s, w in zip(shown, want) if s != w))
    log(f"rows on screen match: {sum(1 for r in shown if r[1] == RUNNING)} running")

    # The MAC cell's description (its tooltip) names the maker from the installed registry.
    table = find(window, "tree").queryTable()
    for address, maker in (m.split("=", 1) for m in args.maker):
        row = [r[0] for r in shown].index(address)
        cell = table.getAccessibleAt(row, 2)
        wait_for(f"the maker of {address}", lambda: f"厂商：{maker}" in cell.description,
                 timeout=10)
        log(f"{address} is made by {maker}")

    # The privileged part lives in its own process; an installed tree must find it.
    helpers = helper_children(program.pid)
    if args.expect_helper and "talvik-arp" not in helpers:
        raise Failure(f"talvik-arp is not running under the window (children: {helpers})")

    choose(window, " 系统 (S) ", "保存扫描结果")
    dialog = wait_for("the save dialog", lambda: save_dialog(app), timeout=10)
    log(f"save dialog {dialog.name!r} is up")
    screenshot(os.path.join(args.work, "save-dialog.png"))
    chosen = os.path.join(args.work, "report", "first-scan")
    key("ctrl+a")
    type_text(chosen)
    key("Return")
    report = chosen + ".Html"
    wait_for(f"{report}", lambda: os.path.exists(report) and save_dialog(app) is None,
             timeout=10)
    saved, text = report_rows(report)
    if saved != want:
        raise Failure("report rows differ:\n" +
                      "\n".join(f"  {s} (want {w})" for s, w in zip(saved, want) if s != w) +
                      f"\n  ({len(saved)} rows, want {len(want)})")
    if not text.startswith("<HTML>") or not text.endswith("</HTML>"):
        raise Failure("the report is not a whole HTML file")
    for title in ("扫描结果", "主机IP", "状态", "MAC地址"):
        if title not in text:
            raise Failure(f"the report lacks {title!r}")
    log(f"the report {os.path.basename(report)} holds the same {len(saved)} rows")

    screenshot(os.path.join(args.work, "after-save.png"))
    if args.watch:
        keep_watch(args, app, window)
    click(toolbar_button(window, " 退出"))
    try:
        status = program.wait(timeout=10)
    except subprocess.TimeoutExpired:
        raise Failure("the program did not end after Exit")
    if status != 0:
        raise Failure(f"the program ended with status {status}")
    log("the program ended cleanly")
    return 0


NOTIFICATION_DAEMON = "/usr/lib/notification-daemon/notification-daemon"


def keep_watch(args, app, window):
    # Debian's own notification daemon on this session's bus, the call recorded as it got it.
    monitor_log = open(os.path.join(args.work, "notify-monitor.log"), "w")
    monitor = subprocess.Popen(["dbus-monitor", "--session",
                                "interface='org.freedesktop.Notifications'"],
                               stdout=monitor_log, stderr=subprocess.STDOUT)
    daemon = subprocess.Popen([NOTIFICATION_DAEMON], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL,
                              env=dict(os.environ, NO_AT_BRIDGE="1", GTK_A11Y="none"))
    try:
        wait_for("the notification service", lambda: subprocess.run(
            ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
             "string:org.freedesktop.Notifications"], capture_output=True,
            text=True).stdout.count("boolean true"), timeout=20)
        choose(window, " 设置 (O) ", "监视网络(W)")
        # Without memory the watch's first scan is what it knows.
        box = wait_for("the watch's first scan", lambda: completion_box(app), timeout=60)
        click(find(box, "push button"))
        bar = find(window, "progress bar")
        wait_for("the watch's note", lambda: "正在监视" in bar.description, timeout=10)
        open(os.path.join(args.work, "watching"), "w").close()
        told = f"{args.watch} 发现新设备"
        wait_for("the announced host's event", lambda: told in bar.description, timeout=30)
        row = [r[0] for r in rows_on_screen(window)].index(args.watch)
        cell = find(window, "tree").queryTable().getAccessibleAt(row, 0)
        wait_for("the row's watch line", lambda: "发现新设备" in cell.description, timeout=5)
        log(f"the watch told of {args.watch}: {bar.description!r}")
        screenshot(os.path.join(args.work, "watching.png"))
        wait_for("the desktop notification", lambda: args.watch in open(monitor_log.name).read(),
                 timeout=10)
        with open(monitor_log.name) as recorded:
            call = recorded.read().split("member=Notify", 1)[1]
        for want in ('string "Talvik"', 'string "发现新设备"', args.watch):
            if want not in call:
                raise Failure(f"the notification lacks {want!r}:\n{call}")
        log("the notification daemon was told")
    finally:
        for process in (daemon, monitor):
            process.terminate()
            process.wait()
        monitor_log.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--expect", required=True)
    parser.add_argument("--first", required=True)
    parser.add_argument("--last", required=True)
    parser.add_argument("--expect-helper", action="store_true")
    parser.add_argument("--maker", action="append", default=[], metavar="ADDRESS=MAKER")
    parser.add_argument("--watch", metavar="ADDRESS")
    args = parser.parse_args()
    try:
        return run(args)
    except Failure as failure:
        print(f"e2e: FAILED: {failure}", file=sys.stderr, flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main())
