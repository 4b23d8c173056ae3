#!/usr/bin/env python3
"""The GUID-list walk of the library in python-ldap, for the batch benchmark
(bench/upm_batch_bench.cc): for each SIP address read from standard input,
the user by its SIP address, the primary group by its objectSid, then the
groups reached through memberOf (the primary group's, then the user's),
depth first, each group's GUID once. Group and primary-group records are
kept for the whole run, as the library's caches keep them, so it makes the
reads a cold pass of the library makes. One connection, one thread.

    python_ldap_walk.py URI BIND_DN PASSWORD_FILE BASE_DN < addresses

Prints "SIP GUID GUID ..." (32 lower-case hex digits each, the objectGUID's
bytes in order; nothing after the address when the user is not found) per
address, then "reads N" on the last line.
"""

import struct
import sys

import ldap
from ldap.filter import escape_filter_chars

USER_FILTER = ("(&(|(&(objectClass=user)(objectCategory=person))(&(objectClass=contact)(objectCategory=person)))"
               "(msRTCSIP-PrimaryUserAddress=%s))")
USER_ATTRIBUTES = ["objectGUID", "name", "distinguishedName", "memberOf", "primaryGroupID", "objectSid",
                   "proxyAddresses", "mail"]
GROUP_ATTRIBUTES = ["objectGUID", "distinguishedName", "memberOf", "groupType"]


class Walker:
    def __init__(self, uri, bind_dn, password, base):
        self.conn = ldap.initialize(uri)
        self.conn.protocol_version = 3
        self.conn.set_option(ldap.OPT_REFERRALS, 0)
        self.conn.simple_bind_s(bind_dn, password)
        self.base = base
        self.groups = {}           # DN (upper case) -> (guid, [memberOf])
        self.primary_groups = {}   # objectSid filter value -> (guid, [memberOf])
        self.reads = 0

    def _search(self, base, scope, filterstr, attributes):
        self.reads += 1
        found = self.conn.search_s(base, scope, filterstr, attributes)
        return found[0][1] if found else None

    def _group(self, dn):
        key = dn.upper()
        if key not in self.groups:
            try:
                entry = self._search(dn, ldap.SCOPE_BASE, "(objectClass=*)", GROUP_ATTRIBUTES)
            except ldap.NO_SUCH_OBJECT:
                entry = None
            self.groups[key] = (entry["objectGUID"][0].hex() if entry and "objectGUID" in entry else None,
                                [v.decode() for v in entry.get("memberOf", [])] if entry else [])
        return self.groups[key]

    def _walk(self, dn, guids):
        guid, parents = self._group(dn)
        if guid is not None:
            if guid in guids:
                return  # a duplicate or a cycle ends the branch
            guids.append(guid)
        for parent in parents:
            self._walk(parent, guids)

    def guids(self, sip):
        user = self._search(self.base, ldap.SCOPE_SUBTREE, USER_FILTER % escape_filter_chars(sip),
                            USER_ATTRIBUTES)
        if not user or "objectGUID" not in user:
            return None
        guids = [user["objectGUID"][0].hex()]
        parents = []
        if "objectSid" in user and "primaryGroupID" in user:
            sid = bytearray(user["objectSid"][0])
            sid[-4:] = struct.pack("<I", int(user["primaryGroupID"][0]))
            key = "".join("\\%02x" % b for b in sid)
            if key not in self.primary_groups:
                group = self._search(self.base, ldap.SCOPE_SUBTREE, "(&(objectClass=group)(objectSid=%s))" % key,
                                     GROUP_ATTRIBUTES)
                self.primary_groups[key] = (group["objectGUID"][0].hex() if group else None,
                                            [v.decode() for v in group.get("memberOf", [])] if group else [])
            primary_guid, parents = self.primary_groups[key]
            if primary_guid is not None:
                guids.append(primary_guid)
        for dn in parents + [v.decode() for v in user.get("memberOf", [])]:
            self._walk(dn, guids)
        return guids


def main(uri, bind_dn, password_file, base):
    with open(password_file, encoding="utf-8") as f:
        password = f.read().strip("\n")
    walker = Walker(uri, bind_dn, password, base)
    out = []
    for line in sys.stdin:
        sip = line.strip()
        if not sip:
            continue
        guids = walker.guids(sip)
        out.append(" ".join([sip] + (guids or [])))
    out.append("reads %d" % walker.reads)
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
