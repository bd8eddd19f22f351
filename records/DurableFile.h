#pragma once

#include "core/UniqueFd.h"

#include <string>
#include <string_view>

// Writing the record, the run logs and the run journals so that what was written survives a power loss, in
// a folder that a whole bench shares.

// Opens (creating when asked) a file of the record's folder. New files and folders ask for every permission
// and let the umask decide: under the bench's umask 002 in its setgid folder they stay writable for every
// operator of the group.
CUniqueFd OpenSharedFile(const std::string& strPath, int nFlags);
// Creates a folder the same way, its name made durable; true when it exists afterwards (errno otherwise).
bool MakeSharedFolder(const std::string& strPath);

// Writes all of strBytes (resuming after signals) and flushes it to disk. Empty on success, otherwise the
// system's reason.
std::string WriteAllAndSync(int fd, std::string_view strBytes);

// Makes a newly created (or removed) name in the folder of strPath as durable as a file's content.
void SyncFolderOf(const std::string& strPath);

// Takes fd's exclusive lock, waiting for other holders to let go (resuming after signals) as long as the file
// changes at least every nWaitMs (benches appending one after the other: a waiter that keeps missing the
// moment between two appends is not stuck), and ten times nWaitMs at most; false when it cannot be had (errno
// says why: EWOULDBLOCK when time ran out).
bool LockBounded(int fd, int nWaitMs);

// Reads from fd to its end, or up to about nMax bytes (resuming after signals).
std::string ReadAllBounded(int fd, size_t nMax);
