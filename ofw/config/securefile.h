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

#include "ofw/unique_fd.h"

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
// FileRefusal::None and hands the descriptor (O_CLOEXEC, O_NONBLOCK set) to
// `fd`. On refusal `fd` holds nothing and `err` holds the errno of a failed
// open/fstat (0 when the file was opened but failed a check).
FileRefusal secureOpenForRead(const std::string& path, UniqueFd& fd, int& err);

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

}  // namespace ofw
