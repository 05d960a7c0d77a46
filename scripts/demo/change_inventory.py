#!/usr/bin/env python3
"""Changes the demo database the way a day of inventory scans would.

    change_inventory.py DATABASE

Upgrades the operating system of three computers, adds one computer with two
applications, and removes one installed application. The keys of the new records sort
last and the removed one is the last key, so the pages of 100 rows that mode 7 compares
do not shift. Prints what it changed.
"""

import sqlite3
import sys


def main():
    db = sqlite3.connect(sys.argv[1])
    upgraded = [row[0] for row in db.execute(
        "SELECT tName FROM computers WHERE tOS = 'Windows 10 Enterprise' ORDER BY tName LIMIT 3")]
    db.executemany(
        "UPDATE computers SET tOS = 'Windows 11 Pro', tOSVersion = '10.0.22631' WHERE tName = ?",
        [(name,) for name in upgraded])
    removed = db.execute(
        "SELECT tSID, tName FROM applications WHERE dInstalled >= '2022-01-01' "
        "ORDER BY tSID DESC LIMIT 1").fetchone()
    db.execute("DELETE FROM applications WHERE tSID = ?", (removed[0],))
    new_sid = "{FFFFFFFF-0000-4000-8000-00000000D300}"
    db.execute(
        "INSERT INTO computers VALUES(?, 'BER-WS9999', 'corp.example.com', 'BER', "
        "'Windows 11 Pro', '10.0.22631', 'Lenovo', 'ThinkPad T14 Gen 4', 8, 16384, 512, "
        "'2024-10-01 08:15:00')", (new_sid,))
    db.executemany(
        "INSERT INTO applications VALUES(?, ?, ?, ?, ?, '2024-10-01', ?)",
        [("{FFFFFFFF-0000-4000-8000-0000000A0001}", new_sid, "Mozilla Firefox", "Mozilla",
          "130.0.1", 250000),
         ("{FFFFFFFF-0000-4000-8000-0000000A0002}", new_sid, "7-Zip", "Igor Pavlov", "24.08",
          5600)])
    db.commit()
    db.close()
    print("upgraded %s to Windows 11; added computer BER-WS9999 with 2 applications; "
          "removed %s %s" % (", ".join(upgraded), removed[1], removed[0]))


if __name__ == "__main__":
    main()
