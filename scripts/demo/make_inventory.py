#!/usr/bin/env python3
"""Creates the demo's SQLite database: computers and the applications installed on them.

    make_inventory.py DATABASE [--computers N]

Every computer and every installation has a text key tSID. The data is made up but
looks like an inventory: host names, domains, operating systems, hardware, and
installed applications with publisher, version and install date. The same arguments
always give the same data. An existing DATABASE is replaced.
"""

import argparse
import datetime
import os
import random
import sqlite3
import uuid

DOMAINS = ["corp.example.com", "lab.example.com", "eu.example.com"]
SITES = ["BER", "HAM", "MUC", "VIE", "ZRH"]
OPERATING_SYSTEMS = [
    ("Windows 11 Pro", "10.0.22631"),
    ("Windows 10 Enterprise", "10.0.19045"),
    ("Windows Server 2022", "10.0.20348"),
    ("Ubuntu 22.04 LTS", "5.15.0"),
    ("Debian 12", "6.1.0"),
]
MODELS = [
    ("Dell", "Latitude 7440"),
    ("Lenovo", "ThinkPad T14 Gen 4"),
    ("HP", "EliteBook 840 G10"),
    ("Dell", "OptiPlex 7010"),
    ("Supermicro", "SYS-1019P"),
]
APPLICATIONS = [
    ("Mozilla Firefox", "Mozilla", ["128.0", "129.0.2", "130.0.1"]),
    ("Google Chrome", "Google LLC", ["127.0.6533.120", "128.0.6613.85"]),
    ("7-Zip", "Igor Pavlov", ["23.01", "24.08"]),
    ("LibreOffice", "The Document Foundation", ["7.6.7", "24.2.5"]),
    ("Microsoft Office Professional Plus 2021", "Microsoft Corporation", ["16.0.14332"]),
    ("Adobe Acrobat Reader", "Adobe", ["24.002.21005", "24.003.20054"]),
    ("VLC media player", "VideoLAN", ["3.0.20", "3.0.21"]),
    ("Notepad++", "Notepad++ Team", ["8.6.9", "8.7"]),
    ("Git", "The Git Development Community", ["2.45.2", "2.46.0"]),
    ("Python 3.12", "Python Software Foundation", ["3.12.4", "3.12.5"]),
    ("Visual Studio Code", "Microsoft Corporation", ["1.91.1", "1.92.2"]),
    ("Zoom Workplace", "Zoom Video Communications", ["6.1.6", "6.2.0"]),
    ("KeePassXC", "KeePassXC Team", ["2.7.9"]),
    ("WinSCP", "Martin Přikryl", ["6.3.4"]),
    ("Paint.NET", "dotPDN LLC", ["5.0.13"]),
    ("Citrix Workspace", "Citrix Systems", ["24.5.0", "24.7.0"]),
]


def key(rng):
    """A tSID: a GUID in braces, as the inventory agents write it."""
    return "{" + str(uuid.UUID(int=rng.getrandbits(128), version=4)).upper() + "}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("database")
    parser.add_argument("--computers", type=int, default=600)
    args = parser.parse_args()

    rng = random.Random(20240229)
    if os.path.exists(args.database):
        os.remove(args.database)
    db = sqlite3.connect(args.database)
    db.executescript(
        """
        CREATE TABLE computers(
          tSID TEXT PRIMARY KEY, tName VARCHAR(63), tDomain VARCHAR(255), tSite CHAR(3),
          tOS VARCHAR(100), tOSVersion VARCHAR(40), tManufacturer VARCHAR(100),
          tModel VARCHAR(100), nCores INTEGER, nRamMB INTEGER, nDiskGB INTEGER,
          dLastSeen DATETIME);
        CREATE TABLE applications(
          tSID TEXT PRIMARY KEY, tComputerSID TEXT REFERENCES computers(tSID),
          tName VARCHAR(255), tPublisher VARCHAR(255), tVersion VARCHAR(40),
          dInstalled DATE, nSizeKB INTEGER);
        """
    )
    seen_base = datetime.datetime(2024, 9, 30, 18, 0, 0)
    installed_base = datetime.date(2021, 1, 1)
    computers = []
    applications = []
    for n in range(args.computers):
        site = rng.choice(SITES)
        os_name, os_version = rng.choice(OPERATING_SYSTEMS)
        maker, model = rng.choice(MODELS)
        server = os_name.startswith("Windows Server") or maker == "Supermicro"
        sid = key(rng)
        computers.append((
            sid,
            "%s-%s%04d" % (site, "SRV" if server else "WS", n + 1),
            rng.choice(DOMAINS),
            site,
            os_name,
            os_version,
            maker,
            model,
            rng.choice([16, 32, 64]) if server else rng.choice([4, 8, 12]),
            rng.choice([65536, 131072]) if server else rng.choice([8192, 16384, 32768]),
            rng.choice([480, 960, 1920]) if server else rng.choice([256, 512, 1024]),
            (seen_base - datetime.timedelta(minutes=rng.randrange(60 * 24 * 30))).isoformat(" "),
        ))
        for name, publisher, versions in rng.sample(APPLICATIONS, rng.randint(3, 10)):
            installed = installed_base + datetime.timedelta(days=rng.randrange(1300))
            applications.append((
                key(rng), sid, name, publisher, rng.choice(versions), installed.isoformat(),
                rng.randrange(2000, 900000),
            ))
    db.executemany("INSERT INTO computers VALUES(?,?,?,?,?,?,?,?,?,?,?,?)", computers)
    db.executemany("INSERT INTO applications VALUES(?,?,?,?,?,?,?)", applications)
    db.commit()
    db.close()
    print("%s: %d computers, %d installed applications"
          % (args.database, len(computers), len(applications)))


if __name__ == "__main__":
    main()
