// Boost.JSON is used header-only: its implementation is compiled here, once
// for every binary that links it (the core and the stand-in engine), so the
// native and the Windows build compile it the same way.
#include <boost/json/src.hpp>
