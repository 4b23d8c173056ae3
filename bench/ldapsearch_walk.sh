#!/usr/bin/env bash
# The GUID-list walk of the library as a shell loop of ldapsearch processes,
# for the batch benchmark (bench/upm_batch_bench.cc): for each SIP address
# read from standard input, one ldapsearch for the user, one for the primary
# group by its objectSid, one per group reached through memberOf (the
# primary group's, then the user's, depth first), each group's GUID once.
# Group and primary-group records are kept for the whole run, as the
# library's caches keep them, so it makes the reads a cold pass of the
# library makes, each in a process of its own.
#
#   ldapsearch_walk.sh URI BIND_DN PASSWORD_FILE BASE_DN < addresses
#
# Prints "SIP GUID GUID ..." per address (each objectGUID as ldapsearch
# writes it, base64; nothing after the address when the user is not found),
# then "reads N". The password stays in its file (ldapsearch -y).
set -uo pipefail
uri=$1 bind_dn=$2 password_file=$3 base=$4
user_filter='(&(|(&(objectClass=user)(objectCategory=person))(&(objectClass=contact)(objectCategory=person)))(msRTCSIP-PrimaryUserAddress=%s))'
reads=0

# search BASE SCOPE FILTER ATTRIBUTE...: one ldapsearch; its LDIF, unwrapped.
# (It runs in a process substitution: parse, in this shell, counts it.)
search() {
  local search_base=$1 scope=$2 filter=$3
  shift 3
  ldapsearch -x -LLL -o ldif-wrap=no -H "$uri" -D "$bind_dn" -y "$password_file" -b "$search_base" -s "$scope" \
    "$filter" "$@" 2>/dev/null
}

# Records read so far: a group's GUID and its memberOf values, one a line.
declare -A group_guid group_parents primary_guid primary_parents

# parse: sets guid, sid, primary_id and parents from the LDIF of one search
# on standard input, and counts the search.
parse() {
  reads=$((reads + 1))
  guid="" sid="" primary_id="" parents=""
  local line
  while IFS= read -r line; do
    case $line in
      "objectGUID:: "*) guid=${line#objectGUID:: } ;;
      "objectSid:: "*) sid=${line#objectSid:: } ;;
      "primaryGroupID: "*) primary_id=${line#primaryGroupID: } ;;
      "memberOf: "*) parents+=${line#memberOf: }$'\n' ;;
    esac
  done
}

read_group() {
  local dn=$1 key=${1^^}
  [ -n "${group_guid[$key]+set}" ] && return
  parse < <(search "$dn" base '(objectClass=*)' objectGUID distinguishedName memberOf groupType)
  group_guid[$key]=$guid
  group_parents[$key]=$parents
}

# walk DN: appends the GUIDs of DN and the groups above it to `list`.
walk() {
  local dn=$1 key=${1^^} parent
  read_group "$dn"
  local found=${group_guid[$key]}
  if [ -n "$found" ]; then
    case " $list " in *" $found "*) return ;; esac  # a duplicate or a cycle ends the branch
    list+=" $found"
  fi
  while IFS= read -r parent; do
    [ -n "$parent" ] && walk "$parent"
  done <<<"${group_parents[$key]}"
}

# The objectSid filter value of the group `rid` in the domain of the SID
# `sid` (base64): the SID's bytes with the last sub-authority replaced.
primary_key() {
  local hex
  hex=$(printf '%s' "$1" | base64 -d | od -An -v -tx1 | tr -d ' \n')
  hex=${hex:0:${#hex}-8}$(printf '%02x%02x%02x%02x' $(($2 & 255)) $((($2 >> 8) & 255)) $((($2 >> 16) & 255)) \
    $((($2 >> 24) & 255)))
  local i value=""
  for ((i = 0; i < ${#hex}; i += 2)); do value+="\\${hex:i:2}"; done
  printf '%s' "$value"
}

while IFS= read -r sip; do
  [ -z "$sip" ] && continue
  parse < <(search "$base" sub "$(printf "$user_filter" "$sip")" objectGUID name distinguishedName memberOf \
    primaryGroupID objectSid proxyAddresses mail)
  if [ -z "$guid" ]; then
    echo "$sip"
    continue
  fi
  list=" $guid" user_parents=$parents pgroup_parents="" rid=$primary_id
  if [ -n "$sid" ] && [ -n "$rid" ]; then
    # Within one domain the RID names the primary group; its filter is built once.
    if [ -z "${primary_guid[$rid]+set}" ]; then
      parse < <(search "$base" sub "(&(objectClass=group)(objectSid=$(primary_key "$sid" "$rid")))" \
        objectGUID distinguishedName memberOf groupType)
      primary_guid[$rid]=$guid
      primary_parents[$rid]=$parents
    fi
    [ -n "${primary_guid[$rid]}" ] && list+=" ${primary_guid[$rid]}"
    pgroup_parents=${primary_parents[$rid]}
  fi
  while IFS= read -r dn; do
    [ -n "$dn" ] && walk "$dn"
  done <<<"$pgroup_parents$user_parents"
  echo "$sip$list"
done
echo "reads $reads"
