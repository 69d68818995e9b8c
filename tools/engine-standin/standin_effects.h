#pragma once

#include <boost/json.hpp>

namespace velmora::standin {

// The member of `object` whose key equals `key` in any letter case, as the
// engine's decoder finds members; null when there is none.
const boost::json::value* memberOf(const boost::json::object& object, const char* key);

// Does to the file system what the engine does with a configuration's
// fields that name files and programs, so that a test sees what a
// configuration makes the service do: appends a line to log.output, makes the
// enabled cache file, reads local rule sets and certificate and key paths,
// lists experimental.clash_api.external_ui, and runs each tor outbound's
// executable_path. False when any of it fails, as the engine then refuses
// the configuration.
bool actOnFiles(const boost::json::object& config);

}  // namespace velmora::standin
