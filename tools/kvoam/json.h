// kvoam's JSON: every JSON line kvoam writes is built as an object of
// nlohmann's JSON library (Debian package nlohmann-json3-dev) and written by
// JsonText, so that escaping is done in one place.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace kvoam {

// An object whose members keep the order in which they were added.
using Json = nlohmann::ordered_json;

// value as one line of JSON (no "\n"). Text is written as UTF-8 as given; a
// byte sequence that is not UTF-8 becomes U+FFFD, so the line stays JSON
// whatever the plug-in wrote.
inline std::string JsonText(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace kvoam
