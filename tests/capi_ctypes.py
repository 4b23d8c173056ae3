#!/usr/bin/env python3
"""Calls libuserpolicy.so from Python through ctypes, as a host in another
language would: only the C interface of capi/userpolicy.h, every type
declared here from the header, the library loaded by path.

    capi_ctypes.py LIBRARY SETTINGS_FILE EXPECTED_JSON

EXPECTED_JSON (written by capi_ctypes_test.cc from ldapsearch output):
    {"users": [{"sip": ..., "guids": [...], "email": ...}, ...],
     "unknown": "sip:...", "closed_server": "127.0.0.1:PORT"}
Exits 0 when every check holds; prints each failed check otherwise.
"""

import ctypes
import json
import os
import re
import sys

UP_OK, UP_NOT_FOUND, UP_INVALID_ARGUMENT, UP_NOT_STARTED = 0, 1, 2, 3
UP_DIRECTORY_ERROR, UP_CONFIG_ERROR, UP_OUT_OF_MEMORY, UP_INTERNAL_ERROR = 4, 5, 6, 7
UP_MANAGER_USER, UP_MANAGER_PRIMARY_GROUP, UP_MANAGER_GROUP, UP_MANAGER_GUID, UP_MANAGER_PATH = 0, 1, 2, 3, 4
VT_I4, VT_BSTR = 3, 8
STATUS_NAMES = ["UP_OK", "UP_NOT_FOUND", "UP_INVALID_ARGUMENT", "UP_NOT_STARTED", "UP_DIRECTORY_ERROR",
                "UP_CONFIG_ERROR", "UP_OUT_OF_MEMORY", "UP_INTERNAL_ERROR"]


class Error(ctypes.Structure):
    _fields_ = [("status", ctypes.c_int), ("code", ctypes.c_int), ("message", ctypes.c_char_p)]


class StringList(ctypes.Structure):
    _fields_ = [("count", ctypes.c_size_t), ("items", ctypes.POINTER(ctypes.c_char_p))]


class Value(ctypes.Structure):
    _fields_ = [("vartype", ctypes.c_uint16), ("text", ctypes.c_char_p),
                ("bytes", ctypes.POINTER(ctypes.c_ubyte)), ("byte_count", ctypes.c_size_t),
                ("integer", ctypes.c_int64)]


class Property(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("value_count", ctypes.c_size_t), ("values", ctypes.POINTER(Value))]


class Record(ctypes.Structure):
    _fields_ = [("property_count", ctypes.c_size_t), ("properties", ctypes.POINTER(Property))]


class Counters(ctypes.Structure):
    _fields_ = [(name, kind) for group in ("total", "user", "pgroup", "ngroup") for name, kind in (
        (group + "_ds_access", ctypes.c_uint32), (group + "_ds_access_time_ms", ctypes.c_int64),
        (group + "_cache_access", ctypes.c_uint32), (group + "_cache_access_time_ms", ctypes.c_int64))]


class CounterInfo(ctypes.Structure):
    _fields_ = [("field", ctypes.c_char_p), ("key", ctypes.c_char_p), ("name", ctypes.c_char_p),
                ("help", ctypes.c_char_p), ("milliseconds", ctypes.c_int)]


class ProcessList(ctypes.Structure):
    _fields_ = [("count", ctypes.c_size_t), ("pids", ctypes.POINTER(ctypes.c_int))]


class Options(ctypes.Structure):
    _fields_ = [("settings_file", ctypes.c_char_p), ("server", ctypes.c_char_p),
                ("log_level", ctypes.c_char_p), ("log_file", ctypes.c_char_p)]


ErrorOut = ctypes.POINTER(ctypes.POINTER(Error))
# Strings the library hands out are freed with up_free_string, so they are
# received as raw pointers (c_char_p would copy and lose the pointer).
OwnedText = ctypes.POINTER(ctypes.c_char)


