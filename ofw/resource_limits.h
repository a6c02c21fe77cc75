// Raising the open-files limit to the configured value (vgd.process.fdlimit).
#pragma once
#include "ofw/logging/logger.h"

namespace ofw {
void IncreaseOpenFilesLimit(const LoggerPtr& logger, int wanted);
// Reads the wanted value from the configuration (default 2048).
void IncreaseOpenFilesLimit(const LoggerPtr& logger);
}  // namespace ofw
