#!/usr/bin/env bash
# A private MIT Kerberos KDC for tests: realm VGD.TEST, on a free loopback
# port, everything (database, stash, configuration, keytabs, credential
# caches, replay caches, log) inside one directory.
#
#   kdc.sh start DIR [CCACHE]   create DIR, start krb5kdc, create the principals,
#                               the keytabs and the agent's credential cache
#                               (default DIR/agent.ccache); writes DIR/kdc.env
#   kdc.sh kinit DIR CCACHE LIFETIME
#                               a new agent credential cache with that lifetime
#                               (kinit -l syntax, e.g. 5s)
#   kdc.sh stop DIR             stops the KDC this fixture started in DIR
#
# DIR/kdc.env holds KEY=VALUE lines: KRB5_CONFIG, KRB5_KDC_PROFILE,
# KRB5RCACHEDIR, KRB5CCNAME (the agent's cache), KRB5_KTNAME (the collectors'
# keytab), KDC_PORT, KDC_REALM, KDC_COLLECTOR1, KDC_COLLECTOR2, KDC_AGENT,
# KDC_AGENT_KEYTAB. A script may also source this file and call kdc_start,
# kdc_kinit and kdc_stop; kdc_start then exports those variables.
# Exit status 77 from start: krb5kdc is not installed (a missing kdb5_util,
# kadmin.local or kinit beside it is a failure, status 1).

KDC_REALM=VGD.TEST
KDC_COLLECTOR1=vgcollector/collector1.vgd.test@$KDC_REALM
KDC_COLLECTOR2=vgcollector/collector2.vgd.test@$KDC_REALM
KDC_AGENT=host/agent.vgd.test@$KDC_REALM


# A port nobody listens on now, as far as `ss` (when installed) tells; the KDC
# binds it a moment later, and kdc_start tries another port if that fails.
kdc_free_port() {
  local port
  for _ in $(seq 1 50); do
    port=$((20000 + RANDOM % 30000))
    if command -v ss > /dev/null; then
      ss -Htuln "sport = :$port" 2>/dev/null | grep -q . && continue
    fi
    echo "$port"; return 0
  done
  return 1
}

kdc_write_config() {
  local dir=$1 port=$2
  cat > "$dir/krb5.conf" <<CONF
[libdefaults]
    default_realm = $KDC_REALM
    dns_lookup_kdc = false
    dns_lookup_realm = false
    dns_canonicalize_hostname = false
    rdns = false
    udp_preference_limit = 1
    default_ccache_name = FILE:$dir/default.ccache
    default_keytab_name = FILE:$dir/collector.keytab
[realms]
    $KDC_REALM = {
        kdc = 127.0.0.1:$port
    }
CONF
  cat > "$dir/kdc.conf" <<CONF
[kdcdefaults]
    kdc_listen = 127.0.0.1:$port
    kdc_tcp_listen = 127.0.0.1:$port
[realms]
    $KDC_REALM = {
        database_name = $dir/db/principal
        key_stash_file = $dir/db/stash
        acl_file = $dir/db/kadm5.acl
        max_life = 1d
        max_renewable_life = 0
    }
[logging]
    kdc = FILE:$dir/kdc.log
    admin_server = FILE:$dir/kadmin.log
    default = FILE:$dir/krb5lib.log
CONF
}

kdc_export_env() {
  local dir=$1 ccache=$2
  export KRB5_CONFIG=$dir/krb5.conf KRB5_KDC_PROFILE=$dir/kdc.conf KRB5RCACHEDIR=$dir/rcache
  export KRB5CCNAME=FILE:$ccache KRB5_KTNAME=FILE:$dir/collector.keytab
  export KDC_PORT=$(cat "$dir/port") KDC_REALM KDC_COLLECTOR1 KDC_COLLECTOR2 KDC_AGENT
  export KDC_AGENT_KEYTAB=$dir/agent.keytab
}