def declare(lib):
    signatures = {
        "up_version": (ctypes.c_char_p, []),
        "up_status_name": (ctypes.c_char_p, [ctypes.c_int]),
        "up_start": (ctypes.c_int, [ctypes.POINTER(Options), ErrorOut]),
        "up_stop": (ctypes.c_int, [ErrorOut]),
        "up_get_guids": (ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(ctypes.POINTER(StringList)), ErrorOut]),
        "up_get_email": (ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(OwnedText), ErrorOut]),
        "up_get_record": (ctypes.c_int, [ctypes.c_int, ctypes.c_char_p, ctypes.POINTER(ctypes.POINTER(Record)),
                                         ctypes.POINTER(ctypes.c_int), ErrorOut]),
        "up_primary_group_key": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int32, ctypes.POINTER(OwnedText),
                                                ErrorOut]),
        "up_discover": (ctypes.c_int, [ctypes.POINTER(OwnedText), ctypes.POINTER(ctypes.POINTER(StringList)),
                                       ErrorOut]),
        "up_get_counters": (ctypes.c_int, [ctypes.c_int, ctypes.POINTER(Counters), ErrorOut]),
        "up_counter_count": (ctypes.c_size_t, []),
        "up_counter_info_at": (ctypes.POINTER(CounterInfo), [ctypes.c_size_t]),
        "up_counter_value": (ctypes.c_int64, [ctypes.POINTER(Counters), ctypes.c_size_t]),
        "up_list_counter_processes": (ctypes.c_int, [ctypes.POINTER(ctypes.POINTER(ProcessList)), ErrorOut]),
        "up_free_process_list": (None, [ctypes.POINTER(ProcessList)]),
        "up_free_string": (None, [OwnedText]),
        "up_free_string_list": (None, [ctypes.POINTER(StringList)]),
        "up_free_record": (None, [ctypes.POINTER(Record)]),
        "up_free_error": (None, [ctypes.POINTER(Error)]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


class Failure(Exception):
    """A call that did not return UP_OK: its status and the error object's contents."""

    def __init__(self, status, error_status, code, message):
        super().__init__("%s (%d): %s" % (STATUS_NAMES[status] if 0 <= status < 8 else status, code, message))
        self.status, self.error_status, self.code, self.message = status, error_status, code, message


class Library:
    """The C interface with Python values in and out; every result freed."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        declare(self.lib)

    def _call(self, function, *args):
        error = ctypes.POINTER(Error)()
        status = function(*args, ctypes.byref(error))
        if status == UP_OK:
            if error:
                raise AssertionError("%s returned UP_OK with an error object" % function.__name__)
            return
        if not error:
            raise AssertionError("%s returned %d without an error object" % (function.__name__, status))
        try:
            raise Failure(status, error.contents.status, error.contents.code,
                          error.contents.message.decode("utf-8"))
        finally:
            self.lib.up_free_error(error)

    def _take_list(self, pointer):
        try:
            return [pointer.contents.items[i].decode("utf-8") for i in range(pointer.contents.count)]
        finally:
            self.lib.up_free_string_list(pointer)

    def _take_text(self, pointer):
        try:
            return ctypes.string_at(pointer).decode("utf-8")
        finally:
            self.lib.up_free_string(pointer)

    def start(self, settings_file=None, server=None):
        options = Options(settings_file.encode() if settings_file else None, server.encode() if server else None,
                          None, None)
        self._call(self.lib.up_start, ctypes.byref(options))

    def stop(self):
        self._call(self.lib.up_stop)

    def guids(self, sip):
        out = ctypes.POINTER(StringList)()
        self._call(self.lib.up_get_guids, None if sip is None else sip.encode(), ctypes.byref(out))
        return self._take_list(out)

    def email(self, sip):
        out = OwnedText()
        self._call(self.lib.up_get_email, sip.encode(), ctypes.byref(out))
        return self._take_text(out)

    def record(self, manager, key):
        """{name: [(vartype, text, integer, bytes), ...]} and whether the directory was read."""
        out = ctypes.POINTER(Record)()
        from_directory = ctypes.c_int(-1)
        self._call(self.lib.up_get_record, manager, key.encode(), ctypes.byref(out), ctypes.byref(from_directory))
        try:
            record = {}
            for p in range(out.contents.property_count):
                prop = out.contents.properties[p]
                values = []
                for v in range(prop.value_count):
                    value = prop.values[v]
                    values.append((value.vartype, value.text.decode("utf-8"), value.integer,
                                   bytes(value.bytes[:value.byte_count]) if value.bytes else None))
                record[prop.name.decode("utf-8")] = values
            return record, from_directory.value
        finally:
            self.lib.up_free_record(out)

    def primary_group_key(self, sid, rid):
        out = OwnedText()
        self._call(self.lib.up_primary_group_key, sid.encode(), rid, ctypes.byref(out))
        return self._take_text(out)

    def discover(self):
        path = OwnedText()
        steps = ctypes.POINTER(StringList)()
        try:
            self._call(self.lib.up_discover, ctypes.byref(path), ctypes.byref(steps))
        finally:
            found = self._take_text(path) if path else None
            lines = self._take_list(steps) if steps else None
        return found, lines

    def counters(self, pid=0):
        out = Counters()
        self._call(self.lib.up_get_counters, pid, ctypes.byref(out))
        return {name: getattr(out, name) for name, _ in Counters._fields_}

    def counter_values(self, pid=0):
        """{field: value} as the library names and reads them."""
        out = Counters()
        self._call(self.lib.up_get_counters, pid, ctypes.byref(out))
        return {self.lib.up_counter_info_at(i).contents.field.decode(): self.lib.up_counter_value(ctypes.byref(out), i)
                for i in range(self.lib.up_counter_count())}

    def counter_processes(self):
        out = ctypes.POINTER(ProcessList)()
        self._call(self.lib.up_list_counter_processes, ctypes.byref(out))
        try:
            return [out.contents.pids[i] for i in range(out.contents.count)]
        finally:
            self.lib.up_free_process_list(out)


class Checks:
    def __init__(self):
        self.failures = []

    def equal(self, what, got, expected):
        if got != expected:
            self.failures.append("%s: got %r, expected %r" % (what, got, expected))

    def true(self, what, condition):
        if not condition:
            self.failures.append(what)

    def fails(self, what, call, status, says):
        """`call` must raise Failure with `status` and a one-line message containing `says`."""
        try:
            call()
        except Failure as failure:
            self.equal(what + " status", failure.status, status)
            self.equal(what + " error.status", failure.error_status, status)
            self.true("%s: message %r does not say %r" % (what, failure.message, says), says in failure.message)
            self.true(what + ": message is not one line", "\n" not in failure.message)
            return failure
        self.failures.append(what + ": succeeded")
        return None


def main(library_path, settings_file, expected_path):
    # What a host in another language adds to capi_test: every structure,
    # as declared above from the header, carries the library's answers
    # through ctypes (lists, records with their values, counters in field
    # order, process lists, error objects).
    with open(expected_path, encoding="utf-8") as f:
        expected = json.load(f)
    up = Library(library_path)
    check = Checks()
    users = expected["users"]
    unknown = expected["unknown"]

    check.true("version %r" % up.lib.up_version(), re.fullmatch(rb"\d+\.\d+\.\d+", up.lib.up_version()))
    check.equal("up_status_name", up.lib.up_status_name(UP_DIRECTORY_ERROR), b"UP_DIRECTORY_ERROR")

    up.start(settings_file)
    for user in users:
        sip = user["sip"]
        if not user["guids"]:  # a SIP address on something the user filter does not match
            check.fails("guids of " + sip, lambda: up.guids(sip), UP_NOT_FOUND, sip)
            continue
        check.equal("guids of " + sip, up.guids(sip), user["guids"])
        if user["email"]:
            check.equal("email of " + sip, up.email(sip), user["email"])
        else:
            check.fails("email of " + sip, lambda: up.email(sip), UP_NOT_FOUND, "no SMTP address")

        # The user's record, and its primary group's through the key built from it.
        record, from_directory = up.record(UP_MANAGER_USER, sip)
        check.equal("record of %s read from" % sip, from_directory, 0)  # the lookups above cached it
        check.equal("objectGUID of " + sip, record["objectGUID"][0][:2], (VT_BSTR, user["guids"][0]))
        if "primaryGroupID" in record:
            vartype, text, number, _ = record["primaryGroupID"][0]
            check.equal("primaryGroupID type of " + sip, vartype, VT_I4)
            check.equal("primaryGroupID number of " + sip, str(number), text)
            key = up.primary_group_key(record["objectSid"][0][1], number)
            group, _ = up.record(UP_MANAGER_PRIMARY_GROUP, key)
            check.equal("primary group of " + sip, group["objectGUID"][0][1], user["guids"][1])
    check.fails("guids of nobody", lambda: up.guids(unknown), UP_NOT_FOUND, unknown)

    # Read through this file's Counters and through the library's own field
    # table: a misplaced field shows as a difference (what the values are is
    # capi_test's).
    counters = up.counters()
    check.true("counters moved", counters["user_ds_access"] > 0)
    check.equal("counters as the library names them", up.counter_values(), counters)
    check.true("this process publishes counters", os.getpid() in up.counter_processes())
    path, steps = up.discover()
    check.true("discovery found %r" % path, path is not None and path.startswith("GC://127.0.0.1:"))
    check.true("discovery binds: %r" % steps, steps and steps[-1].startswith("bind to 127.0.0.1:"))
    up.stop()

    # A server that does not answer: the directory's error, with the server
    # named, comes back as a status; nothing of C++ reaches Python.
    up.start(settings_file, expected["closed_server"])
    failure = check.fails("guids from a closed port", lambda: up.guids(users[0]["sip"]), UP_DIRECTORY_ERROR,
                          expected["closed_server"])
    if failure is not None:
        check.equal("code of the closed port", failure.code, -92003)
    up.stop()

    for line in check.failures:
        print("FAILED: " + line)
    print("%d users, %d failed checks" % (len(users), len(check.failures)))
    return 1 if check.failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
