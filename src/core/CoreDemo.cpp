// Demographic data of a PidOptions request: the Demo element turned into the protobuf Demo
// message that the scanner places into the PID block.
#include <tinyxml2.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "core/CoreDemo.h"
#include "core/VELM_Core_Helper.h"
#include "security/VELM_Pid_Codec.h"

namespace velm::demo {

namespace {

using namespace velm::pid;

struct ConversionFailed {};

std::string Upper(const char* s) {
    std::string out(s ? s : "");
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// Reads a decimal int at the start of text the way strtol does (leading white space and a
// sign allowed, stops at the first non-digit). Sets end to the first unread character.
// Throws ConversionFailed when there is no number or it does not fit 32 bits.
int32_t LeadingInt(const char* text, const char** end) {
    errno = 0;
    char* stop = nullptr;
    long value = std::strtol(text, &stop, 10);
    if (stop == text) throw ConversionFailed{};
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) throw ConversionFailed{};
    if (end) *end = stop;
    return static_cast<int32_t>(value);
}

int32_t IntAttr(const char* value) { return LeadingInt(value, nullptr); }

void TextAttr(PbText& slot, const char* value) {
    if (!PbText_set(slot, value)) throw ConversionFailed{};
}

int32_t MatchStrategy(const char* value) {
    std::string v = Upper(value);
    if (v == "E") return Ms_E;
    if (v == "P") return Ms_P;
    return Ms_NONE;
}

int32_t GenderOf(const char* value) {
    std::string v = Upper(value);
    if (v == "F") return Gender_F;
    if (v == "M") return Gender_M;
    if (v == "T") return Gender_T;
    return Gender_NONE;
}

int32_t DobtOf(const char* value) {
    std::string v = Upper(value);
    if (v == "V") return Dobt_V;
    if (v == "D") return Dobt_D;
    if (v == "A") return Dobt_A;
    return Dobt_NONE;
}

// A date text read as "%d-%d-%d": up to three numbers, each after a literal '-'; the numbers
// not read stay 0.
void DateAttr(Dob& dob, const char* value) {
    int32_t* slots[] = {&dob.first, &dob.second, &dob.third};
    const char* p = value;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (*p != '-') return;
            ++p;
        }
        char* stop = nullptr;
        errno = 0;
        long v = std::strtol(p, &stop, 10);
        if (stop == p) return;
        if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) throw ConversionFailed{};
        *slots[i] = static_cast<int32_t>(v);
        p = stop;
    }
}

void FillPi(Pi& pi, const tinyxml2::XMLElement* e) {
    const char* v;
    if ((v = e->Attribute("ms"))) pi.ms = MatchStrategy(v);
    if ((v = e->Attribute("mv"))) pi.mv = IntAttr(v);
    if ((v = e->Attribute("name"))) TextAttr(pi.name, v);
    if ((v = e->Attribute("lname"))) TextAttr(pi.lname, v);
    if ((v = e->Attribute("lmv"))) pi.lmv = IntAttr(v);
    if ((v = e->Attribute("gender"))) pi.gender = GenderOf(v);
    if ((v = e->Attribute("dob"))) DateAttr(pi.dob, v);
    if ((v = e->Attribute("dobt"))) pi.dobt = DobtOf(v);
    if ((v = e->Attribute("age"))) pi.age = IntAttr(v);
    if ((v = e->Attribute("phone"))) TextAttr(pi.phone, v);
    if ((v = e->Attribute("email"))) TextAttr(pi.email, v);
}

void FillPa(Pa& pa, const tinyxml2::XMLElement* e) {
    if (e->Attribute("ms")) pa.ms = Ms_E;  // any value present means "exact"
    struct {
        const char* name;
        PbText* slot;
    } texts[] = {{"co", &pa.co},           {"house", &pa.house}, {"street", &pa.street},
                 {"lm", &pa.lm},           {"loc", &pa.loc},     {"vtc", &pa.vtc},
                 {"subdist", &pa.subdist}, {"dist", &pa.dist},   {"state", &pa.state},
                 {"country", &pa.country}, {"pc", &pa.pc},       {"po", &pa.po}};
    for (auto& t : texts) {
        if (const char* v = e->Attribute(t.name)) TextAttr(*t.slot, v);
    }
}

void FillPfa(Pfa& pfa, const tinyxml2::XMLElement* e) {
    const char* v;
    if ((v = e->Attribute("ms"))) pfa.ms = MatchStrategy(v);
    if ((v = e->Attribute("mv"))) pfa.mv = IntAttr(v);
    if ((v = e->Attribute("av"))) TextAttr(pfa.av, v);
    if ((v = e->Attribute("lav"))) TextAttr(pfa.lav, v);
    if ((v = e->Attribute("lmv"))) pfa.lmv = IntAttr(v);
}

}  // namespace

int EncodeDemo(const std::string& demoXml, uint8_t* buffer, size_t capacity) {
    Demo demo;
    Demo_clear(demo);
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (demoXml.empty() || doc.Parse(demoXml.data(), demoXml.size()) != tinyxml2::XML_SUCCESS)
        return kDemoNoElement;
    const tinyxml2::XMLElement* root = doc.FirstChildElement("Demo");
    if (!root) return kDemoNoElement;
    try {
        if (const char* lang = root->Attribute("lang")) demo.lang = IntAttr(lang);
        if (const auto* e = root->FirstChildElement("Pi")) FillPi(demo.pi, e);
        if (const auto* e = root->FirstChildElement("Pa")) FillPa(demo.pa, e);
        if (const auto* e = root->FirstChildElement("Pfa")) FillPfa(demo.pfa, e);
    } catch (const ConversionFailed&) {
        return kDemoConversionFailed;
    }
    long written = Demo_write(demo, buffer, buffer ? capacity : 0, 0);
    if (written < 0) return kDemoTooLarge;
    return static_cast<int>(written);
}

}  // namespace velm::demo

int VELM_Core_Helper::CreateDemoProtobufData(std::string demoXml, uint8_t* buffer, size_t capacity) {
    return velm::demo::EncodeDemo(demoXml, buffer, capacity);
}
