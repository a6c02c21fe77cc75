#include "ofw/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ofw/exceptions.h"
#include "ofw/unique_fd.h"

namespace ofw {

void replaceFileAtomically(const std::string& path, const std::string& content, mode_t mode) {
  std::string tmp = path + ".tmpXXXXXX";
  UniqueFd fd(::mkostemp(&tmp[0], O_CLOEXEC));
  const bool created = fd.valid();
  int err = created ? 0 : errno;
  for (size_t done = 0; err == 0 && done < content.size();) {
    ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0 && errno != EINTR) err = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (err == 0 && ::fchmod(fd.get(), mode) != 0) err = errno;
  if (err == 0 && ::fsync(fd.get()) != 0) err = errno;
  if (fd && ::close(fd.release()) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    if (created) ::unlink(tmp.c_str());
    OFW_THROW_CODE(IOException, withErrno("Unable to replace " + path, err), err);
  }
  // The rename must reach the disk as well.
  size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  UniqueFd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dfd) ::fsync(dfd.get());
}

}  // namespace ofw
