// Base64 text form of the enciphered password (standard alphabet, "=" pads,
// no line breaks).
#pragma once

#include <string>
#include <string_view>

namespace kestrova {

std::string Base64Encode(std::string_view bytes);

// Groups of four characters from the start (the last group may be shorter).
// A character outside the alphabet counts 0 and as a pad of its group; each
// group appends three bytes and then drops as many bytes as it had pads.
// When the pads would drop every byte produced so far, decoding fails: the
// result is empty and *failure (when given) receives a description.
std::string Base64Decode(std::string_view text, std::string* failure = nullptr);

} // namespace kestrova
