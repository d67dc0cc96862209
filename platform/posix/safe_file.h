// Opening files and folders that another account may have prepared for us.
//
// The programs run as root or as the service's account and write into folders that another
// account can write too (root writes into the service account's data root and log folder).
// Whoever can write a folder can leave a symbolic link, a hard link to someone else's file or
// a FIFO under the very name we are about to open. So, below a folder that was opened by the
// caller:
//   - the last component is never followed when it is a symbolic link (O_NOFOLLOW):
//     ERR_STOPPED_ON_SYMLINK;
//   - a file must be a regular file (ERR_FILE_NOT_REGULAR) with one name
//     (ERR_FILE_HAS_LINKS);
//   - a file must belong to the account the program runs as, to root, or to the owner of the
//     folder it is in, who could replace it at will anyway (ERR_FILE_OWNER_UNTRUSTED);
//   - O_TRUNC takes effect only after these checks, so a refused file is never touched;
//   - a file or folder made by root in a folder that belongs to another account is given to
//     that account (and the folder's group), so root's writes never lock the service out of
//     its own files.
// Opening never blocks on a FIFO and never makes a terminal the controlling one.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/posix/file_descriptor.h"

namespace qv {

// Opens 'name' (one component, no "/") in 'folder' with open(2) flags ('flags' may hold
// O_RDONLY, O_WRONLY or O_RDWR, O_APPEND, O_DSYNC, O_CREAT, O_EXCL and O_TRUNC); 'mode' for a
// new file. 'created', when given, says whether the file was made by this call. 0 or the
// Win32 error code, also left as the thread's last-error value.
uint32_t OpenFileSafely(int folder, const char* name, int flags, mode_t mode, FILE_DESCRIPTOR& file,
                        bool* created = nullptr);

// Opens the folder 'name' in 'folder', never through a symbolic link; with 'create', makes it
// first when it is missing (with 'mode'). 0 or the Win32 error code (ERR_FILE_NOT_FOUND when
// missing, ERR_STOPPED_ON_SYMLINK for a link, ERR_DIRECTORY for something else).
uint32_t OpenFolderSafely(int folder, const char* name, bool create, mode_t mode, FILE_DESCRIPTOR& child);

// Gives what root just made inside 'folder' to the folder's owner and group; nothing for any
// other account (only root may give files away) or when root owns the folder.
void GiveToFolderOwner(int folder, int made);

}  // namespace qv
