#include "ofw/config/propertydescriptors.h"

#include <strings.h>
#include <unistd.h>

#include "ofw/config/propertysyntax.h"
#include "ofw/config/securefile.h"

namespace ofw {

const PropertyDescriptor kProductProperties[kProductPropertyCount] = {
    {"vgsh.maxExecDepth", PropertyType::INT, ""},
    {"vgsh.shell.name", PropertyType::STRING, ""},
    {"vgsh.allinvoked", PropertyType::BOOL, ""},
    {"vgsh.user.skiplist", PropertyType::LIST, ""},
    {"vgsh.parent.skiplist", PropertyType::LIST, ""},
    {"vgsh.parent.keep.env", PropertyType::LIST, ""},
    {"vgsh.ssh.command.skiplist", PropertyType::LIST, ""},
    {"vgsh.devtty.opener.list", PropertyType::LIST, ""},
    {"vgsh.exit.make.tty.sane", PropertyType::BOOL, ""},
    {"vgsh.ovgshmod.list", PropertyType::LIST, ""},
    {"vgsh.audit.derived.list", PropertyType::LIST, ""},
    {"vgsh.loginrecord", PropertyType::BOOL, ""},
    {"vgsh.force.audit", PropertyType::BOOL, ""},
    {"vgsh.ping.interval", PropertyType::INT, ""},
    {"vgsh.parent.always.interactive.list", PropertyType::LIST, ""},
    {"vgsh.check.sudouser", PropertyType::BOOL, ""},
    {"vgsh.user.alwaysallowed.list", PropertyType::LIST, ""},
    {"vgsh.auditstdin", PropertyType::BOOL, ""},
    {"vgsh.auditstdin.except", PropertyType::LIST, ""},
    {"fallback.shell.source", PropertyType::STRING, ""},
    {"fallback.shell.name", PropertyType::STRING, ""},
    {"shell.real.extension", PropertyType::STRING, ""},
    {"vgd.daemon", PropertyType::STRING, ""},
    {"vgd.src.name", PropertyType::STRING, ""},
    {"vgsh.reconnect.vgd.wait.time", PropertyType::INT, ""},
    {"vgsh.reconnect.vgd.retry.count", PropertyType::INT, ""},
    {"vgsh.cont.without.vgd", PropertyType::BOOL, ""},
    {"cache.enable", PropertyType::BOOL, "true"},
    {"cache.max.size", PropertyType::INT, "80000"},
    {"cache.time.to.live", PropertyType::INT, "600"},
    {"negative.cache.enable", PropertyType::BOOL, "true"},
    {"lang_setting", PropertyType::STRING, ""},
    {"vgd.socket", PropertyType::STRING, ""},
    {"vgd.spool", PropertyType::STRING, ""},
    {"vgd.at.spool", PropertyType::STRING, ""},
    {"vgd.sessions.spool", PropertyType::STRING, ""},
    {"vgd.use.all.cpus", PropertyType::BOOL, ""},
    {"vgd.dumpcore", PropertyType::BOOL, ""},
    {"vgd.start.retries", PropertyType::INT, ""},
    {"vgd.gssapi.sign", PropertyType::BOOL, ""},
    {"vgd.gssapi.seal", PropertyType::BOOL, ""},
    {"vgd.symmetric.encryption", PropertyType::BOOL, ""},
    {"vgd.client.idle.timeout", PropertyType::INT, "1800"},
    {"vgd.client.idle.timeout.min", PropertyType::INT, "10"},
    {"vgd.clients.threads.poll", PropertyType::INT, "100"},
    {"vgd.clients.listen.backlog", PropertyType::INT, "50"},
    {"vgd.threadpool.size", PropertyType::INT, "10"},
    {"vgd.threadpool.size.max", PropertyType::INT, "15"},
    {"vgd.ignore.nonlogin.ttys", PropertyType::LIST, ""},
    {"vgd.despool.chunksize", PropertyType::INT, "4098"},
    {"vgd.despool.chunkinterval", PropertyType::INT, "3"},
    {"vgd.timer.diskspace", PropertyType::INT, "360"},
    {"vgd.timer.reconnect", PropertyType::INT, "10"},
    {"vgd.timer.resume.paused.spools", PropertyType::INT, "3600"},
    {"vgd.timer.activelist", PropertyType::INT, "1800"},
    {"vgd.timer.nudge", PropertyType::INT, "5"},
    {"vgd.timer.clear.expired.ovs.secret.cache", PropertyType::INT, "300"},
    {"vgd.timer.check.collector", PropertyType::INT, "300"},
    {"vgd.timer.force.rebind", PropertyType::INT, "14400"},
    {"vgd.timer.spool.flush", PropertyType::INT, "1800"},
    {"vgd.timer.update.agent.status", PropertyType::INT, "300"},
    {"vgd.timer.send.initial.list", PropertyType::INT, "30"},
    {"vgd.timer.monitor.nss.conf", PropertyType::INT, "3600"},
    {"vgd.resource.timer", PropertyType::INT, "600"},
    {"vgd.resource.restart", PropertyType::BOOL, "false"},
    {"vgd.resource.memlimit", PropertyType::INT, "104857600"},
    {"vgd.resource.fdlimit", PropertyType::INT, "1024"},
    {"vgd.resource.cpulimit", PropertyType::INT, "50"},
    {"vgd.resource.cpulimit.tolerance", PropertyType::INT, "5"},
    {"vgd.process.fdlimit", PropertyType::INT, ""},
    {"vgd.poll.fds", PropertyType::INT, "2048"},
    {"lrpc2.timeout", PropertyType::INT, "30"},
    {"lrpc2.spool.query.timeout", PropertyType::INT, "60"},
    {"lrpc2.rebind.timeout", PropertyType::INT, "300"},
    {"lrpc.connect.timeout", PropertyType::INT, "5"},
    {"vgd.backoff.time", PropertyType::INT, "10"},
    {"vgd.collector.connect.timeout", PropertyType::INT, "60"},
    {"vgd.configuration.cache.max.age", PropertyType::INT, "120"},
    {"spool.diskspace.min", PropertyType::STRING, "10"},
    {"spool.diskspace.softlimit", PropertyType::STRING, "12"},
    {"spool.diskspace.logstate.reset.threshold", PropertyType::INT, "2"},
    {"spool.maxdbsize", PropertyType::INT, "0"},
    {"spool.max.single.file.size", PropertyType::INT, "10240"},
    {"apparmor.profile.dir", PropertyType::STRING, ""},
    {"apparmor.script.name", PropertyType::STRING, ""},
    {"nss.passwd.hash", PropertyType::STRING, ""},
    {"audittrail.socket", PropertyType::STRING, "audit"},
    {"audittrail.timeout", PropertyType::INT, "10"},
    {"kirad.daemon.socket", PropertyType::STRING, ""},
    {"autofix.nss.conf", PropertyType::BOOL, ""},
    {"qx.apu.file.path", PropertyType::STRING, ""},
    {"machine.creds", PropertyType::STRING, ""},
    {"user.ignore", PropertyType::LIST, ""},
    {"nss.user.override.userlist", PropertyType::LIST, ""},
    {"uid.ignore", PropertyType::LIST, ""},
    {"user.ignore.audit.level", PropertyType::STRING, ""},
    {"nss.user.override.auditlevel", PropertyType::STRING, ""},
    {"audittrail.audited.command.with.args", PropertyType::STRING, ""},
    {"nss.alt.zone.auditlevel", PropertyType::STRING, ""},
    {"nss.program.ignore", PropertyType::LIST, ""},
    {"nss.user.conflict.auditlevel", PropertyType::STRING, ""},
    {"nss.audit.compat", PropertyType::BOOL, ""},
    {"nss.nologin.shell", PropertyType::STRING, ""},
    {"vgd.bypass.sending.session.data", PropertyType::BOOL, ""},
    {"vgd.artificial.large.pids", PropertyType::BOOL, ""},
    {"vgd.watch.check.timeout", PropertyType::INT, ""},
    {"vgd.watch.check.frequency", PropertyType::INT, ""},
    {"vgd.watch.death.timeout", PropertyType::INT, ""},
    {"vgd.watch.startup.delay", PropertyType::INT, ""},
    {"vgsh.check.ovs.secret.ipaddr", PropertyType::BOOL, ""},
    {"vgsh.check.ipaddr.list", PropertyType::LIST, ""},
    {"lrpc.timeout", PropertyType::INT, "300"},
    {"vgd.watch.retry.max", PropertyType::INT, ""},
    {"vgd.watch.enabled", PropertyType::BOOL, "true"},
    {"agent.video.capture", PropertyType::STRING, ""},
    {"vgsh.obfuscate.regex", PropertyType::STRING, ""},
    {"vgsh.obfuscate.pattern", PropertyType::STRING, ""},
    {"vgspool.enable.verbose", PropertyType::BOOL, ""},
    {"vgsh.buffer.enable", PropertyType::BOOL, ""},
    {"vgsh.buffer.multi.fragment", PropertyType::BOOL, ""},
    {"vgsh.stdin.flush.delay", PropertyType::INT, ""},
    {"vgsh.stdout.flush.delay", PropertyType::INT, ""},
    {"vgsh.shell.env.var.set", PropertyType::LIST, ""},
    {"agent.send.hostname", PropertyType::BOOL, "false"},
    {"agent.max.missed.update.tolerance", PropertyType::INT, "4"},
    {"vgsh.log.pumpdata", PropertyType::BOOL, ""},
    {"vgsh.log.stream.buffer", PropertyType::BOOL, ""},
    {"vgsh.log.stream.buffer.trunc", PropertyType::STRING, ""},
    {"vgsh.ssh.notty.login.force.audit", PropertyType::BOOL, ""},
    {"vgsh.cmd.audit.blacklist", PropertyType::LIST, ""},
    {"vgsh.cmd.audit.show.actual.user", PropertyType::BOOL, ""},
    {"vgsh.shell.parent.process", PropertyType::LIST, ""},
    {"vgsh.allow.grandchild.process", PropertyType::BOOL, ""},
    {"vgsh.cmd.always.use.grandchild.process", PropertyType::LIST, ""},
    {"vgsh.cmd.never.use.grandchild.process", PropertyType::LIST, ""},
    {"vgsh.pump.data.in.background", PropertyType::BOOL, ""},
    {"vgsh.su.cmd.create.new.session", PropertyType::BOOL, ""},
    {"vgsh.new.process.group.for.interactive.shell", PropertyType::BOOL, ""},
    {"vgd.event.socket", PropertyType::STRING, "event"},
    {"event.monitor.commands", PropertyType::BOOL, ""},
    {"event.monitor.commands.user.skiplist", PropertyType::LIST, ""},
    {"event.file.monitor", PropertyType::BOOL, ""},
    {"event.file.monitor.dir", PropertyType::LIST, ""},
    {"event.file.monitor.user.skiplist", PropertyType::LIST, ""},
    {"event.file.monitor.process.skiplist", PropertyType::LIST, ""},
    {"event.execution.monitor", PropertyType::BOOL, ""},
    {"event.execution.monitor.all", PropertyType::BOOL, ""},
    {"event.execution.monitor.user.skiplist", PropertyType::LIST, ""},
    {"event.buffer.limit", PropertyType::INT, ""},
    {"event.buffer.expire", PropertyType::INT, ""},
    {"event.sys.linux.buffer.size", PropertyType::INT, ""},
    {"event.proctitle.shell.list", PropertyType::LIST, ""},
    {"event.ignore.list", PropertyType::LIST, ""},
    {"lrpc2.message.signing", PropertyType::STRING, "disabled"},
    {"purge.audit.session.interval", PropertyType::INT, "60"},
    {"purge.audit.session.age", PropertyType::INT, "300"},
    {"purge.audit.ovgsh.session.age", PropertyType::INT, "600"},
    {"purge.ppid.audit.session.interval", PropertyType::INT, "30"},
    {"purge.ppid.audit.session.age", PropertyType::INT, "30"},
    {"oagent.socket.path", PropertyType::STRING, ""},
};

const PropertyDescriptor kFrameworkProperties[kFrameworkPropertyCount] = {
    {"logger.openlog", PropertyType::BOOL, "true"},
    {"log", PropertyType::STRING, "INFO"},
    {"preferred.audit.store", PropertyType::STRING, ""},
    {"logger.destination", PropertyType::STRING, "syslog"},
    {"logger.memory.bufsize", PropertyType::INT, "128"},
    {"logger.file.maxsize", PropertyType::INT, "512"},
    {"logger.file.maxcount", PropertyType::INT, "5"},
    {"logger.file.zip.backup", PropertyType::BOOL, "false"},
    {"logger.file.flush.frequency", PropertyType::INT, "10"},
    {"logger.facility", PropertyType::STRING, "auth"},
    {"logger.memory.log", PropertyType::STRING, "INFO"},
    {"logger.memory.enabled", PropertyType::BOOL, "false"},
    {"logger.queue.size", PropertyType::INT, "256"},
    {"logger.showmore", PropertyType::INT, ""},
    {"selinux.lib.name", PropertyType::STRING, ""},
    {"selinux.lib.path", PropertyType::STRING, ""},
    {"auditlevel.logdest", PropertyType::STRING, ""},
};

// One row per key; add a key here together with its line in the README.
const PropertyDescriptor kProjectProperties[] = {
    {"vgd.stream.max.token", PropertyType::INT, "16777216"},
    {"vgd.clients.max.per.uid", PropertyType::INT, "256"},
    {"spool.sync", PropertyType::STRING, "none"},
    {"vgd.collectors", PropertyType::LIST, ""},
};
const size_t kProjectPropertyCount = sizeof kProjectProperties / sizeof kProjectProperties[0];

const PropertyDescriptor* findPropertyDescriptor(const std::string& key) {
  for (const PropertyDescriptor& d : kProductProperties)
    if (strcasecmp(d.key, key.c_str()) == 0) return &d;
  for (const PropertyDescriptor& d : kFrameworkProperties)
    if (strcasecmp(d.key, key.c_str()) == 0) return &d;
  for (size_t i = 0; i < kProjectPropertyCount; ++i)
    if (strcasecmp(kProjectProperties[i].key, key.c_str()) == 0) return &kProjectProperties[i];
  return nullptr;
}

std::string checkPropertyValue(const PropertyDescriptor& row, const std::string& value) {
  switch (row.type) {
    case PropertyType::INT:
      if (!propsyntax::isDecimalInt32(value)) return "The value must be a decimal integer.";
      break;
    case PropertyType::BOOL: {
      bool b;
      if (!propsyntax::toBool(value, b))
        return "The value must be one of true, false, yes, no, 1 or 0.";
      break;
    }
    case PropertyType::LIST:
      if (propsyntax::isFileReference(value)) {
        std::string path = propsyntax::fileReferencePath(value);
        UniqueFd fd;
        int err = 0;
        FileRefusal r = secureOpenForRead(path, fd, err);
        if (r != FileRefusal::None) {
          return "The referenced file [" + path + "] " + refusalText(r) + ".";
        }
      }
      break;
    case PropertyType::STRING:
      break;
  }
  return std::string();
}

}  // namespace ofw
