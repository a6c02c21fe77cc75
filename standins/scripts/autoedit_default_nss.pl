#!/bin/sh
# Stand-in for the name-service editing script (any executable will do): puts
# the module named by --lib_name into the passwd line of the name-service
# configuration (no mode), takes it out (--do_revert), or answers by its exit
# code (--is_nss_active, --is_nss_normal [--not_joined]). 0 success, 1 error,
# 2 empty file. Records every call. AUTOEDIT_NSSWITCH names another
# configuration file, AUTOEDIT_CALLS another record, AUTOEDIT_FAIL a mode
# ("hook", "revert") that fails.
conf=${AUTOEDIT_NSSWITCH:-/etc/nsswitch.conf}
echo "$*" >> "${AUTOEDIT_CALLS:-/run/autoedit_nss.calls}"
[ "${1:-}" = --lib_name ] && [ -n "${2:-}" ] || exit 1
lib=$2
shift 2
[ -s "$conf" ] || exit 2
hooked() { grep -Eq "^passwd:.*[[:space:]]$lib([[:space:]]|\$)" "$conf"; }
case "${1:-}" in
  --is_nss_active) hooked ;;
  --is_nss_normal) grep -q '^passwd:' "$conf" ;;
  --do_revert)
    [ "${AUTOEDIT_FAIL:-}" = revert ] && exit 1
    hooked || exit 1
    sed -i -E "/^passwd:/s/[[:space:]]+$lib([[:space:]]|\$)/\\1/" "$conf" ;;
  "")
    [ "${AUTOEDIT_FAIL:-}" = hook ] && exit 1
    hooked && exit 1
    sed -i -E "/^passwd:/s/\$/ $lib/" "$conf" ;;
  *) exit 1 ;;
esac
