// Moving pixels between file images and the host's worlds.
#pragma once

#include "image_io.h"
#include "standin_host.h"

namespace telvix::cli {

// A world of the image's size at `hostBits` (8 or 16) holding its pixels. Samples become host
// channels (16-bit file values with fileToHost16, 8-bit values widened with widen8To16 for a
// 16-bit world, 16-bit values narrowed for an 8-bit one); grey fills red, green and blue; an
// image without alpha becomes opaque.
standin::World imageToWorld(const Image& image, int hostBits);

// The world's pixels as an image of the world's depth with `channels` channels (1-4). Grey is
// the rounded mean of red, green and blue; alpha is dropped when `channels` has none.
Image worldToImage(const standin::World& world, int channels);

}  // namespace telvix::cli
