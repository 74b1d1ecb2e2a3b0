#pragma once
// Demographic data encoding: the Demo element of a PidOptions request as a protobuf Demo message.
#include <cstddef>
#include <cstdint>
#include <string>

namespace velm::demo {

// Size of the demo block of a PID request, for either format.
constexpr size_t kDemoBufferSize = 1024;

constexpr int kDemoNoElement = -1;         // no Demo element (also an empty or malformed text)
constexpr int kDemoConversionFailed = -9;  // a number did not convert, or a text exceeds 60 bytes
constexpr int kDemoTooLarge = -10;         // the encoded message does not fit the buffer

// Encodes the Demo element into buffer (capacity bytes). Returns the message length (0 when
// nothing is set) or one of the negative codes above.
int EncodeDemo(const std::string& demoXml, uint8_t* buffer, size_t capacity);

}  // namespace velm::demo
