// telvix._telvix: the Python module's native part. It loads the plug-in and drives it through
// the stand-in host exactly as the telvix command does: numpy arrays go through the command's
// own conversions between images and host worlds, and files and sequences through its own plan
// and run. The public, documented functions are in telvix/__init__.py.
#include <fmt/format.h>
#include <oneapi/tbb/info.h>
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli_error.h"
#include "frame_sequence.h"
#include "frame_world.h"
#include "image_read.h"
#include "interrupt.h"
#include "options.h"
#include "plugin_driver.h"
#include "plugin_library.h"
#include "sequence_runner.h"

namespace py = pybind11;
using namespace telvix::cli;

namespace {

// The exception types raised to Python, created once at import and kept for the process.
PyObject* renderErrorType = nullptr;
PyObject* fileErrorType = nullptr;

// A library opened once per path and kept open for the life of the process: arrays rendered on
// other threads may still be using its code while Python tears objects down.
PF_FilterProc entryPointOf(const std::string& path)
{
    static std::mutex mutex;
    static auto* libraries = new std::map<std::string, std::unique_ptr<PluginLibrary>>();
    const std::lock_guard<std::mutex> lock(mutex);
    auto& library = (*libraries)[path];
    if (!library) library = std::make_unique<PluginLibrary>(path);
    return library->entryPoint();
}

// An integer argument: a Python int or anything that is one (numpy's integer scalars); bools,
// floats and strings are refused as the wrong type. Numbers beyond 64 bits come back as the
// largest or smallest 64-bit value, which every range check refuses.
long long integerArgument(const py::handle& value, const char* name)
{
    if (py::isinstance<py::bool_>(value) || PyIndex_Check(value.ptr()) == 0) {
        throw py::type_error(
            fmt::format("{} must be an integer, not {}", name,
                        py::str(py::type::of(value).attr("__name__")).cast<std::string>()));
    }
    const auto number = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!number) throw py::error_already_set();
    try {
        return number.cast<long long>();
    } catch (const py::cast_error&) {
        return number > py::int_(0) ? LLONG_MAX : LLONG_MIN;
    }
}

// An integer option within low-high; out of range, the command's parser's words ("--tolerance:
// Value 300 not in range 0 to 255").
int rangeArgument(const py::handle& value, const char* name, long long low, long long high)
{
    const long long number = integerArgument(value, name);
    if (number < low || number > high) {
        throw UsageError(fmt::format("--{}: Value {} not in range {} to {}", name,
                                     py::str(value).cast<std::string>(), low, high));
    }
    return static_cast<int>(number);
}

// A key colour: "RRGGBB", "#rrggbb" or (r, g, b) of 0-255.
KeyColour keyArgument(const py::handle& key)
{
    if (py::isinstance<py::str>(key)) return parseKeyColour(key.cast<std::string>());
    if (py::isinstance<py::sequence>(key) && !py::isinstance<py::bytes>(key) && py::len(key) == 3) {
        int rgb[3] = {};
        for (std::size_t i = 0; i < 3; ++i) {
            const long long v = integerArgument(key[py::int_(i)], "key");
            if (v < 0 || v > 255) break;
            rgb[i] = static_cast<int>(v);
            if (i == 2) {
                return KeyColour{static_cast<std::uint8_t>(rgb[0]),
                                 static_cast<std::uint8_t>(rgb[1]),
                                 static_cast<std::uint8_t>(rgb[2])};
            }
        }
    }
    throw UsageError(fmt::format(
        "--key: '{}' is not a colour; expected six hex digits RRGGBB or (r, g, b) of 0-255",
        py::repr(key).cast<std::string>()));
}

// An extent: "L,T,R,B" or (left, top, right, bottom), right and bottom exclusive.
Extent extentArgument(const py::handle& extent)
{
    if (py::isinstance<py::str>(extent)) return parseExtent(extent.cast<std::string>());
    if (!py::isinstance<py::sequence>(extent)) {
        throw py::type_error(
            fmt::format("extent must be a string or four integers, not {}",
                        py::str(py::type::of(extent).attr("__name__")).cast<std::string>()));
    }
    // Written out as the command's --extent value and parsed as it is, so that every malformed
    // or empty extent gets the command's message.
    std::string text;
    for (const py::handle item : extent) {
        const long long value = integerArgument(item, "extent");
        // Beyond 64 bits, the number as written, which the parser refuses as too large.
        const std::string written = value == LLONG_MAX || value == LLONG_MIN
                                        ? py::str(item).cast<std::string>()
                                        : std::to_string(value);
        text += (text.empty() ? "" : ",") + written;
    }
    return parseExtent(text);
}

