#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <boost/system/error_code.hpp>  // Boost.Process uses it without including it
#include <boost/process/args.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/io.hpp>

#include "support/test_platform.h"

// The per-platform part of starting and stopping sibling programs.
namespace velmora::vpn::testing {

using NativeText = std::filesystem::path::string_type;  // what process calls take here

struct SiblingProcess::Running {
    boost::process::child child;
};

// Starts a program as the service manager starts a service: without standard
// input, output or error, and without a console.
boost::process::child startAsAService(const NativeText& program, const std::vector<NativeText>& arguments);
// Stops a program as an interrupt would.
void interrupt(boost::process::child& child);

}  // namespace velmora::vpn::testing
