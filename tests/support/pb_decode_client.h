#pragma once
// Runs the independent Demo decoder (tests/support/pb_decode.py) on encoded messages.
#include <cstdint>
#include <string>
#include <vector>

namespace velm::testsupport {

// One output line per message: protobuf text format, or "ERROR: ..." when the bytes do not
// decode cleanly. Throws std::runtime_error when the decoder cannot be run.
std::vector<std::string> DecodeDemoMessages(const std::vector<std::vector<uint8_t>>& messages);

}  // namespace velm::testsupport