// The effect controls and host threads a call asks for, checked as the command checks them.
CommandLine controls(const py::object& tolerance, const py::object& key, const py::object& extent,
                     const py::object& threads)
{
    CommandLine commandLine;
    commandLine.tolerance =
        rangeArgument(tolerance, "tolerance", telvix::kSmoothRangeMin, telvix::kSmoothRangeMax);
    if (!key.is_none()) commandLine.key = keyArgument(key);
    if (!extent.is_none()) commandLine.extent = extentArgument(extent);
    if (!threads.is_none())
        commandLine.threads = rangeArgument(threads, "threads", 1, kMaxHostThreads);
    return commandLine;
}

// The shape of an image array as the command's Image describes it. Raises TypeError for other
// types and ValueError for layouts, sizes and memory layouts the command does not take.
Image describeArray(const py::array& image)
{
    const py::dtype type = image.dtype();
    const bool native = type.attr("isnative").cast<bool>();
    int bits = 0;
    if (type.kind() == 'u' && type.itemsize() == 1) bits = 8;
    if (type.kind() == 'u' && type.itemsize() == 2 && native) bits = 16;
    if (bits == 0) {
        throw py::type_error(fmt::format(
            "image has {} samples; only uint8 and uint16 images in native byte order are smoothed",
            py::str(static_cast<py::handle>(type)).cast<std::string>()));
    }
    if (image.ndim() != 2 && image.ndim() != 3) {
        throw py::value_error(fmt::format(
            "image has {} dimensions; expected height x width or height x width x channels",
            image.ndim()));
    }
    Image description;
    description.channels = image.ndim() == 2 ? 1 : static_cast<int>(image.shape(2));
    if (description.channels < 1 || description.channels > 4) {
        throw py::value_error(fmt::format(
            "image has {} channels; only grey, grey+alpha, RGB and RGBA images are supported",
            description.channels));
    }
    const py::ssize_t height = image.shape(0);
    const py::ssize_t width = image.shape(1);
    if (width <= 0 || height <= 0 || width > INT_MAX / 8 || height > INT_MAX ||
        static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxFramePixels) {
        throw py::value_error(fmt::format("image has an unsupported size {}x{}", width, height));
    }
    // Rows one after another, channels interleaved: what the conversions read.
    py::ssize_t expected = type.itemsize();
    for (py::ssize_t axis = image.ndim() - 1; axis >= 0; --axis) {
        if (image.shape(axis) > 1 && image.strides(axis) != expected) {
            throw py::value_error(
                "image is not C-contiguous (a view, a transposed or reversed array); "
                "numpy.ascontiguousarray(image) makes a contiguous copy");
        }
        expected *= image.shape(axis);
    }
    description.width = static_cast<int>(width);
    description.height = static_cast<int>(height);
    description.bits = bits;
    description.storedBits = bits;
    return description;
}

// Smooths one image array; returns a new array of its shape and type.
py::array smoothArray(const std::string& plugin, const py::array& image,
                      const py::object& tolerance, const py::object& key, const py::object& extent,
                      const py::object& threads)
{
    const Image description = describeArray(image);
    CommandLine commandLine = controls(tolerance, key, extent, threads);
    if (commandLine.extent) {
        checkExtentInFrame(*commandLine.extent, description.width, description.height);
    }
    const PF_FilterProc entryPoint = entryPointOf(plugin);
    const int hostThreads = commandLine.threads > 0
                                ? commandLine.threads
                                : std::max(1, oneapi::tbb::info::default_concurrency());
    py::array result(image.dtype(),
                     std::vector<py::ssize_t>(image.shape(), image.shape() + image.ndim()));
    const int width = description.width;
    const int height = description.height;
    const int channels = description.channels;
    const int depth = description.bits;
    const RenderRequest request = renderRequestFor(commandLine, depth, hostThreads);
    const void* in = image.data();
    void* out = result.mutable_data();
    {
        // Other Python threads run while this one converts and renders.
        const py::gil_scoped_release released;
        standin::World world = depth == 8 ? samplesToWorld(static_cast<const std::uint8_t*>(in),
                                                           width, height, channels, 8)
                                          : samplesToWorld(static_cast<const std::uint16_t*>(in),
                                                           width, height, channels, 16);
        world = renderWorld(entryPoint, std::move(world), request);
        if (depth == 8) {
            worldToSamples(world, channels, static_cast<std::uint8_t*>(out));
        } else {
            worldToSamples(world, channels, static_cast<std::uint16_t*>(out));
        }
    }
    return result;
}

// A frame's result as the Python side builds its Frame from it.
py::tuple frameTuple(const FrameResult& frame)
{
    static const char* const kStatus[] = {"written", "skipped", "failed"};
    return py::make_tuple(
        frame.job.number >= 0 ? py::object(py::int_(frame.job.number)) : py::none(),
        frame.job.label, frame.job.input.string(), frame.job.output.string(),
        kStatus[static_cast<int>(frame.outcome)],
        frame.error.empty() ? py::object(py::none()) : py::str(frame.error), frame.note,
        frame.seconds);
}

