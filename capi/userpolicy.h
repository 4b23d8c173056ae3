/* The C interface of the userpolicy library: plain C types only, so that a
 * host written in C, or in any language that can call C (Python's ctypes,
 * Go's cgo, Rust's FFI), uses the library without our C++ compiler's ABI.
 * It answers the same questions as the C++ interface (the resolution
 * helpers, the three managers, the counters) and gives the same answers.
 *
 *   up_error* error = NULL;
 *   if (up_start(NULL, &error) != UP_OK) { fprintf(stderr, "%s\n", error->message); ... }
 *   up_string_list* guids = NULL;
 *   if (up_get_guids("sip:ann@example.test", &guids, &error) == UP_OK) {
 *     for (size_t i = 0; i < guids->count; ++i) puts(guids->items[i]);
 *     up_free_string_list(guids);
 *   }
 *   up_stop(NULL);
 *
 * Text. Every string in and out is UTF-8 and NUL-terminated.
 *
 * Results. Every function that can fail returns an up_status; UP_OK is 0.
 * Each sets its out-parameters to null (or zero), and *error to null when
 * `error` is not null, before anything else. On failure they stay so, and
 * *error receives an up_error describing the failure (status, the
 * library's own error code, and a one-line message naming the function,
 * what it was asked about and what was wrong: key, server, LDAP result;
 * never a secret), which the caller frees with up_free_error. Everything a
 * function hands out is allocated by the library and freed by the caller
 * with the matching up_free_* function; each of those accepts null. No
 * exception ever leaves the library: errors of the directory become
 * UP_DIRECTORY_ERROR (code: the directory error, e.g. -92003 server down,
 * -92004 timeout, -92005 bind refused), an object that is not there
 * UP_NOT_FOUND (-91008, -92001), unusable settings UP_CONFIG_ERROR, memory
 * shortage UP_OUT_OF_MEMORY (with nothing half handed out).
 *
 * Threads. After up_start, any number of threads may call every function
 * at once. up_start and up_stop are called by one thread at a time; calls
 * that overlap a stop either complete or fail with UP_NOT_STARTED, and
 * up_stop returns only after the calls it let complete have returned.
 */
#ifndef USERPOLICY_CAPI_USERPOLICY_H_
#define USERPOLICY_CAPI_USERPOLICY_H_

#include <stddef.h>
#include <stdint.h>

#include "platform/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Outcomes. Stable numbers: hosts and the command-line tool's exit codes
 * depend on them. */
typedef enum up_status {
  UP_OK = 0,
  UP_NOT_FOUND = 1,          /* the directory holds no such user or object */
  UP_INVALID_ARGUMENT = 2,   /* a null or malformed argument */
  UP_NOT_STARTED = 3,        /* no up_start, or after up_stop */
  UP_DIRECTORY_ERROR = 4,    /* the directory could not be read (unreachable,
                                timed out, refused the request) */
  UP_CONFIG_ERROR = 5,       /* the settings are unusable */
  UP_OUT_OF_MEMORY = 6,
  UP_INTERNAL_ERROR = 7      /* anything else; the message says what */
} up_status;

typedef struct up_error {
  int status;    /* an up_status other than UP_OK */
  int code;      /* the library's own code: a module exception code (e.g.
                    -91008), a directory error code, an HRESULT; 0 if none */
  char* message; /* one line, UTF-8 */
} up_error;

typedef struct up_string_list {
  size_t count;
  char** items;
} up_string_list;

/* One value of a directory attribute, with its variant type. */
typedef struct up_value {
  uint16_t vartype;     /* the VARIANT type: 8 VT_BSTR, 3 VT_I4, 20 VT_I8,
                           11 VT_BOOL, 8209 VT_ARRAY|VT_UI1, ... */
  char* text;           /* the value as text: strings as they are, integers
                           in decimal, booleans "TRUE"/"FALSE", bytes as
                           lower-case hex */
  unsigned char* bytes; /* VT_ARRAY|VT_UI1 only: the bytes; else null */
  size_t byte_count;
  int64_t integer;      /* integer and boolean types: the number (boolean
                           true is 1); else 0 */
} up_value;

