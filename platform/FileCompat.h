#pragma once
// The few POSIX file-opening details that differ on Windows, for the image set's readers (which
// use open, fstat and read on both systems). Windows opens files in text mode unless told
// otherwise, which would turn CR LF into LF inside firmware images: every open of an image
// says O_BINARY. It has no FIFOs that could hang an open; close-on-exec is O_NOINHERIT.

#include <fcntl.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#include <process.h> // getpid, for the --log file's part file
// A file a many-unit run holds open must not go to the sessions it starts.
#ifndef O_CLOEXEC
#define O_CLOEXEC O_NOINHERIT
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
// Windows' access() knows no right to enter a directory (and refuses to be asked): whoever may
// read a directory may enter it.
#undef X_OK
#define X_OK 0
// No symbolic links to tell apart.
inline int lstat(const char* pszPath, struct stat* pStat) { return ::stat(pszPath, pStat); }
#else
#include <unistd.h>
#ifndef O_BINARY
#define O_BINARY 0
#endif
#endif
