#pragma once
// PidOptions of a CAPTURE request: validation into the twelve-text option record.
#include <string>
#include <vector>

namespace velm::pidoptions {

// Positions of the option record; callers read the record by these indices.
enum Field : size_t {
    kErrCode = 0,
    kErrInfo = 1,
    kFCount = 2,
    kFType = 3,
    kFormat = 4,
    kPidVer = 5,
    kTimeout = 6,
    kOtp = 7,
    kWadh = 8,
    kReserved = 9,
    kEnv = 10,
    kDemo = 11,
    kFieldCount = 12,
};

// The eleven finger position names, index = position index.
extern const char* const kPositionNames[11];

// Validates a PidOptions document. Never fails: problems end up in kErrCode/kErrInfo (the
// last failing check wins). Replaces positions with the requested finger positions.
std::vector<std::string> Validate(const std::string& xml, std::vector<std::string>& positions);

// True when demo is a Demo element whose first Pi (else Pa, else Pfa) child has an attribute.
bool IsUsableDemo(const std::string& demo);

// Decimal index of a position name; "0" for anything else.
std::string PositionIndex(const std::string& name);

// The leading decimal integer of a text (white space and sign allowed), 0 when there is none;
// saturated to the 32-bit range.
int LeadingInt(const std::string& text);

}  // namespace velm::pidoptions
