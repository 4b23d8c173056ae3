#!/usr/bin/env python3
"""Times the python-ldap walk of bench/python_ldap_walk.py for the cold-path
benchmark (bench/cold_path_bench.cc): the peer it compares the library with.

    python_ldap_timing.py URI BIND_DN PASSWORD_FILE BASE_DN MODE REPEAT SIP...

MODE (times in seconds, printed as one JSON object):
  first  for each repetition and address: connect, bind and walk on a new
         connection ("first": [[seconds per address] per repetition])
  open   one connection; each address walked with nothing remembered,
         REPEAT times ("open": [[seconds per address] per repetition])
  pass   one connection; every address once, in order, remembering groups
         and primary groups across the pass as the library's caches do
         ("pass": seconds, "reads": directory reads)
BIND_DN and PASSWORD_FILE may be empty: an anonymous bind.
"""

import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from python_ldap_walk import Walker  # noqa: E402


def main(uri, bind_dn, password_file, base, mode, repeat, *sips):
    password = ""
    if password_file:
        with open(password_file, encoding="utf-8") as f:
            password = f.read().strip("\n")
    repeat = int(repeat)
    if mode == "first":
        rounds = []
        for _ in range(repeat):
            times = []
            for sip in sips:
                start = time.perf_counter()
                walker = Walker(uri, bind_dn, password, base)
                walker.guids(sip)
                times.append(time.perf_counter() - start)
                walker.conn.unbind_s()
            rounds.append(times)
        print(json.dumps({"first": rounds}))
    elif mode == "open":
        walker = Walker(uri, bind_dn, password, base)
        rounds = []
        for _ in range(repeat):
            times = []
            for sip in sips:
                walker.groups, walker.primary_groups = {}, {}
                start = time.perf_counter()
                walker.guids(sip)
                times.append(time.perf_counter() - start)
            rounds.append(times)
        print(json.dumps({"open": rounds}))
    elif mode == "pass":
        walker = Walker(uri, bind_dn, password, base)
        start = time.perf_counter()
        for sip in sips:
            walker.guids(sip)
        print(json.dumps({"pass": time.perf_counter() - start, "reads": walker.reads}))
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 8:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