// The command line a file or sequence call stands for.
struct RunOptions {
    std::string input;
    std::string output;
    CommandLine commandLine;
};

RunOptions runOptions(const std::string& input, const std::string& output, const py::dict& options)
{
    const auto get = [&](const char* name) {
        return options.contains(name) ? py::object(options[name]) : py::object(py::none());
    };
    const py::object tolerance = get("tolerance");
    RunOptions run{input, output,
                   controls(tolerance.is_none() ? py::int_(kDefaultTolerance) : tolerance,
                            get("key"), get("extent"), get("threads"))};
    CommandLine& c = run.commandLine;
    c.input = input;
    c.output = output;
    c.quiet = true;  // everything is reported through the summary
    if (!get("depth").is_none()) {
        const long long depth = integerArgument(get("depth"), "depth");
        if (depth != 8 && depth != 16) {
            throw UsageError(fmt::format("--depth: {} not in {{8,16}}", depth));
        }
        c.depth = static_cast<int>(depth);
    }
    if (!get("jobs").is_none()) c.jobs = rangeArgument(get("jobs"), "jobs", 0, 1024);
    if (!get("frames").is_none()) c.frames = get("frames").cast<std::string>();
    if (!get("compression").is_none()) c.compression = get("compression").cast<std::string>();
    // A flag left out (None) is off.
    const auto flag = [&](const char* name) {
        const py::object value = get(name);
        return !value.is_none() && value.cast<bool>();
    };
    c.dropAlpha = flag("drop_alpha");
    c.clip = flag("clip");
    c.skipExisting = flag("skip_existing");
    c.keepGoing = flag("keep_going");
    return run;
}

// Runs a plan on a thread of its own while the calling thread, without the GIL, waits for it
// and looks for Ctrl-C every tenth of a second: Python's handler only notes the signal, and the
// interpreter acts on it only in the main thread. A Ctrl-C (or an exception in `progress`) asks
// the run to stop at its next strip of rows, waits for it, and is raised.
py::tuple runFiles(const std::string& plugin, const std::string& input, const std::string& output,
                   bool sequence, const py::dict& options, const py::object& progress)
{
    const RunOptions run = runOptions(input, output, options);
    const CommandLine& commandLine = run.commandLine;
    const SequencePlan plan = planSmooth(commandLine, sequence);
    const PF_FilterProc entryPoint = entryPointOf(plugin);

    std::mutex raisedMutex;
    std::optional<py::error_already_set> raised;
    FrameObserver observer;
    if (!progress.is_none()) {
        observer = [&](const FrameResult& frame, std::size_t done, std::size_t total) {
            const py::gil_scoped_acquire acquired;
            try {
                progress(frameTuple(frame), done, total);
            } catch (py::error_already_set& e) {
                const std::lock_guard<std::mutex> lock(raisedMutex);
                if (!raised) raised.emplace(std::move(e));
                requestStop(SIGINT);
            }
        };
    }
    RunSummary summary;
    bool keyboardInterrupt = false;
    {
        const py::gil_scoped_release released;
        auto finished = std::async(
            std::launch::async, [&] { return runPlan(plan, commandLine, entryPoint, observer); });
        while (finished.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
            const py::gil_scoped_acquire acquired;
            if (PyErr_CheckSignals() != 0) {
                keyboardInterrupt = true;
                requestStop(SIGINT);
                const py::gil_scoped_release waiting;
                finished.wait();
                break;
            }
        }
        summary = finished.get();
    }
    clearStopRequest();
    if (raised) throw std::move(*raised);
    if (keyboardInterrupt) throw py::error_already_set();
    if (summary.imageFailure) std::rethrow_exception(summary.imageFailure);
    py::list frames;
    for (const FrameResult& frame : summary.frames) frames.append(frameTuple(frame));
    return py::make_tuple(frames, summary.planned, summary.interrupted, summary.seconds,
                          summary.parallelism.jobs, summary.parallelism.threads, plan.gaps);
}

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

    m.def("smooth", &smoothArray, py::arg("plugin"), py::arg("image"), py::arg("tolerance"),
          py::arg("key"), py::arg("extent"), py::arg("threads"));
    m.def("run", &runFiles, py::arg("plugin"), py::arg("input"), py::arg("output"),
          py::arg("sequence"), py::arg("options"), py::arg("progress"));
    // What a sequence call would do, without running it: (frames to smooth, frames asked for
    // but missing), each a list of (number, input, output), whether INPUT is a frame pattern
    // (else a folder), and the holes in the numbering found on disk; the command's error for a
    // bad request.
    m.def(
        "plan",
        [](const std::string& input, const std::string& output, const py::object& frames) {
            const std::optional<std::string> list =
                frames.is_none() ? std::nullopt : std::optional(frames.cast<std::string>());
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
    m.def("parameters", &parameters);
}
