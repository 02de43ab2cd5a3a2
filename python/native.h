// What the parts of the native module telvix._telvix share: the plug-in each call names, the
// exception types raised to Python, and the functions the module binds.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "AE_Effect.h"

namespace telvix::python {

// The exception types of telvix._errors, set once at import and kept for the process.
extern PyObject* renderErrorType;
extern PyObject* fileErrorType;
extern PyObject* interruptedType;

// A library opened once per path and kept open for the life of the process: arrays rendered on
// other threads may still be using its code while Python tears objects down.
PF_FilterProc entryPointOf(const std::string& path);

// Smooths one image array; returns a new array of its shape and type.
pybind11::array smoothArray(const std::string& plugin, const pybind11::array& image,
                            const pybind11::object& tolerance, const pybind11::object& key,
                            const pybind11::object& extent, const pybind11::object& threads);

// Smooths a file, a sequence or a folder as telvix.smooth_file and telvix.smooth_sequence ask;
// returns the summary tuple the Python side builds its Summary from.
pybind11::tuple runFiles(const std::string& plugin, const std::string& input,
                         const std::string& output, bool sequence, const pybind11::dict& options,
                         const pybind11::object& progress);

}  // namespace telvix::python