typedef struct up_property {
  char* name;
  size_t value_count;
  up_value* values;
} up_property;

/* The record a manager returns for a key: its properties in order. */
typedef struct up_record {
  size_t property_count;
  up_property* properties;
} up_record;

/* The managers up_get_record asks: the module's three, and two that bind
 * any object (user, group, contact) by its GUID or by its path. */
typedef enum up_manager {
  UP_MANAGER_USER = 0,          /* key: a SIP address */
  UP_MANAGER_PRIMARY_GROUP = 1, /* key: the primary group's search string
                                   (its objectSid as escaped bytes) */
  UP_MANAGER_GROUP = 2,         /* key: a group's distinguished name */
  UP_MANAGER_GUID = 3,          /* key: an objectGUID as 32 hex digits, as
                                   up_get_guids gives it; bound as
                                   "<Global Catalog path>/<GUID=key>" */
  UP_MANAGER_PATH = 4           /* key: a path the directory binds without a
                                   server of its own: a distinguished name
                                   or "<GUID=32 hex digits>", read through the
                                   Global Catalog servers the library uses;
                                   every "/" in it is part of a name */
} up_manager;

/* The sixteen performance counters: per kind of lookup (all, user, primary
 * group, nested group), how many the directory and the caches answered and
 * their summed milliseconds. up_counter_info names them. */
typedef struct up_counters {
  uint32_t total_ds_access;
  int64_t total_ds_access_time_ms;
  uint32_t total_cache_access;
  int64_t total_cache_access_time_ms;
  uint32_t user_ds_access;
  int64_t user_ds_access_time_ms;
  uint32_t user_cache_access;
  int64_t user_cache_access_time_ms;
  uint32_t pgroup_ds_access;
  int64_t pgroup_ds_access_time_ms;
  uint32_t pgroup_cache_access;
  int64_t pgroup_cache_access_time_ms;
  uint32_t ngroup_ds_access;
  int64_t ngroup_ds_access_time_ms;
  uint32_t ngroup_cache_access;
  int64_t ngroup_cache_access_time_ms;
} up_counters;

/* One of the sixteen counters, as the library names it. */
typedef struct up_counter_info {
  const char* field; /* the up_counters member, also the counter's JSON key:
                        "user_ds_access", "user_ds_access_time_ms" */
  const char* key;   /* the metric key a count and its time share:
                        "user_ds_access" */
  const char* name;  /* display name: "User DS Access", "User DS Access Time" */
  const char* help;  /* one sentence */
  int milliseconds;  /* 1: a time in milliseconds (an int64_t member);
                        0: a count (a uint32_t member) */
} up_counter_info;

/* Process ids. */
typedef struct up_process_list {
  size_t count;
  int* pids;
} up_process_list;

/* What up_start uses instead of the defaults; any field may be null. */
typedef struct up_options {
  const char* settings_file; /* else $USERPOLICY_SETTINGS, else the default */
  const char* server;        /* "host[:port]", "ldap://host[:port]" or
                                "gc://host[:port]" (plain LDAP; TLS is set
                                in the settings file): the only Global
                                Catalog server, in place of the configured
                                ones (the file is not changed) */
  const char* log_level;     /* off | error | warning | info | trace */
  const char* log_file;      /* "stderr", "syslog" or a path */
} up_options;

/* How up_start_with_bind binds instead of the settings file's BindMethod,
 * KeytabFile and Principal; any field may be null (the file's value). */
typedef struct up_bind_options {
  const char* method;    /* "simple" or "gssapi" (Kerberos from a keytab,
                            signed or sealed) */
  const char* keytab;    /* gssapi: the keytab file with the service's keys */
  const char* principal; /* gssapi: "name" or "name@REALM"; else the
                            keytab's first principal */
} up_bind_options;

