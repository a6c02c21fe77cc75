// Fixed paths and names of the installed system. The daemon uses these; every
// component takes its own path as a parameter so that tests can use temporary
// directories.
#pragma once

namespace ofw {
namespace paths {

constexpr const char* DATA_DIR = "/var/orvanevg";
constexpr const char* CONFIG_FILE = "/etc/orvanevg/orvanevg.conf";
constexpr const char* LOCK_FILE = "/var/run/vgd.lock";
constexpr const char* PID_FILE = "/var/run/vgd.pid";
constexpr const char* NOAUTOSTART_NAME = "noautostart";
constexpr const char* CONT_WITHOUT_VGD = "/var/VigilogSessionContWithoutVgd";
constexpr const char* WATCHDOG = "/usr/sbin/ovgwatch";
constexpr const char* TENANT_KEY_SCRIPT = "/usr/bin/vgdownloadsshpublickey.tcl";
constexpr const char* TENANT_KEY_OUTPUT = "/var/orvanevg/tenant_rsa.pub";
constexpr const char* NSCD_SCRIPT = "/usr/share/orvanepw/bin/nscdrestart.sh";
constexpr const char* NSCD_SCRIPT_ALT = "/opt/orvane/bin/nscdrestart.cc.sh";
constexpr const char* RUNLEVEL_PROGRAM = "/usr/share/orvanepw/bin/vggetrunlvl";
constexpr const char* CAPI_LIBRARY = "/usr/share/orvanepw/lib64/libcapi.so";
constexpr const char* KSET_PREFIX = "/var/orvanepw/kset.";
constexpr const char* PASSWD_FILE = "/etc/passwd";
constexpr const char* PROPERTIES_TRACE_PREFIX = "/var/orvanevg/cproperties.log.";
// Group-policy values of the audit product (the installation GUID).
constexpr const char* POLICY_FILE = "/var/orvanevg/Registry.pol";
constexpr const char* CONTINUATION_DIR = "/var/orvanevg/session";
// Root-owned directory (mode 0711) of the LRPC2 version-2 secure-file authentication.
constexpr const char* LRPC2_AUTH_DIR = "/var/orvanevg/lrpc2auth";
constexpr const char* CLIENT_LOG = "/var/log/orvanevg_client.log";
constexpr const char* USER_IGNORE = "file:/etc/orvanepw/user.ignore";
constexpr const char* UID_IGNORE = "file:/etc/orvanepw/uid.ignore";
constexpr const char* APU_LIST = "/etc/orvanepw/share/apu.lst";
constexpr const char* DAEMON_PROGRAM = "/usr/sbin/vgd";

// The name-service hook: the editing script, the files it edits and the
// markers, the lock shared with the control tool, the audit shell and its twins.
constexpr const char* NSS_EDIT_SCRIPT = "/usr/share/orvanepw/scripts/vg/autoedit_default_nss.pl";
constexpr const char* NSSWITCH_CONF = "/etc/nsswitch.conf";
constexpr const char* NSS_UNHOOK_MARKER = "/var/orvanevg/NSSPurposelyInactivated";
constexpr const char* VGCONTROL_LOCK = "/var/run/vgcontrol.lock";
constexpr const char* BIND_IN_PROGRESS = "/var/orvanepw/OPW_KIRABIND_IN_PROGRESS";
constexpr const char* SHELLS_FILE = "/etc/shells";
constexpr const char* AUDIT_SHELL = "/bin/orvanevg";

constexpr const char* VERSION_TEXT = "OrvaneVG 3.7.0-172";

}  // namespace paths
}  // namespace ofw
