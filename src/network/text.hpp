// Small text helpers shared by the network module: Unicode white-space trimming,
// ASCII lower-casing, UTF-8 validation and line splitting. Internal to the module.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vintra::network::text {

// Removes leading and trailing characters with the Unicode White_Space property.
// Bytes that are not valid UTF-8 are never trimmed.
std::string_view trim(std::string_view s);
std::string_view trim_end(std::string_view s);

// Lower-cases ASCII A to Z; every other byte is kept.
std::string ascii_lower(std::string_view s);


// The error text given when a file that must be text is not valid UTF-8.
inline constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

// Splits at line feeds; a carriage return right before a line feed is dropped, a final
// line without line feed counts, and no empty line follows a final line feed.
std::vector<std::string_view> split_lines(std::string_view s);


}  // namespace vintra::network::text
