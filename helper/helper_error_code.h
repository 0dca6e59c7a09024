// The helper's error codes: the engine's own, whose raw value is the wire string of an err
// message's code.
#pragma once

#include "caption_engine/base/caption_error_code.h"

namespace quorvel::helper {

using HelperErrorCode = CaptionErrorCode;

}  // namespace quorvel::helper
