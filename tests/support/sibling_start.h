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

// Starts a program with these arguments, its standard input empty and its
// output and errors written to the files named; or, without standard handles,
// as the service manager starts a service: no standard input, output, error
// or console.
boost::process::child startSibling(const NativeText& program, const std::vector<NativeText>& arguments,
                                   bool standardHandles, const NativeText& output, const NativeText& errors);
// Stops a program as an interrupt would.
void interrupt(boost::process::child& child);

}  // namespace velmora::vpn::testing
