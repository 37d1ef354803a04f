#!/usr/bin/env python3
"""Clicks rows' check boxes in the real window while sounds come in, as a user would (xdotool, the
button held about 0.13 s), and counts the clicks that ticked or unticked the box. Run by
tools/measure-row-clicks.sh, which starts Kestrune and the simulated game."""
import random
import subprocess
import sys
import time

import warnings

import gi

warnings.simplefilter("ignore", DeprecationWarning)
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def find(node, role, name=None, depth=0):
    if node.get_role() == role and (name is None or node.get_name() == name):
        return node
    if depth > 12 or node.get_role() == Atspi.Role.TABLE:
        return None
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        found = child and find(child, role, name, depth + 1)
        if found:
            return found
    return None


def app():
    for _ in range(100):
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            child = desktop.get_child_at_index(i)
            if child is not None and child.get_name() in ("kestrune", "Kestrune") and find(child, Atspi.Role.TABLE):
                return child
        time.sleep(0.2)
    raise SystemExit("Kestrune is not on the accessibility bus")


def checked(cell):
    return cell.get_state_set().contains(Atspi.StateType.CHECKED)


def click(x, y):
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "mousedown", "1", "sleep", "0.13", "mouseup", "1"],
                   check=True)


def main():
    label, clicks = sys.argv[1], int(sys.argv[2])
    kestrune = app()
    table = find(kestrune, Atspi.Role.TABLE)
    box = find(kestrune, Atspi.Role.CHECK_BOX, "UOで再生されたサウンドを自動追加する")
    if not box.get_state_set().contains(Atspi.StateType.CHECKED):
        place = box.get_component_iface().get_extents(Atspi.CoordType.SCREEN)
        click(place.x + 8, place.y + place.height // 2)
    cells = table.get_table_iface()
    for _ in range(100):  # the first sounds are listed
        if cells.get_n_rows() >= 3:
            break
        time.sleep(0.2)
    if cells.get_n_rows() == 0:
        raise SystemExit(f"{label}: no rows to click")
    view = table.get_component_iface().get_extents(Atspi.CoordType.SCREEN)
    hits = 0
    tried = 0
    rng = random.Random(5)
    while tried < clicks:
        rows = cells.get_n_rows()
        visible = [r for r in range(rows)
                   if cells.get_accessible_at(r, 0).get_state_set().contains(Atspi.StateType.SHOWING)]
        if not visible:
            time.sleep(0.5)
            continue
        cell = cells.get_accessible_at(rng.choice(visible), 0)
        place = cell.get_component_iface().get_extents(Atspi.CoordType.SCREEN)
        if place.y < view.y or place.y + place.height > view.y + view.height:
            time.sleep(0.05)
            continue
        before = checked(cell)
        x, y = place.x + 9, place.y + place.height // 2  # the box stands at the cell's left
        click(x, y)
        time.sleep(0.4)
        tried += 1
        hits += checked(cell) != before
    print(f"{label}: {hits} of {tried} clicks ticked or unticked the box")


if __name__ == "__main__":
    main()
