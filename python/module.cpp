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
#include <array>
#include <atomic>
#include <cerrno>
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

#include "arguments.h"
#include "cli_error.h"
#include "frame_sequence.h"
#include "frame_world.h"
#include "image_read.h"
#include "interrupt.h"
#include "plan_run.h"
#include "plugin_driver.h"
#include "plugin_library.h"
#include "smooth_request.h"
#include "telvix_project_version.h"

namespace py = pybind11;
using namespace telvix::cli;
using telvix::python::controls;
using telvix::python::integerArgument;
using telvix::python::runOptions;
using telvix::python::stringArgument;

namespace {

// The exception types raised to Python, created once at import and kept for the process.
PyObject* renderErrorType = nullptr;
PyObject* fileErrorType = nullptr;
PyObject* interruptedType = nullptr;

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
    const SmoothRequest request = controls(tolerance, key, extent, threads);
    if (request.extent) {
        checkExtentInFrame(*request.extent, description.width, description.height);
    }
    const PF_FilterProc entryPoint = entryPointOf(plugin);
    const int hostThreads = request.threads > 0
                                ? request.threads
                                : std::max(1, oneapi::tbb::info::default_concurrency());
    py::array result(image.dtype(),
                     std::vector<py::ssize_t>(image.shape(), image.shape() + image.ndim()));
    const int width = description.width;
    const int height = description.height;
    const int channels = description.channels;
    const int depth = description.bits;
    const RenderRequest render = renderRequestFor(request, depth, hostThreads);
    const void* in = image.data();
    void* out = result.mutable_data();
    {
        // Other Python threads run while this one converts and renders.
        const py::gil_scoped_release released;
        standin::World world = depth == 8 ? samplesToWorld(static_cast<const std::uint8_t*>(in),
                                                           width, height, channels, 8)
                                          : samplesToWorld(static_cast<const std::uint16_t*>(in),
                                                           width, height, channels, 16);
        world = renderWorld(entryPoint, std::move(world), render);
        if (depth == 8) {
            worldToSamples(world, channels, static_cast<std::uint8_t*>(out));
        } else {
            // Samples the render left unchanged come back exactly as given.
            worldToSamples(world, channels, static_cast<std::uint16_t*>(out),
                           static_cast<const std::uint16_t*>(in));
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

// SIGTERM and SIGHUP while a run is on, as the command takes them: the first asks the run to
// stop at its next strip of rows, so that the frames in flight are abandoned, their temporary
// files removed and the frames already written kept. The handlers are installed only by calls
// from the main thread (whose handlers Python owns; a call from another thread leaves them as
// they are) and only for signals not ignored (a run under nohup keeps ignoring SIGHUP), and the
// previous ones are put back as the run ends. Further signals while it stops change nothing.
constexpr std::array<int, 2> kRunSignals{SIGTERM, SIGHUP};
std::atomic<int> runSignal{0};  // the signal that stopped a main-thread run, or 0

extern "C" void onRunSignal(int signal)
{
    const int savedErrno = errno;
    int none = 0;
    runSignal.compare_exchange_strong(none, signal);
    requestStop(signal);
    errno = savedErrno;
}

class RunSignals {
public:
    // Called with the GIL held.
    RunSignals()
    {
        const py::module_ threading = py::module_::import("threading");
        if (!threading.attr("current_thread")().is(threading.attr("main_thread")())) return;
        mainThread_ = true;
        runSignal.store(0);
        struct sigaction ours {};
        ours.sa_handler = onRunSignal;
        sigemptyset(&ours.sa_mask);
        for (const int signal : kRunSignals) sigaddset(&ours.sa_mask, signal);
        ours.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < kRunSignals.size(); ++i) {
            struct sigaction& previous = previous_[i];
            if (sigaction(kRunSignals[i], nullptr, &previous) != 0) continue;
            if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN) continue;
            installed_[i] = sigaction(kRunSignals[i], &ours, nullptr) == 0;
        }
    }
    ~RunSignals() { restore(); }
    RunSignals(const RunSignals&) = delete;
    RunSignals& operator=(const RunSignals&) = delete;

    // Puts the previous handlers back; returns the signal that stopped the run, or 0.
    int restore()
    {
        for (std::size_t i = 0; i < kRunSignals.size(); ++i) {
            if (installed_[i]) sigaction(kRunSignals[i], &previous_[i], nullptr);
            installed_[i] = false;
        }
        return mainThread_ ? runSignal.load() : 0;
    }

private:
    bool mainThread_ = false;
    std::array<bool, kRunSignals.size()> installed_{};
    std::array<struct sigaction, kRunSignals.size()> previous_{};
};

// The summary tuple the Python side builds its Summary from.
py::tuple summaryTuple(const RunSummary& summary, const SequencePlan& plan)
{
    py::list frames;
    for (const FrameResult& frame : summary.frames) frames.append(frameTuple(frame));
    return py::make_tuple(frames, summary.planned, summary.interrupted, summary.seconds,
                          summary.parallelism.jobs, summary.parallelism.threads, plan.gaps);
}

// Raises telvix.Interrupted for a run stopped by `signal`, in the words the command ends such a
// run with; it carries the signal's number and the run's summary tuple.
void raiseInterrupted(int signal, const RunSummary& summary, const SequencePlan& plan)
{
    const char* name = signal == SIGHUP ? "SIGHUP" : "SIGTERM";
    std::string message;
    if (plan.singleImage) {
        message = summary.written > 0 ? fmt::format("interrupted by {}; '{}' was written whole",
                                                    name, plan.jobs.front().output.string())
                                      : fmt::format("interrupted by {}; nothing written", name);
    } else {
        message = fmt::format(
            "interrupted by {}; {} of {} frames written, no partial files left "
            "(skip_existing=True resumes)",
            name, summary.written, summary.planned);
    }
    py::object error = py::reinterpret_borrow<py::object>(interruptedType)(message);
    error.attr("signal") = signal;
    error.attr("summary") = summaryTuple(summary, plan);
    PyErr_SetObject(interruptedType, error.ptr());
    throw py::error_already_set();
}

// Runs a plan on a thread of its own while the calling thread, without the GIL, waits for it
// and looks for Ctrl-C every tenth of a second: Python's handler only notes the signal, and the
// interpreter acts on it only in the main thread. A Ctrl-C (or an exception in `progress`) asks
// the run to stop at its next strip of rows, waits for it, and is raised; so is SIGTERM or
// SIGHUP, as telvix.Interrupted (see RunSignals).
py::tuple runFiles(const std::string& plugin, const std::string& input, const std::string& output,
                   bool sequence, const py::dict& options, const py::object& progress)
{
    const SmoothRequest request = runOptions(input, output, options);
    if (!progress.is_none() && PyCallable_Check(progress.ptr()) == 0) {
        throw py::type_error(
            fmt::format("progress: expected a callable or None, got {}",
                        py::str(py::type::of(progress).attr("__name__")).cast<std::string>()));
    }
    const SequencePlan plan = planSmooth(request, sequence);
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
    int stoppedBy = 0;
    {
        RunSignals signals;
        const py::gil_scoped_release released;
        auto finished = std::async(std::launch::async,
                                   [&] { return runPlan(plan, request, entryPoint, observer); });
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
        stoppedBy = signals.restore();
    }
    clearStopRequest();
    if (raised) throw std::move(*raised);
    if (keyboardInterrupt) throw py::error_already_set();
    if (stoppedBy != 0) raiseInterrupted(stoppedBy, summary, plan);
    if (summary.imageFailure) std::rethrow_exception(summary.imageFailure);
    return summaryTuple(summary, plan);
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
    m.def("parameters", &parameters);
}
