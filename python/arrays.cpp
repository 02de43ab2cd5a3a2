// Numpy image arrays through the same conversions between samples and host worlds as files.
#include <fmt/format.h>
#include <oneapi/tbb/info.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "arguments.h"
#include "frame_world.h"
#include "image.h"
#include "native.h"
#include "plugin_driver.h"
#include "smooth_request.h"

namespace py = pybind11;
using namespace telvix::cli;

namespace telvix::python {
namespace {

// The shape of an image array as the library's Image describes it. Raises TypeError for other
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

}  // namespace

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

}  // namespace telvix::python