/* The library's version, "MAJOR.MINOR.PATCH". Never fails. */
USERPOLICY_EXPORT const char* up_version(void);
/* The name of an up_status ("UP_NOT_FOUND"); "UP_UNKNOWN" for others. */
USERPOLICY_EXPORT const char* up_status_name(int status);

/* Starts the module (as IPC_SERVER_Init does) with `options` (null: the
 * defaults). The options apply to this process from the start to the next
 * stop (the log's level and destination stay as set after it); the
 * settings file is never changed. UP_CONFIG_ERROR for unusable options, a
 * settings file that does not parse (or, when given, cannot be read), a
 * log file that cannot be opened for appending (log_file, else the
 * environment's USERPOLICY_LOG; the message names the path and why) or
 * bind settings that cannot be used (code -92009: an unknown BindMethod, a
 * KeytabFile that cannot be read as a keytab or lacks the Principal; the
 * message names the key), with nothing changed; UP_DIRECTORY_ERROR (code
 * -92008) when no Global
 * Catalog can be found, the message saying what each step found (see
 * up_discover); UP_INVALID_ARGUMENT when the module is started already. */
USERPOLICY_EXPORT int up_start(const up_options* options, up_error** error);
/* As up_start, with the fields `bind` sets (null: none) in place of the
 * settings file's until up_stop; an up_discover meanwhile binds with them
 * too. UP_CONFIG_ERROR naming the field for a method that is not "simple"
 * or "gssapi", a keytab or principal with the simple method, a keytab that
 * cannot be read or lacks the principal. */
USERPOLICY_EXPORT int up_start_with_bind(const up_options* options, const up_bind_options* bind, up_error** error);
/* Stops the module (IPC_SERVER_Deinit) once the calls in progress have
 * returned; later calls fail with UP_NOT_STARTED until the next up_start,
 * which starts with empty caches. UP_NOT_STARTED when not started. */
USERPOLICY_EXPORT int up_stop(up_error** error);

/* The GUID list of the user `sip_address`: the user's objectGUID, the
 * primary group's, then every group reached through memberOf, in that
 * order, as GetUserIdentityAndMembershipGuids gives it; each GUID as 32
 * lower-case hex digits in the objectGUID's byte order. UP_NOT_FOUND (code
 * -91008, and no list) for an address the directory does not hold. A
 * failure of any lookup of the walk fails the call (UP_DIRECTORY_ERROR, ...)
 * where the C++ helper would return the part it got; a memberOf value naming
 * a group the directory does not hold is passed over, as there. */
USERPOLICY_EXPORT int up_get_guids(const char* sip_address, up_string_list** guids, up_error** error);

/* The e-mail address of the user `sip_address`, as
 * GetEMailAddressBySipAddress gives it (never cut short). UP_NOT_FOUND when
 * the user (code -91008) or the address (code 0) is missing. */
USERPOLICY_EXPORT int up_get_email(const char* sip_address, char** email, up_error** error);

/* The record `manager` returns for `key`, and in *from_directory (may be
 * null) 1 when this call read the directory, 0 when a cache or another
 * thread's read answered. The lookup counts in the counters as the
 * resolution's own lookups do (UP_MANAGER_GUID and UP_MANAGER_PATH in the
 * totals only). A user or primary group the directory does not hold is an
 * empty record (property_count 0) with UP_OK, as the search managers cache
 * it; the other managers bind the object the key names, and one the
 * directory does not hold is UP_NOT_FOUND (code -92001).
 * UP_MANAGER_GUID and UP_MANAGER_PATH load the user's and the group's
 * attributes (objectGUID, name, distinguishedName, memberOf,
 * primaryGroupID, objectSid, proxyAddresses, mail, groupType: those the
 * object has) and keep what they read as the nested-group manager does
 * (NestedGroupCacheTimeout, NestedGroupCacheMaximum), each in a cache of its
 * own from up_start to up_stop. UP_INVALID_ARGUMENT for a GUID that is not
 * 32 hex digits, or a path naming a server ("GC://host/...": start the
 * library with that server and pass the object). */
