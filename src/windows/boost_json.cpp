// Boost.JSON is used header-only: its implementation is compiled here, once
// for the whole core library, so the native and the Windows build compile it
// the same way.
#include <boost/json/src.hpp>
