// library_instance.cpp: the one Library object of the loaded shared library.
// It is built when the library is loaded and destroyed when it is unloaded.
#include "connection/library.h"

namespace norvex {
namespace {

Library g_library(platform::Host());

}  // namespace

Library& TheLibrary() { return g_library; }

}  // namespace norvex
