// Anti-spoof settings from a registration answer, certificate expiry classes and firmware
// version numbers.
#include <gtest/gtest.h>

#include "core/CoreSupport.h"
#include "net/VELM_HTTP_Helper.h"

using namespace velm::core;

namespace {

TEST(SpoofSettings, FieldsThreeToFiveOnlyWhenSixFieldsArrive) {
    struct Case {
        const char* result;
        const char* attempt;
        const char* timelock;
        const char* level;
    } cases[] = {
        {"a,b,c,7,20,100,CERT", "7", "20", "100"},
        {"a,b,c,7,20,100", "7", "20", "100"},
        {"a,b,c,7,20", "99", "15", "2000"},  // five fields: defaults
        {"", "99", "15", "2000"},
        {"a,b,c,200,2,30000,CERT", "200", "2", "30000"},  // taken as they are; ranges come next
    };
    for (const auto& c : cases) {
        const auto s = SpoofSettingsFromResult(c.result);
        EXPECT_EQ(s.attempt, c.attempt) << c.result;
        EXPECT_EQ(s.timelock, c.timelock) << c.result;
        EXPECT_EQ(s.level, c.level) << c.result;
    }
}

TEST(SpoofSettings, RangeRulesKeepTheTextOrReplaceIt) {
    struct Case {
        const char *attempt, *timelock, *level;
        const char *wantAttempt, *wantTimelock, *wantLevel;
    } cases[] = {
        {"200", "2", "30000", "99", "15", "0"},
        {"5", "5", "-5000", "5", "5", "-5000"},      // lower bounds kept
        {"99", "44", "20000", "99", "44", "20000"},  // upper bounds kept
        {"4", "45", "-5001", "99", "15", "0"},       // one beyond each bound
        {"abc", "x", "high", "99", "15", "high"},    // unparsable counts as 0; 0 is a valid level
        {" 10", "12min", "7", " 10", "12min", "7"},  // strtol reading: leading blank, trailing text
        {"99999999999999999999", "15", "1", "99", "15", "1"},
    };
    for (const auto& c : cases) {
        SpoofSettingsText in;
        in.attempt = c.attempt;
        in.timelock = c.timelock;
        in.level = c.level;
        const auto out = ApplySpoofSettingRanges(in);
        EXPECT_EQ(out.attempt, c.wantAttempt) << c.attempt;
        EXPECT_EQ(out.timelock, c.wantTimelock) << c.timelock;
        EXPECT_EQ(out.level, c.wantLevel) << c.level;
    }
    EXPECT_EQ(TextToInt(" 10"), 10);
    EXPECT_EQ(TextToInt("12min"), 12);
    EXPECT_EQ(TextToInt("abc"), 0);
}

TEST(CertificateExpiry, ClassesAroundTheirBoundaries) {
    struct Case {
        double d;  // now - expiry, seconds
        int want;
    } cases[] = {
        {1, 0},           // expired a second ago
        {0, 0},           // expires now
        {-1, 1},          // within ten minutes: still fully valid
        {-300, 1},        // five minutes
        {-600, 1},        // exactly ten minutes
        {-601, 2},        // just over ten minutes: expiring soon
        {-2 * 86400, 2},  // two days
        {-432000, 2},     // exactly five days
        {-432001, 1},     // just over five days
        {-6 * 86400, 1},  // six days
    };
    for (const auto& c : cases) EXPECT_EQ(ClassifyCertificateExpiry(c.d), c.want) << c.d;
}

TEST(FirmwareVersion, NumbersWithoutVAndPoints) {
    struct Case {
        const char* text;
        bool ok;
        long value;
    } cases[] = {
        {"V1.23", true, 123}, {"1.23", true, 123},   {"V1.2.3", true, 123}, {" 1.30", true, 130},
        {"V2", true, 2},      {"1.25abc", true, 125}, {"", false, 0},       {"V.", false, 0},
        {"abc", false, 0},    {"99999999999", false, 0},
    };
    for (const auto& c : cases) {
        long v = -1;
        EXPECT_EQ(ParseFirmwareVersionNumber(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

}  // namespace

namespace {

TEST(SoapAnswer, EachStepOfTheWalk) {
    const std::string env = "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">";
    struct Case {
        std::string answer;
        int step;
        std::string text;
    } cases[] = {
        {env + "<soap:Body><RegisterDevice3Response><RegisterDevice3Result>a,b,&amp;c</RegisterDevice3Result>"
               "</RegisterDevice3Response></soap:Body></soap:Envelope>",
         0, "a,b,&c"},
        {env + "<soap:Body><RegisterDevice3Response><RegisterDevice3Result/></RegisterDevice3Response></soap:Body>"
               "</soap:Envelope>",
         0, ""},
        {"", 1, ""},
        {"FAIL: Couldn't connect to server", 1, ""},
        {"<html><body>500</body>", 1, ""},
        {"<html><body>500</body></html>", 2, ""},
        {env + "<soap:Header/></soap:Envelope>", 3, ""},
        {env + "<soap:Body><soap:Fault/></soap:Body></soap:Envelope>", 4, ""},
        {env + "<soap:Body><RegisterDevice3Response><Other/></RegisterDevice3Response></soap:Body></soap:Envelope>", 5,
         ""},
    };
    for (const auto& c : cases) {
        const velm::net::SoapAnswer a = velm::net::ParseSoapAnswer(c.answer, "RegisterDevice3");
        EXPECT_EQ(static_cast<int>(a.step), c.step) << c.answer;
        if (c.step == 0) {
            EXPECT_EQ(a.text, c.text);
        }
    }
}

}  // namespace
