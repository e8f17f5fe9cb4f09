#pragma once
// The directory of the running program file, with a trailing '/'. Both front ends take the
// image directory from here: on Linux the first argument holds a bare name whenever the program
// was found through PATH, so it cannot say where the program lives.

#include <string>

// From /proc/self/exe. When that cannot be read, falls back to the directory part of argv0,
// and to "./" when argv0 has none.
std::string GetProgramDir(const char* pszArgv0 = nullptr);

// The directory part of a path, up to and including its last '/'; "./" when there is none.
std::string DirectoryOf(const std::string& strPath);

// The system's own path separator: '/' on Linux, '\' on Windows.
char PathSeparator();
// strDir with a separator at its end: on Windows ('/' and '\' both separate there) the kind the
// path already uses, else the system's own. An empty text stays empty (the current directory).
// A path joined from it keeps to one kind of separator.
std::string WithTrailingSeparator(std::string strDir);