USERPOLICY_EXPORT int up_get_record(int manager, const char* key, up_record** record, int* from_directory,
                                    up_error** error);

/* The key under which UP_MANAGER_PRIMARY_GROUP finds the primary group of
 * a user whose objectSid is `user_sid` (the SID string a user record holds,
 * "S-1-5-21-...") and whose primaryGroupID is `primary_group_id`: what
 * up_get_guids looks the primary group up by. UP_INVALID_ARGUMENT for a
 * malformed SID. */
USERPOLICY_EXPORT int up_primary_group_key(const char* user_sid, int32_t primary_group_id, char** key,
                                           up_error** error);

/* How the Global Catalog is found, step by step (the configured servers,
 * DNS SRV, the rootDSE), each step one line saying what it found, and once
 * one is found how the library binds to it (a real bind: "bind to
 * host:port: gssapi as svc@EXAMPLE.TEST, security strength factor 256
 * (sealed)", "simple as <DN>", "anonymous", or "failed: <why>"); and the
 * path found in *gc_path (null when none). UP_DIRECTORY_ERROR when no step
 * found one (the steps are still handed out). Does not need up_start. */
USERPOLICY_EXPORT int up_discover(char** gc_path, up_string_list** steps, up_error** error);
/* As up_discover with `options` (null: as up_discover), checked as up_start
 * checks them: the settings file and the server apply to this discovery
 * only; the log's level and destination are set as up_start sets them.
 * While the module is started, a settings file or server is
 * UP_INVALID_ARGUMENT (the started module's apply). */
USERPOLICY_EXPORT int up_discover_with_options(const up_options* options, char** gc_path, up_string_list** steps,
                                               up_error** error);
/* As up_discover_with_options, with the fields `bind` sets (null: none) in
 * place of the settings file's bind for this discovery (its last step
 * binds), checked as up_start_with_bind checks them; while the module is
 * started, a bind field is UP_INVALID_ARGUMENT too. */
USERPOLICY_EXPORT int up_discover_with_bind(const up_options* options, const up_bind_options* bind, char** gc_path,
                                            up_string_list** steps, up_error** error);

/* The counters of this process (all zero before up_start and after
 * up_stop), or of the process `pid` that publishes them (pid 0: this
 * process). UP_NOT_FOUND when that process publishes none. */
USERPOLICY_EXPORT int up_get_counters(int pid, up_counters* counters, up_error** error);

/* The number of counters in up_counters (16). Never fails. */
USERPOLICY_EXPORT size_t up_counter_count(void);
/* Counter `index` (0 to up_counter_count() - 1) in the order the module
 * publishes them (per kind of lookup: directory count and time, then cache
 * count and time), or null past the end. Static data: never freed, never
 * changed. */
USERPOLICY_EXPORT const up_counter_info* up_counter_info_at(size_t index);
/* The value of counter `index` in `counters` (a count widened); 0 for a
 * null `counters` or an index past the end. */
USERPOLICY_EXPORT int64_t up_counter_value(const up_counters* counters, size_t index);

/* The running processes whose counters up_get_counters reads now,
 * ascending: those that have the module started (this process among them
 * between up_start and up_stop). Counters left behind by a stopped module or
 * an ended process are passed over. An empty list when there is none. */
USERPOLICY_EXPORT int up_list_counter_processes(up_process_list** processes, up_error** error);

USERPOLICY_EXPORT void up_free_string(char* text);
USERPOLICY_EXPORT void up_free_string_list(up_string_list* list);
USERPOLICY_EXPORT void up_free_record(up_record* record);
USERPOLICY_EXPORT void up_free_error(up_error* error);
USERPOLICY_EXPORT void up_free_process_list(up_process_list* list);

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* USERPOLICY_CAPI_USERPOLICY_H_ */
