#!/usr/bin/env python3
"""The peer the cold-path benchmark compares with: python-ldap walking the
groups of SIP users the way the library does (the user by SIP address, the
primary group by objectSid, then memberOf depth first, each group's GUID
once), one synchronous read at a time.

Modes (times in seconds, printed as one JSON object):
  first  for each repetition and address: connect, bind and walk on a new
         connection ("first": [[seconds per address] per repetition])
  open   one connection; each address walked with nothing remembered,
         repeatedly ("open": [[seconds per address] per repetition])
  pass   one connection; every address once, in order, remembering users,
         primary groups and groups across the pass as the library's caches
         do ("pass": seconds, "reads": directory reads)
"""

import argparse
import json
import sys
import time

import ldap
import ldap.filter

USER_FILTER = ("(&(|(&(objectClass=user)(objectCategory=person))(&(objectClass=contact)(objectCategory=person)))"
               "(msRTCSIP-PrimaryUserAddress=%s))")
USER_ATTRIBUTES = ["objectGUID", "name", "distinguishedName", "memberOf", "primaryGroupID", "objectSid",
                   "proxyAddresses", "mail"]
GROUP_ATTRIBUTES = ["objectGUID", "distinguishedName", "memberOf", "groupType"]


def first_value(entry, name):
    for key, values in entry.items():
        if key.lower() == name.lower() and values:
            return values[0]
    return None


def all_values(entry, name):
    for key, values in entry.items():
        if key.lower() == name.lower():
            return values
    return []


class Walker:
    def __init__(self, connection, base, remember):
        self.connection = connection
        self.base = base
        self.remember = remember
        self.users, self.primary_groups, self.groups = {}, {}, {}
        self.reads = 0

    def _one(self, base, scope, filterstr, attributes):
        self.reads += 1
        try:
            found = self.connection.search_s(base, scope, filterstr, attributes)
        except ldap.NO_SUCH_OBJECT:
            return None
        for dn, entry in found:
            if dn is not None:
                return entry
        return None

    def _cached(self, cache, key, read):
        if self.remember and key in cache:
            return cache[key]
        entry = read()
        if self.remember:
            cache[key] = entry
        return entry

    def resolve(self, sip):
        guids = []
        user = self._cached(self.users, sip.upper(), lambda: self._one(
            self.base, ldap.SCOPE_SUBTREE, USER_FILTER % ldap.filter.escape_filter_chars(sip), USER_ATTRIBUTES))
        if user is None:
            return guids
        guid = first_value(user, "objectGUID")
        if guid is not None:
            guids.append(guid.hex())
        sid, rid = first_value(user, "objectSid"), first_value(user, "primaryGroupID")
        primary = None
        if sid is not None and rid is not None:
            group_sid = sid[:-4] + int(rid).to_bytes(4, "little")
            key = "".join("\\%02X" % byte for byte in group_sid)
            primary = self._cached(self.primary_groups, key, lambda: self._one(
                self.base, ldap.SCOPE_SUBTREE, "(&(objectClass=group)(objectSid=%s))" % key, GROUP_ATTRIBUTES))
            if primary is not None and first_value(primary, "objectGUID") is not None:
                guids.append(first_value(primary, "objectGUID").hex())
        for parent in (all_values(primary, "memberOf") if primary else []) + all_values(user, "memberOf"):
            self._walk(parent.decode(), guids)
        return guids

    def _walk(self, dn, guids):
        group = self._cached(self.groups, dn.upper(), lambda: self._one(
            dn, ldap.SCOPE_BASE, "(objectClass=*)", GROUP_ATTRIBUTES))
        if group is None:
            return
        guid = first_value(group, "objectGUID")
        if guid is not None:
            if guid.hex() in guids:
                return
            guids.append(guid.hex())
        for parent in all_values(group, "memberOf"):
            self._walk(parent.decode(), guids)


def connect(arguments):
    connection = ldap.initialize(arguments.uri)
    connection.set_option(ldap.OPT_PROTOCOL_VERSION, 3)
    connection.set_option(ldap.OPT_REFERRALS, 0)
    password = ""
    if arguments.password_file:
        with open(arguments.password_file) as file:
            password = file.readline().rstrip("\n")
    connection.simple_bind_s(arguments.bind_dn or "", password)
    return connection


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--uri", required=True)
    parser.add_argument("--bind-dn", default="")
    parser.add_argument("--password-file", default="")
    parser.add_argument("--base", default="")
    parser.add_argument("--mode", choices=["first", "open", "pass"], required=True)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("sips", nargs="+")
    arguments = parser.parse_args()

    if arguments.mode == "first":
        rounds = []
        for _ in range(arguments.repeat):
            times = []
            for sip in arguments.sips:
                start = time.perf_counter()
                connection = connect(arguments)
                Walker(connection, arguments.base, False).resolve(sip)
                times.append(time.perf_counter() - start)
                connection.unbind_s()
            rounds.append(times)
        print(json.dumps({"first": rounds}))
    elif arguments.mode == "open":
        connection = connect(arguments)
        rounds = []
        for _ in range(arguments.repeat):
            times = []
            for sip in arguments.sips:
                start = time.perf_counter()
                Walker(connection, arguments.base, False).resolve(sip)
                times.append(time.perf_counter() - start)
            rounds.append(times)
        print(json.dumps({"open": rounds}))
    else:
        connection = connect(arguments)
        walker = Walker(connection, arguments.base, True)
        start = time.perf_counter()
        for sip in arguments.sips:
            walker.resolve(sip)
        print(json.dumps({"pass": time.perf_counter() - start, "reads": walker.reads}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
