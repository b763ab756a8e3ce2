// library_loader.h: norvexctl loads the Norvex library only when a command
// needs it. The library writes "Application Start!" and "Application Close!"
// to its log at every load, so the tool's help, version, usage errors and
// its commands that work on files alone leave the log alone.
//
// The tool's calls to the interface (norvex.h, norvex_posix.h) are made to
// forwarding functions of the same names (library_loader.cpp), which call
// the library's functions, resolved when LoadLibrary() succeeds.
#pragma once

#include <string>

namespace norvexctl {

// Loads the library (once; later calls return the first outcome): the file
// $NORVEX_LIBRARY names, else the one of the install layout beside the
// executable (bin/../lib), else, for the tool in its build folder only, the
// build folder's, else the SONAME through the system's library path. An
// installed tool never loads a library from the build folder it was made in
// (a path that, under /tmp, anyone could create). False, with `error` set,
// when it cannot be loaded or lacks a function the tool calls.
bool LoadLibrary(std::string& error);

}  // namespace norvexctl
