// Logger configuration from arbitrary configuration text: reconfiguring and
// then logging must never crash, hang or allocate without bound.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  ofw::Properties props;
  props.loadFromString(text);
  // Never let the input choose where files are written.
  props.setProperty("logger.destination", "/dev/null");
  ofw::Logger::ReconfigureLevels(props);

  // Log through the standard loggers and through the names the input configured.
  OFW_ERROR(ofw::getLogger("ovg.vgd"), "record %s", "text");
  for (auto& kv : props.findPrefix("log.")) {
    std::string name = kv.first.substr(4);
    if (name.size() > 256) continue;
    ofw::LoggerPtr l = ofw::getLogger(name);
    OFW_LOG(l, ofw::Logger::FATAL, "fatal through %s", name.c_str());
    OFW_DEBUG(l, "debug through %s", name.c_str());
    l->hexData(ofw::Logger::FATAL, "bytes", data, size < 64 ? size : 64);
  }
  ofw::Logger::SetThreadName(text.substr(0, 2000));
  OFW_FATAL(ofw::getLogger("client"), "%s", text.c_str());
  ofw::Logger::SetThreadName("");
  return 0;
}
