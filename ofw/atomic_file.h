// Whole-file replacement that a reader (or a crash) never sees half done: the
// new content goes to a temporary file in the same directory, is synced, takes
// the wanted mode and owner, is renamed over the old name, and the directory
// is synced so that the rename itself is durable.
#pragma once
#include <sys/types.h>

#include <string>

namespace ofw {

// Replaces `name` (a plain name, no '/') inside the directory open as dirFd;
// the caller keeps dirFd open. An existing `name` of any type is replaced,
// never followed. Throws IOException (with errno as its code) when any step
// fails; the temporary file is then removed and the old file left as it was.
void replaceFileAt(int dirFd, const std::string& name, const std::string& content, mode_t mode, uid_t uid,
                   gid_t gid);

// Replaces the file at path, keeping the mode and owner of the file there
// (modeIfNew and the process's ids when there is none). Anything there but a
// regular file (a symbolic link included) is refused with IOException.
void replaceFile(const std::string& path, const std::string& content, mode_t modeIfNew = 0644);

}  // namespace ofw
