// Opening configuration files that only root may control.
//
// A configuration file (the main file and every file a "file:" value refers
// to) is trusted only when it is owned by root, not writable by others, not a
// symbolic link, a regular file and has exactly one hard link. The checks are
// made on the descriptor that is then read: the path is opened first with
// O_NOFOLLOW (a symbolic link fails with ELOOP) and O_NONBLOCK (a FIFO or a
// special file cannot stall the caller), and fstat of that descriptor decides.
// A file swapped between a check and the open is therefore never read.
#pragma once
#include <string>

namespace ofw {

enum class FileRefusal {
  None = 0,
  NotFound,       // ENOENT / ENOTDIR
  NoPermission,   // EACCES / EPERM
  WorldWritable,  // mode has S_IWOTH
  Symlink,        // the last path component is a symbolic link
  HardLinks,      // link count other than 1
  NotRoot,        // owner is not uid 0
  NotRegular,     // directory, FIFO, device, socket
  Unknown         // any other open or fstat failure
};

// Opens `path` read-only and checks the descriptor. On success returns
// FileRefusal::None and stores the descriptor (O_CLOEXEC, O_NONBLOCK set) in
// `fd`; the caller closes it. On refusal `fd` is -1 and `err` holds the errno
// of a failed open/fstat (0 when the file was opened but failed a check).
FileRefusal secureOpenForRead(const std::string& path, int& fd, int& err);

// Test hook run just before the open (nullptr, the default, for none): a test
// replaces the file there, at the moment a check made before the open would be
// defeated.
typedef void (*SecureOpenHook)(const std::string& path);
void setSecureOpenHook(SecureOpenHook hook);

// The status code of a refusal: 0, -2 missing, -1 no permission, -125 refused
// for security (world-writable, symlink, hard links, owner, not regular), -5 other.
int refusalStatus(FileRefusal refusal);

// Short English reason, for traces and check reports ("is world writable", ...).
const char* refusalText(FileRefusal refusal);

// Owns one descriptor.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1);
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }

 private:
  int fd_ = -1;
};

}  // namespace ofw
