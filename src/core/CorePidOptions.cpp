// PidOptions validation: the option record, the finger positions and the Demo part.
#include "core/CorePidOptions.h"

#include <tinyxml2.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "core/CoreDemo.h"
#include "core/VELM_Core_Helper.h"

namespace velm::pidoptions {

const char* const kPositionNames[11] = {"UNKNOWN",     "LEFT_THUMB",   "LEFT_INDEX",   "LEFT_MIDDLE",
                                        "LEFT_RING",   "LEFT_LITTLE",  "RIGHT_THUMB",  "RIGHT_INDEX",
                                        "RIGHT_MIDDLE", "RIGHT_RING",  "RIGHT_LITTLE"};

namespace {

const char* const kWhiteSpace = " \t\n\v\f\r";

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(kWhiteSpace);
    return text.substr(first, last - first + 1);
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool IsPositionName(const std::string& piece) {
    for (const char* name : kPositionNames)
        if (piece == name) return true;
    return false;
}

// Splits at every comma; pieces keep their blanks.
std::vector<std::string> SplitAtComma(const std::string& text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
}

// The attribute's trimmed value; false when absent.
bool Attr(const tinyxml2::XMLElement* e, const char* name, std::string& out) {
    const char* v = e->Attribute(name);
    if (!v) return false;
    out = Trim(v);
    return true;
}

const char* const kInvalidDemo = "Invalid Demo structure";

}  // namespace

int LeadingInt(const std::string& text) {
    errno = 0;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

std::string PositionIndex(const std::string& name) {
    for (int i = 0; i < 11; ++i)
        if (name == kPositionNames[i]) return std::to_string(i);
    return "0";
}

bool IsUsableDemo(const std::string& demo) {
    try {
        if (demo.empty()) return false;
        tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
        if (doc.Parse(demo.data(), demo.size()) != tinyxml2::XML_SUCCESS) return false;
        const tinyxml2::XMLElement* root = doc.FirstChildElement("Demo");
        if (!root) return false;
        const tinyxml2::XMLElement* part = root->FirstChildElement("Pi");
        if (!part) part = root->FirstChildElement("Pa");
        if (!part) part = root->FirstChildElement("Pfa");
        return part && part->FirstAttribute() != nullptr;
    } catch (...) {
        return false;
    }
}

std::vector<std::string> Validate(const std::string& xml, std::vector<std::string>& positions) {
    positions.clear();
    std::vector<std::string> rec(kFieldCount);
    rec[kErrCode] = "0";
    rec[kFCount] = "0";
    rec[kFType] = "-1";
    rec[kFormat] = "0";
    rec[kTimeout] = "0";

    auto fail = [&rec](const char* code, const char* info) {
        rec[kErrCode] = code;
        rec[kErrInfo] = info;
    };

    if (xml.empty()) {
        fail("100", "Invalid PidOptions input. XML should strictly adhere to spec. 4");
        return rec;
    }
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS) {
        fail("100", "Invalid PidOptions input. XML should strictly adhere to spec. 1");
        return rec;
    }
    const tinyxml2::XMLElement* pidOptions = doc.FirstChildElement("PidOptions");
    if (!pidOptions) {
        fail("100", "Invalid PidOptions input. XML should strictly adhere to spec. 2");
        return rec;
    }
    const tinyxml2::XMLElement* opts = pidOptions->FirstChildElement("Opts");
    if (!opts) {
        fail("100", "Invalid PidOptions input. XML should strictly adhere to spec. 3");
        return rec;
    }

    std::string v;

    // fCount
    try {
        bool ok = false;
        if (Attr(opts, "fCount", v)) {
            rec[kFCount] = v;
            int n = LeadingInt(v);
            ok = n >= 1 && n <= 10;
        }
        if (!ok) fail("120", "Invalid value for fCount");
    } catch (...) {
        fail("120", "Invalid value for fCount");
    }

    // fType
    try {
        if (Attr(opts, "fType", v) && (v == "0" || v == "1" || v == "2")) {
            rec[kFType] = v;
            if ((v == "1" || v == "2") && LeadingInt(rec[kFCount]) > 2) fail("120", "Invalid value for fCount");
        } else {
            fail("110", "Invalid value for fType");
        }
    } catch (...) {
        fail("110", "Invalid value for fType");
    }

    // format
    try {
        if (Attr(opts, "format", v) && (v == "0" || v == "1"))
            rec[kFormat] = v;
        else
            fail("190", "Invalid value for format");
    } catch (...) {
        fail("190", "Invalid value for format");
    }

    // pidVer
    try {
        bool ok = false;
        if (Attr(opts, "pidVer", v)) {
            rec[kPidVer] = v;
            ok = v.empty() || v == "2.0";
        }
        if (!ok) fail("150", "Invalid value for pidVer");
    } catch (...) {
        fail("150", "Invalid value for pidVer");
    }

    // timeout
    try {
        if (Attr(opts, "timeout", v)) {
            rec[kTimeout] = v;
            int n = LeadingInt(v);
            if (!(n > 999 && n <= 180000)) fail("160", "Invalid value for timeout");
        } else {
            rec[kTimeout] = "10000";
        }
    } catch (...) {
        fail("160", "Invalid value for timeout");
    }

    // otp, wadh: taken as they are.
    try {
        if (Attr(opts, "otp", v)) rec[kOtp] = v;
    } catch (...) {
        rec[kOtp].clear();
    }
    try {
        if (Attr(opts, "wadh", v)) rec[kWadh] = v;
    } catch (...) {
        rec[kWadh].clear();
    }

    // posh
    try {
        if (!Attr(opts, "posh", v) || v.empty()) {
            positions.assign(1, kPositionNames[0]);
        } else {
            std::vector<std::string> pieces = SplitAtComma(Upper(v));
            bool ok = true;
            for (const std::string& p : pieces) ok = ok && IsPositionName(p);
            if (ok) {
                positions = std::move(pieces);
            } else {
                positions.clear();
                fail("170", "Invalid value for posh");
            }
        }
    } catch (...) {
        positions.push_back(kPositionNames[0]);
    }

    // env
    try {
        bool ok = false;
        if (Attr(opts, "env", v)) {
            v = Upper(v);
            ok = v == "P" || v == "PP" || v == "S";
            if (ok) rec[kEnv] = v;
        }
        if (!ok) fail("220", "Invalid value for env");
    } catch (...) {
        fail("220", "Invalid value for env");
    }

    // Demo
    try {
        if (pidOptions->FirstChildElement("Demo") && xml.find("<Demo/>") == std::string::npos &&
            xml.find("<Demo></Demo>") == std::string::npos) {
            size_t start = xml.find("<Demo");
            size_t close = start == std::string::npos ? start : xml.find("</Demo>", start);
            std::string demo;
            if (close != std::string::npos) demo = Trim(xml.substr(start, close + 7 - start));
            bool ok = IsUsableDemo(demo);
            if (ok && rec[kFormat] == "1") {
                // The protobuf form must fit the demo block of the PID request.
                uint8_t scratch[velm::demo::kDemoBufferSize];
                ok = velm::demo::EncodeDemo(demo, scratch, sizeof scratch) != velm::demo::kDemoTooLarge;
            } else if (ok) {
                // The XML form travels as it is and must fit the same block.
                ok = demo.size() <= velm::demo::kDemoBufferSize;
            }
            if (ok)
                rec[kDemo] = demo;
            else
                fail("200", kInvalidDemo);
        }
    } catch (...) {
        rec[kDemo].clear();
    }
    return rec;
}

}  // namespace velm::pidoptions

std::vector<std::string> VELM_Core_Helper::ValidateAndDeserializePidOptionXML(std::string xml) {
    return velm::pidoptions::Validate(xml, fingerPositions);
}

bool VELM_Core_Helper::ValidateDemoXmlString(std::string demo) { return velm::pidoptions::IsUsableDemo(demo); }

std::string VELM_Core_Helper::GetPositinIndex(std::string name) { return velm::pidoptions::PositionIndex(name); }