# kdc_start DIR [CCACHE]
kdc_start() {
  local dir=$1 ccache=${2:-$1/agent.ccache}
  [ -x /usr/sbin/krb5kdc ] || { echo "krb5kdc is not installed" >&2; return 77; }
  mkdir -p "$dir/db" "$dir/rcache" || return 1
  chmod 700 "$dir/db"
  : > "$dir/db/kadm5.acl"
  local attempt port
  for attempt in 1 2 3 4 5; do
    port=$(kdc_free_port) || { echo "no free port for the KDC" >&2; return 1; }
    echo "$port" > "$dir/port"
    kdc_write_config "$dir" "$port"
    kdc_export_env "$dir" "$ccache"
    if [ ! -f "$dir/db/principal" ]; then
      kdb5_util -r "$KDC_REALM" create -s -P "kdc-fixture-master" > "$dir/kdb5_util.log" 2>&1 \
        || { cat "$dir/kdb5_util.log" >&2; return 1; }
      local p
      for p in "$KDC_COLLECTOR1" "$KDC_COLLECTOR2" "$KDC_AGENT"; do
        kadmin.local -r "$KDC_REALM" -q "addprinc -randkey $p" >> "$dir/kadmin.out" 2>&1 || return 1
      done
      kadmin.local -r "$KDC_REALM" -q "ktadd -k $dir/collector.keytab $KDC_COLLECTOR1 $KDC_COLLECTOR2" \
        >> "$dir/kadmin.out" 2>&1 || return 1
      kadmin.local -r "$KDC_REALM" -q "ktadd -k $dir/agent.keytab $KDC_AGENT" >> "$dir/kadmin.out" 2>&1 || return 1
    fi
    /usr/sbin/krb5kdc -n -r "$KDC_REALM" -P "$dir/krb5kdc.pid" > "$dir/krb5kdc.out" 2>&1 &
    echo $! > "$dir/kdc.pid"
    local i
    for i in $(seq 1 50); do
      kill -0 "$(cat "$dir/kdc.pid")" 2>/dev/null || break
      if kdc_kinit "$dir" "$ccache" 1d 2>/dev/null; then
        kdc_write_env "$dir" "$ccache"
        return 0
      fi
      sleep 0.1
    done
    kdc_stop "$dir"   # port taken meanwhile, or not ready: try another port
  done
  echo "krb5kdc did not start; its log:" >&2
  cat "$dir/krb5kdc.out" "$dir/kdc.log" >&2 2>/dev/null
  return 1
}

kdc_write_env() {
  local dir=$1 ccache=$2 v
  kdc_export_env "$dir" "$ccache"
  for v in KRB5_CONFIG KRB5_KDC_PROFILE KRB5RCACHEDIR KRB5CCNAME KRB5_KTNAME KDC_PORT KDC_REALM \
           KDC_COLLECTOR1 KDC_COLLECTOR2 KDC_AGENT KDC_AGENT_KEYTAB; do
    echo "$v=${!v}"
  done > "$dir/kdc.env"
}

# kdc_kinit DIR CCACHE LIFETIME: the agent's machine credential, from its keytab.
kdc_kinit() {
  local dir=$1 ccache=$2 life=$3
  KRB5_CONFIG=$dir/krb5.conf kinit -k -t "$dir/agent.keytab" -l "$life" -c "FILE:$ccache" "$KDC_AGENT"
}

kdc_stop() {
  local dir=$1 pid
  pid=$(cat "$dir/kdc.pid" 2>/dev/null) || return 0
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
  fi
  rm -f "$dir/kdc.pid"
  return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  cmd=${1:-}; dir=${2:-}
  [ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 start|kinit|stop DIR ..." >&2; exit 2; }
  case $cmd in
    start) kdc_start "$dir" "${3:-}"; exit $? ;;
    kinit) kdc_kinit "$dir" "$3" "$4"; exit $? ;;
    stop) kdc_stop "$dir"; exit $? ;;
    *) echo "usage: $0 start|kinit|stop DIR ..." >&2; exit 2 ;;
  esac
fi
