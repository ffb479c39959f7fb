// Lock files shared by the CGI processes, the backup workers and the daemon.
//
// A lock is an flock() on a file opened close-on-exec. Such a lock belongs to the open file, so a
// lock taken before fork() is held by parent and child alike until both have closed their copy;
// the tools a worker runs never inherit it. Releasing is closing the descriptor, never LOCK_UN,
// which would also drop the lock the child still holds.
#pragma once

// Takes the lock on pathOrName and gives its descriptor in fd (-1 when it was not taken).
// pathOrName is a lock file path (its missing folders and the file are created, mode 0700 and
// 0600; an existing file keeps its content), or a bare name without "/", which names a lock file
// of the platform's own. waitMs: 0 tries once, otherwise the lock is retried every 50 ms for up
// to waitMs milliseconds.
// Returns 0 when held; -11 (EWOULDBLOCK) when another holder kept it for the whole wait; -22 for
// an empty path or one with a ".." component; another negative errno when the file cannot be opened.
int Get_File_Lock(const char* pathOrName, int waitMs, int& fd);

// Releases a lock of Get_File_Lock by closing its descriptor. 0, or a negative errno (-9 for fd < 0).
int Release_File_Lock(int fd);
