// The JSON value type used for wire dictionaries and failure context: keys keep the order in
// which they were assembled.
#pragma once

#include <nlohmann/json.hpp>

namespace quorvel {
using Json = nlohmann::ordered_json;
}
