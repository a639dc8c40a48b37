// SPDX-License-Identifier: MIT
// The adapters this build has behind the pipeline's interfaces (pipeline/media_adapters.hpp):
// libsndfile's containers and libsoxr's resampler when the build has them; without one, its
// adapter refuses with a message naming the library it lacks.
#pragma once

#include "pipeline/media_adapters.hpp"

namespace imabox {

const MediaAdapters& AvailableMedia();

}  // namespace imabox
