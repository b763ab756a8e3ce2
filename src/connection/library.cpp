// library.cpp: construction of the library's static objects.
#include "connection/library.h"

namespace norvex {

Library::Library(platform::HostEnvironment& hostEnvironment)
    : host(hostEnvironment), log(host), debugFolder(host), link(log, host) {}

}  // namespace norvex
