// telvix._telvix: the Python module's native part. It loads the plug-in and drives it through
// the stand-in host exactly as the telvix command does, on the same library: numpy arrays go
// through its conversions between samples and host worlds (arrays.cpp), and files and sequences
// through its plan and run (file_runs.cpp). The public, documented functions are in
// telvix/__init__.py.
#include <fmt/format.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "arguments.h"
#include "cli_error.h"
#include "frame_sequence.h"
#include "image_read.h"
#include "interrupt.h"
#include "native.h"
#include "option_table.h"
#include "plugin_driver.h"
#include "plugin_library.h"
#include "telvix_project_version.h"

namespace py = pybind11;
using namespace telvix::cli;
using telvix::python::entryPointOf;
using telvix::python::fileErrorType;
using telvix::python::interruptedType;
using telvix::python::renderErrorType;
using telvix::python::stringArgument;

namespace telvix::python {

PyObject* renderErrorType = nullptr;
PyObject* fileErrorType = nullptr;
PyObject* interruptedType = nullptr;

PF_FilterProc entryPointOf(const std::string& path)
{
    static std::mutex mutex;
    static auto* libraries = new std::map<std::string, std::unique_ptr<PluginLibrary>>();
    const std::lock_guard<std::mutex> lock(mutex);
    auto& library = (*libraries)[path];
    if (!library) library = std::make_unique<PluginLibrary>(path);
    return library->entryPoint();
}

}  // namespace telvix::python

namespace {

// The registered parameters: (index, name, kind, default, minimum, maximum).
py::list parameters(const std::string& plugin)
{
    const std::vector<PF_ParamDef> params = registeredParameters(entryPointOf(plugin));
    py::list list;
    int index = firstParameterIndex(params);
    for (const PF_ParamDef& def : params) {
        const std::string name(def.name, strnlen(def.name, sizeof def.name));
        switch (def.param_type) {
            case PF_Param_CHECKBOX:
                list.append(py::make_tuple(index, name, "checkbox", def.u.bd.dephault != 0,
                                           py::none(), py::none()));
                break;
            case PF_Param_COLOR: {
                const PF_Pixel8& c = def.u.cd.dephault;
                list.append(py::make_tuple(index, name, "color",
                                           py::make_tuple(c.red, c.green, c.blue), py::none(),
                                           py::none()));
                break;
            }
            case PF_Param_SLIDER:
                list.append(py::make_tuple(index, name, "slider", def.u.sd.dephault,
                                           def.u.sd.valid_min, def.u.sd.valid_max));
                break;
            case PF_Param_LAYER:
                list.append(
                    py::make_tuple(index, name, "layer", py::none(), py::none(), py::none()));
                break;
            default:
                list.append(py::make_tuple(index, name, fmt::format("type {}", def.param_type),
                                           py::none(), py::none(), py::none()));
                break;
        }
        ++index;
    }
    return list;
}

// Raises `type` with `message`; a render failure also carries the host's code and its name.
void raise(PyObject* type, const std::string& message, std::optional<int> code = {})
{
    py::object error = py::reinterpret_borrow<py::object>(type)(message);
    if (code) {
        error.attr("code") = *code;
        error.attr("name") = errorName(*code);
    }
    PyErr_SetObject(type, error.ptr());
}

}  // namespace

PYBIND11_MODULE(_telvix, m)
{
    m.doc() = "The native part of the telvix module; use the functions of telvix itself.";
    m.attr("__version__") = TELVIX_VERSION_TEXT;

    const py::module_ errors = py::module_::import("telvix._errors");
    renderErrorType = py::object(errors.attr("RenderError")).release().ptr();
    fileErrorType = py::object(errors.attr("FileError")).release().ptr();
    interruptedType = py::object(errors.attr("Interrupted")).release().ptr();
    // pybind11 takes translators as void (*)(std::exception_ptr), by value.
    // NOLINTNEXTLINE(performance-unnecessary-value-param)
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const Interrupted&) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
        } catch (const UsageError& e) {
            raise(PyExc_ValueError, e.what());
        } catch (const RenderFailure& e) {
            raise(renderErrorType, e.what(), e.code());
        } catch (const CliError& e) {
            raise(fileErrorType, oneLine(e.what()));
        }
    });

    m.def("smooth", &telvix::python::smoothArray, py::arg("plugin"), py::arg("image"),
          py::arg("tolerance"), py::arg("key"), py::arg("extent"), py::arg("threads"));
    m.def("run", &telvix::python::runFiles, py::arg("plugin"), py::arg("input"), py::arg("output"),
          py::arg("sequence"), py::arg("options"), py::arg("progress"));
    // What a sequence call would do, without running it: (frames to smooth, frames asked for
    // but missing), each a list of (number, input, output), whether INPUT is a frame pattern
    // (else a folder), and the holes in the numbering found on disk; the command's error for a
    // bad request.
    m.def(
        "plan",
        [](const std::string& input, const std::string& output, const py::object& frames) {
            const std::optional<std::string> list = stringArgument(frames, "frames");
            const SequencePlan plan = planSequence(input, output, list);
            const auto describe = [](const std::vector<FrameJob>& jobs) {
                py::list described;
                for (const FrameJob& job : jobs) {
                    described.append(
                        py::make_tuple(job.number, job.input.string(), job.output.string()));
                }
                return described;
            };
            return py::make_tuple(describe(plan.jobs), describe(plan.missing),
                                  FramePattern::parse(input).has_value(), plan.gaps);
        },
        py::arg("input"), py::arg("output"), py::arg("frames"));
    m.def(
        "describe_frames",
        [](std::vector<long> frames) {
            std::sort(frames.begin(), frames.end());
            return describeFrames(frames);
        },
        py::arg("frames"));
    // True when the file is an image that reads back whole, as --skip-existing judges outputs.
    m.def(
        "is_complete",
        [](const std::string& path) {
            const py::gil_scoped_release unlocked;
            return isCompleteImage(path);
        },
        py::arg("path"));
    m.def("about", [](const std::string& plugin) { return aboutText(entryPointOf(plugin)); });
    // The declared options, for the Python side's checks: (keyword, kind, default or None,
    // places) in the order of the command's help.
    m.def("options", [] {
        static constexpr const char* kKinds[] = {"integer", "either", "seconds", "flag",
                                                 "text",    "colour", "extent",  "frames"};
        static_assert(std::size(kKinds) == static_cast<std::size_t>(OptionKind::FrameList) + 1);
        py::list options;
        for (const OptionSpec& spec : kOptions) {
            const py::object value =
                spec.hasDefaultValue() ? py::object(py::int_(spec.defaultValue)) : py::none();
            options.append(py::make_tuple(pythonName(spec), kKinds[static_cast<int>(spec.kind)],
                                          value, spec.where));
        }
        return py::tuple(options);
    });
    m.def("parameters", &parameters);
}
