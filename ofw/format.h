// printf-style formatting into std::string, and the system error text helper.
#pragma once
#include <cstdarg>
#include <string>

namespace ofw {

// Formats like vsnprintf but into a string of whatever length is needed.
std::string vformat(const char* fmt, va_list ap);
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// strerror_r wrapped into a std::string (thread safe).
std::string errnoText(int err);

}  // namespace ofw
