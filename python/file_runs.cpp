// Files, sequences and folders through the library's plan and run, on a thread of their own so
// that Ctrl-C, SIGTERM and SIGHUP stop them as they stop the command.
#include <fmt/format.h>
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "arguments.h"
#include "frame_sequence.h"
#include "interrupt.h"
#include "native.h"
#include "plan_run.h"
#include "smooth_request.h"

namespace py = pybind11;
using namespace telvix::cli;

namespace telvix::python {
namespace {

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

}  // namespace

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

}  // namespace telvix::python
