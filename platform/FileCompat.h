#pragma once
// The few POSIX file-opening details that differ on Windows, for the image set's readers (which
// use open, fstat and read on both systems). Windows opens files in text mode unless told
// otherwise, which would turn CR LF into LF inside firmware images: every open of an image
// says O_BINARY. It has no FIFOs that could hang an open, and a program that starts no other
// programs needs no close-on-exec.

#include <fcntl.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#include <process.h> // getpid, for the --log file's part file
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
// No symbolic links to tell apart.
inline int lstat(const char* pszPath, struct stat* pStat) { return ::stat(pszPath, pStat); }
#else
#include <unistd.h>
#ifndef O_BINARY
#define O_BINARY 0
#endif
#endif
