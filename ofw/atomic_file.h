// Replacing a small file so that a reader sees the old content or the new,
// never a mix, and a crash leaves one of the two on disk.
#pragma once
#include <sys/types.h>

#include <string>

namespace ofw {

// Writes content to a new temporary file beside path ("<path>.tmpXXXXXX"),
// sets its mode, fsyncs it, renames it over path and fsyncs the directory.
// Throws IOException "Unable to replace <path>: <system error>" (code errno);
// the temporary file never stays behind.
void replaceFileAtomically(const std::string& path, const std::string& content, mode_t mode = 0644);

}  // namespace ofw
