#include "arguments.h"

#include <fmt/format.h>

#include <climits>

#include "cli_error.h"
#include "option_table.h"

namespace py = pybind11;
using namespace telvix::cli;

namespace telvix::python {
namespace {

std::string typeName(const py::handle& value)
{
    return py::str(py::type::of(value).attr("__name__")).cast<std::string>();
}

[[noreturn]] void wrongType(const char* name, const char* expected, const py::handle& value)
{
    throw py::type_error(fmt::format("{}: expected {}, got {}", name, expected, typeName(value)));
}

// An integer option within its declared range; out of range, the command's parser's words
// ("--tolerance: Value 300 not in range 0 to 255").
int rangeArgument(const py::handle& value, const char* name)
{
    const OptionSpec& spec = option(name);
    const long long number = integerArgument(value, name);
    if (number < spec.min || number > spec.max) {
        throw UsageError(fmt::format("--{}: Value {} not in range {} to {}", name,
                                     py::str(value).cast<std::string>(), spec.min, spec.max));
    }
    return static_cast<int>(number);
}

// A flag: True or False (numpy's bools too); None is off.
bool flagArgument(const py::handle& value, const char* name)
{
    if (value.is_none()) return false;
    if (py::isinstance<py::bool_>(value)) return value.cast<bool>();
    const py::module_ numpy = py::module_::import("numpy");
    if (py::isinstance(value, numpy.attr("bool_"))) return value.cast<bool>();
    wrongType(name, "bool", value);
}

// A key colour: "RRGGBB", "#rrggbb" or (r, g, b) of 0-255.
KeyColour keyArgument(const py::handle& key)
{
    if (py::isinstance<py::str>(key)) return parseKeyColour(key.cast<std::string>());
    if (!py::isinstance<py::sequence>(key)) wrongType("key", "str or (r, g, b)", key);
    if (!py::isinstance<py::bytes>(key) && py::len(key) == 3) {
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
        wrongType("extent", "str or (left, top, right, bottom)", extent);
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

}  // namespace

long long integerArgument(const py::handle& value, const char* name)
{
    if (py::isinstance<py::bool_>(value) || PyIndex_Check(value.ptr()) == 0) {
        wrongType(name, "int", value);
    }
    const auto number = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!number) throw py::error_already_set();
    try {
        return number.cast<long long>();
    } catch (const py::cast_error&) {
        return number > py::int_(0) ? LLONG_MAX : LLONG_MIN;
    }
}

std::optional<std::string> stringArgument(const py::handle& value, const char* name)
{
    if (value.is_none()) return std::nullopt;
    if (!py::isinstance<py::str>(value)) wrongType(name, "str", value);
    return value.cast<std::string>();
}

SmoothRequest controls(const py::handle& tolerance, const py::handle& key, const py::handle& extent,
                       const py::handle& threads)
{
    SmoothRequest request;
    request.tolerance = rangeArgument(tolerance, "tolerance");
    if (!key.is_none()) request.key = keyArgument(key);
    if (!extent.is_none()) request.extent = extentArgument(extent);
    if (!threads.is_none()) request.threads = rangeArgument(threads, "threads");
    return request;
}

SmoothRequest runOptions(const std::string& input, const std::string& output,
                         const py::dict& options)
{
    const auto get = [&](const char* name) {
        return options.contains(name) ? py::object(options[name]) : py::object(py::none());
    };
    const py::object tolerance = get("tolerance");
    SmoothRequest c =
        controls(tolerance.is_none() ? py::int_(option("tolerance").defaultValue) : tolerance,
                 get("key"), get("extent"), get("threads"));
    c.input = input;
    c.output = output;
    c.quiet = true;  // everything is reported through the summary
    if (!get("depth").is_none()) {
        const OptionSpec& spec = option("depth");
        const long long depth = integerArgument(get("depth"), "depth");
        if (depth != spec.min && depth != spec.max) {
            throw UsageError(
                fmt::format("--depth: {} not in {{{},{}}}", depth, spec.min, spec.max));
        }
        c.depth = static_cast<int>(depth);
    }
    if (!get("jobs").is_none()) c.jobs = rangeArgument(get("jobs"), "jobs");
    c.frames = stringArgument(get("frames"), "frames");
    c.compression = stringArgument(get("compression"), "compression").value_or("");
    c.dropAlpha = flagArgument(get("drop_alpha"), "drop_alpha");
    c.clip = flagArgument(get("clip"), "clip");
    c.skipExisting = flagArgument(get("skip_existing"), "skip_existing");
    c.keepGoing = flagArgument(get("keep_going"), "keep_going");
    return c;
}

}  // namespace telvix::python
