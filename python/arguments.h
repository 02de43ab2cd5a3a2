// The options of the Python functions, read from Python objects and checked as the telvix
// command checks its command line: a wrong type raises TypeError naming the keyword ("clip:
// expected bool, got str"), a wrong value the command's own message (a UsageError, raised to
// Python as ValueError).
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "smooth_request.h"

namespace telvix::python {

// An integer: a Python int or anything that is one (numpy's integer scalars); bools, floats and
// strings are refused. Numbers beyond 64 bits come back as the largest or smallest 64-bit
// value, which every range check refuses.
long long integerArgument(const pybind11::handle& value, const char* name);

// A str, or nullopt for None.
std::optional<std::string> stringArgument(const pybind11::handle& value, const char* name);

// The effect controls and host threads a call asks for, checked as the command checks them.
cli::SmoothRequest controls(const pybind11::handle& tolerance, const pybind11::handle& key,
                            const pybind11::handle& extent, const pybind11::handle& threads);

// The request a file or sequence call stands for: `options` holds the keywords of
// telvix.smooth_file and telvix.smooth_sequence, None for one left out.
cli::SmoothRequest runOptions(const std::string& input, const std::string& output,
                              const pybind11::dict& options);

}  // namespace telvix::python
