#!/usr/bin/env python3
"""Drives a running Kestrune through the desktop's accessibility bus (AT-SPI), as a screen reader or
a test tool would, and prints what it finds. Run by tools/atspi-check.sh, which starts everything.

Checks: the auto-add box ticked with its Toggle action turns auto-add on (a played sound is then
listed) and unticked turns it off; the number and comment fields carry their labels' names; a row's
check box reports a checkable state and its Toggle mutes the sound."""
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def walk(node, depth=0):
    yield node
    if depth > 12:
        return
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None and child.get_role() != Atspi.Role.TABLE_CELL:
            yield from walk(child, depth + 1)


def find(app, role, name=None):
    for node in walk(app):
        if node.get_role() == role and (name is None or node.get_name() == name):
            return node
    return None


def has(node, state):
    return node.get_state_set().contains(state)


def action(node, name):
    actions = node.get_action_iface()
    for i in range(actions.get_n_actions() if actions else 0):
        if actions.get_action_name(i) == name:
            return actions.do_action(i)
    raise SystemExit(f"FAIL: {node.get_name()!r} offers no {name} action")


def wait_for(condition, seconds=15):
    end = time.time() + seconds
    while time.time() < end:
        if condition():
            return True
        time.sleep(0.2)
    return False


def main():
    app = None
    for _ in range(100):
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            child = desktop.get_child_at_index(i)
            if child is not None and child.get_name() in ("kestrune", "Kestrune"):
                app = child
        if app is not None and find(app, Atspi.Role.TABLE) is not None:
            break
        time.sleep(0.2)
    if app is None:
        raise SystemExit("FAIL: Kestrune is not on the accessibility bus")
    failures = 0

    def check(ok, what):
        nonlocal failures
        print(("ok   " if ok else "FAIL ") + what)
        failures += 0 if ok else 1

    for name in ("サウンド番号", "コメント"):
        check(find(app, Atspi.Role.TEXT, name) is not None, f"a text field is named {name!r}")

    auto_add = find(app, Atspi.Role.CHECK_BOX, "UOで再生されたサウンドを自動追加する")
    table = find(app, Atspi.Role.TABLE)
    check(auto_add is not None and table is not None, "the auto-add box and the sound list are there")
    rows = lambda: table.get_table_iface().get_n_rows()  # noqa: E731
    action(auto_add, "Toggle")
    check(wait_for(lambda: has(auto_add, Atspi.StateType.CHECKED)), "Toggle ticks the auto-add box")
    check(wait_for(lambda: rows() > 0), f"played sounds are listed once it is ticked ({rows()} rows)")

    cell = table.get_table_iface().get_accessible_at(0, 0)
    # Qt 6.4's bridge passes no CHECKABLE state on, not even for a check box: the role tells.
    check(has(cell, Atspi.StateType.CHECKABLE) or cell.get_role() == Atspi.Role.CHECK_BOX,
          f"row 0's box ({cell.get_name()}) is checkable (role {cell.get_role().value_nick})")
    check(not has(cell, Atspi.StateType.CHECKED), "row 0's box starts unticked")
    action(cell, "Toggle")
    check(wait_for(lambda: has(table.get_table_iface().get_accessible_at(0, 0), Atspi.StateType.CHECKED)),
          "Toggle on row 0's box ticks it")

    action(auto_add, "Toggle")
    check(wait_for(lambda: not has(auto_add, Atspi.StateType.CHECKED)), "Toggle unticks the auto-add box")
    listed = rows()
    time.sleep(3)
    check(rows() == listed, f"no sound is listed once it is unticked ({rows()} rows)")
    print(f"{failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
