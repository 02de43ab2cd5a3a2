#include "ofx_image.h"

#include <cstdint>
#include <cstdlib>

namespace telvix::ofx {

std::size_t ImageView::pixelBytes() const
{
    const std::size_t sample = depth == Depth::Byte ? 1 : depth == Depth::Short ? 2 : 4;
    return sample * std::size_t(channels);
}

OfxStatus readImage(const Properties& image, ImageView& view, std::string& problem)
{
    const std::string depth = image.getString(kOfxImageEffectPropPixelDepth);
    if (depth == kOfxBitDepthByte) {
        view.depth = Depth::Byte;
    } else if (depth == kOfxBitDepthShort) {
        view.depth = Depth::Short;
    } else if (depth == kOfxBitDepthFloat) {
        view.depth = Depth::Float;
    } else {
        problem = "Telvix takes 8-bit, 16-bit and 32-bit float images, not \"" + depth + "\".";
        return kOfxStatErrImageFormat;
    }
    const std::string components = image.getString(kOfxImageEffectPropComponents);
    if (components == kOfxImageComponentRGBA) {
        view.channels = 4;
    } else if (components == kOfxImageComponentRGB) {
        view.channels = 3;
    } else {
        problem = "Telvix takes RGBA and RGB images, not \"" + components + "\".";
        return kOfxStatErrImageFormat;
    }
    view.premultiplied =
        view.channels == 4 &&
        image.getString(kOfxImageEffectPropPreMultiplication) == kOfxImagePreMultiplied;
    view.data = static_cast<unsigned char*>(image.getPointer(kOfxImagePropData));
    view.rowBytes = image.getInt(kOfxImagePropRowBytes);
    if (!image.getRect(kOfxImagePropBounds, view.bounds) || view.bounds.x2 < view.bounds.x1 ||
        view.bounds.y2 < view.bounds.y1) {
        problem = "The host gave an image without valid bounds.";
        return kOfxStatErrImageFormat;
    }
    // Width and height as differences of ints may overflow an int; they must fit one.
    const long long width = static_cast<long long>(view.bounds.x2) - view.bounds.x1;
    const long long height = static_cast<long long>(view.bounds.y2) - view.bounds.y1;
    if (width > INT32_MAX || height > INT32_MAX) {
        problem = "The host gave an image too large to address.";
        return kOfxStatErrImageFormat;
    }
    if (width > 0 && height > 0 &&
        (view.data == nullptr || static_cast<long long>(std::llabs(view.rowBytes)) <
                                     width * static_cast<long long>(view.pixelBytes()))) {
        problem = "The host gave an image whose rows are shorter than its pixels.";
        return kOfxStatErrImageFormat;
    }
    return kOfxStatOK;
}

}  // namespace telvix::ofx
