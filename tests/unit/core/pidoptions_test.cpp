// PidOptions validation: every error of the table, the "last failing check wins" rule, the
// stored fields and the finger positions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/CorePidOptions.h"

namespace po = velm::pidoptions;

namespace {

const char* kValidOpts = "fCount=\"1\" fType=\"0\" format=\"0\" pidVer=\"2.0\" timeout=\"10000\" env=\"P\"";

std::string Doc(const std::string& opts, const std::string& extra = "") {
    return "<PidOptions ver=\"1.0\"><Opts " + opts + " />" + extra + "</PidOptions>";
}

// The valid options with one attribute replaced (value nullptr: attribute removed).
std::string With(const char* name, const char* value) {
    std::string opts;
    for (const char* a : {"fCount", "fType", "format", "pidVer", "timeout", "env"}) {
        std::string v;
        if (std::string(a) == name) {
            if (!value) continue;
            v = value;
        } else {
            std::string all = kValidOpts;
            size_t p = all.find(std::string(a) + "=\"") + std::string(a).size() + 2;
            v = all.substr(p, all.find('"', p) - p);
        }
        opts += std::string(a) + "=\"" + v + "\" ";
    }
    if (std::string(name) != "fCount" && std::string(name) != "fType" && std::string(name) != "format" &&
        std::string(name) != "pidVer" && std::string(name) != "timeout" && std::string(name) != "env" && value)
        opts += std::string(name) + "=\"" + value + "\" ";
    return Doc(opts);
}

struct Result {
    std::vector<std::string> rec;
    std::vector<std::string> pos;
};

Result Check(const std::string& xml) {
    Result r;
    r.pos = {"stale"};
    r.rec = po::Validate(xml, r.pos);
    EXPECT_EQ(r.rec.size(), 12u);
    EXPECT_TRUE(r.rec[po::kReserved].empty());
    return r;
}

}  // namespace

TEST(PidOptions, ErrorTable) {
    struct Case {
        std::string xml;
        const char* code;
        const char* info;
    };
    const std::string s = "Invalid PidOptions input. XML should strictly adhere to spec. ";
    const std::vector<Case> cases = {
        {"", "100", nullptr},
        {"<PidOptions><Opts", "100", nullptr},
        {"<Other><Opts fCount=\"1\"/></Other>", "100", nullptr},
        {"<PidOptions><CustOpts/></PidOptions>", "100", nullptr},
        {Doc(kValidOpts), "0", ""},
        {With("fCount", "0"), "120", "Invalid value for fCount"},
        {With("fCount", "11"), "120", "Invalid value for fCount"},
        {With("fCount", "abc"), "120", "Invalid value for fCount"},
        {With("fCount", nullptr), "120", "Invalid value for fCount"},
        {With("fCount", "10"), "0", ""},
        {With("fCount", "5abc"), "0", ""},
        {With("fType", "3"), "110", "Invalid value for fType"},
        {With("fType", "00"), "110", "Invalid value for fType"},
        {With("fType", nullptr), "110", "Invalid value for fType"},
        {With("format", "2"), "190", "Invalid value for format"},
        {With("format", nullptr), "190", "Invalid value for format"},
        {With("pidVer", "2"), "150", "Invalid value for pidVer"},
        {With("pidVer", nullptr), "150", "Invalid value for pidVer"},
        {With("pidVer", ""), "0", ""},
        {With("timeout", "999"), "160", "Invalid value for timeout"},
        {With("timeout", "180001"), "160", "Invalid value for timeout"},
        {With("timeout", "x"), "160", "Invalid value for timeout"},
        {With("timeout", "1000"), "0", ""},
        {With("timeout", "180000"), "0", ""},
        {With("timeout", nullptr), "0", ""},
        {With("posh", "INDEX"), "170", "Invalid value for posh"},
        {With("posh", "LEFT_INDEX, RIGHT_INDEX"), "170", "Invalid value for posh"},
        {With("posh", "LEFT_INDEX,"), "170", "Invalid value for posh"},
        {With("env", "X"), "220", "Invalid value for env"},
        {With("env", "-"), "220", "Invalid value for env"},
        {With("env", ""), "220", "Invalid value for env"},
        {With("env", nullptr), "220", "Invalid value for env"},
        {Doc(kValidOpts, "<Demo><Pi/><Pa gender=\"M\"/></Demo>"), "200", "Invalid Demo structure"},
        {Doc(kValidOpts, "<Demo lang=\"06\"/>"), "200", "Invalid Demo structure"},
        {Doc(kValidOpts, "<Demo><Other a=\"1\"/></Demo>"), "200", "Invalid Demo structure"},
    };
    for (const Case& c : cases) {
        Result r = Check(c.xml);
        EXPECT_EQ(r.rec[po::kErrCode], c.code) << c.xml;
        if (c.info) {
            EXPECT_EQ(r.rec[po::kErrInfo], c.info) << c.xml;
        } else {
            EXPECT_EQ(r.rec[po::kErrInfo].rfind(s, 0), 0u) << c.xml;
        }
    }
    // The four structural failures have their own suffix.
    EXPECT_EQ(Check("").rec[po::kErrInfo], s + "4");
    EXPECT_EQ(Check("<PidOptions><Opts").rec[po::kErrInfo], s + "1");
    EXPECT_EQ(Check("<Other/>").rec[po::kErrInfo], s + "2");
    EXPECT_EQ(Check("<PidOptions/>").rec[po::kErrInfo], s + "3");
    EXPECT_TRUE(Check("").pos.empty());
}

TEST(PidOptions, LastFailingCheckWins) {
    struct Case {
        std::string opts;
        const char* code;
    };
    const std::vector<Case> cases = {
        {"fCount=\"0\" fType=\"0\" format=\"0\" pidVer=\"2.0\" env=\"X\"", "220"},
        {"fCount=\"0\" fType=\"9\" format=\"0\" pidVer=\"2.0\" env=\"P\"", "110"},
        {"fCount=\"3\" fType=\"2\" format=\"0\" pidVer=\"2.0\" env=\"P\"", "120"},
        {"fCount=\"3\" fType=\"1\" format=\"7\" pidVer=\"2.0\" env=\"P\"", "190"},
        {"fType=\"0\" format=\"0\" pidVer=\"2.0\" timeout=\"5\" env=\"P\"", "160"},
        {"fType=\"0\" format=\"0\" pidVer=\"2.0\" timeout=\"5\" posh=\"NOSE\" env=\"P\"", "170"},
        {"fCount=\"1\" format=\"0\" pidVer=\"2.0\" posh=\"NOSE\"", "220"},
        {"fCount=\"1\" fType=\"0\" format=\"0\" pidVer=\"2.1\" env=\"S\"", "150"},
    };
    for (const Case& c : cases) EXPECT_EQ(Check(Doc(c.opts)).rec[po::kErrCode], c.code) << c.opts;
    // A failure early in the list followed by a Demo failure reports the Demo.
    Result r = Check(Doc("fCount=\"0\" env=\"Q\"", "<Demo><Pi/></Demo>"));
    EXPECT_EQ(r.rec[po::kErrCode], "200");
}

TEST(PidOptions, StoredFields) {
    Result r = Check(Doc(" fCount=\" 2 \" fType=\" 2\" format=\"1 \" pidVer=\"2.0\" timeout=\" 20000 \" otp=\" 123456 \" "
                         "wadh=\" abc= \" env=\"pp\" iCount=\"1\" pCount=\"2\"",
                         "<CustOpts><Param name=\"x\" value=\"y\"/></CustOpts>"));
    EXPECT_EQ(r.rec[po::kErrCode], "0");
    EXPECT_EQ(r.rec[po::kErrInfo], "");
    EXPECT_EQ(r.rec[po::kFCount], "2");
    EXPECT_EQ(r.rec[po::kFType], "2");
    EXPECT_EQ(r.rec[po::kFormat], "1");
    EXPECT_EQ(r.rec[po::kPidVer], "2.0");
    EXPECT_EQ(r.rec[po::kTimeout], "20000");
    EXPECT_EQ(r.rec[po::kOtp], "123456");
    EXPECT_EQ(r.rec[po::kWadh], "abc=");
    EXPECT_EQ(r.rec[po::kEnv], "PP");
    EXPECT_EQ(r.rec[po::kDemo], "");
    EXPECT_EQ(r.pos, std::vector<std::string>{"UNKNOWN"});

    // Defaults and values kept on failure.
    Result d = Check(Doc("fCount=\"x\" fType=\"7\" format=\"9\" env=\"Z\""));
    EXPECT_EQ(d.rec[po::kFCount], "x");
    EXPECT_EQ(d.rec[po::kFType], "-1");
    EXPECT_EQ(d.rec[po::kFormat], "0");
    EXPECT_EQ(d.rec[po::kPidVer], "");
    EXPECT_EQ(d.rec[po::kTimeout], "10000");
    EXPECT_EQ(d.rec[po::kEnv], "");
    Result e = Check(Doc("fCount=\"1\""));
    EXPECT_EQ(e.rec[po::kTimeout], "10000");
    Result f = Check("<PidOptions/>");
    EXPECT_EQ(f.rec[po::kTimeout], "0");
    EXPECT_EQ(f.rec[po::kFType], "-1");
}

TEST(PidOptions, FingerPositions) {
    struct Case {
        const char* posh;  // nullptr: absent
        std::vector<std::string> expect;
        bool error;
    };
    const std::vector<Case> cases = {
        {nullptr, {"UNKNOWN"}, false},
        {"", {"UNKNOWN"}, false},
        {"   ", {"UNKNOWN"}, false},
        {"left_index,RIGHT_INDEX", {"LEFT_INDEX", "RIGHT_INDEX"}, false},
        {" right_little ", {"RIGHT_LITTLE"}, false},
        {"UNKNOWN,UNKNOWN", {"UNKNOWN", "UNKNOWN"}, false},
        {"left_index, RIGHT_INDEX", {}, true},
        {"LEFT_THUMB,INDEX", {}, true},
        {",LEFT_THUMB", {}, true},
    };
    for (const Case& c : cases) {
        Result r = Check(With("posh", c.posh));
        EXPECT_EQ(r.pos, c.expect) << (c.posh ? c.posh : "(absent)");
        EXPECT_EQ(r.rec[po::kErrCode], c.error ? "170" : "0") << (c.posh ? c.posh : "(absent)");
    }
}

TEST(PidOptions, DemoPart) {
    const std::string pi = "<Demo lang=\"06\"><Pi name=\"Asha\" gender=\"F\"/></Demo>";
    struct Case {
        std::string extra;
        const char* code;
        std::string demo;
    };
    const std::vector<Case> cases = {
        {"<Demo/>", "0", ""},
        {"<Demo></Demo>", "0", ""},
        {"  " + pi + "  ", "0", pi},
        {"<Demo>\n  <Pa co=\"x\"/>\n</Demo>", "0", "<Demo>\n  <Pa co=\"x\"/>\n</Demo>"},
        {"<Demo><Pi/><Pa co=\"x\"/></Demo>", "200", ""},
        {"<Demo><Pfa/></Demo>", "200", ""},
        {"<Demo>text only</Demo>", "200", ""},
        {"", "0", ""},
    };
    for (const Case& c : cases) {
        Result r = Check(Doc(kValidOpts, c.extra));
        EXPECT_EQ(r.rec[po::kErrCode], c.code) << c.extra;
        EXPECT_EQ(r.rec[po::kDemo], c.demo) << c.extra;
    }
    // A Demo element outside PidOptions is not looked at.
    EXPECT_EQ(Check(Doc(kValidOpts)).rec[po::kDemo], "");
}

TEST(PidOptions, DemoMustFitTheDemoBlock) {
    // XML form: the text itself travels; more than 1024 bytes is refused, not cut.
    std::string many;
    for (int i = 0; i < 20; ++i) many += "<Pa co=\"" + std::string(50, 'c') + "\"/>";
    std::string big = "<Demo><Pi name=\"x\"/>" + many + "</Demo>";
    ASSERT_GT(big.size(), 1024u);
    std::string xmlOpts = "fCount=\"1\" fType=\"0\" format=\"0\" pidVer=\"2.0\" env=\"P\"";
    std::string pbOpts = "fCount=\"1\" fType=\"0\" format=\"1\" pidVer=\"2.0\" env=\"P\"";
    Result r = Check(Doc(xmlOpts, big));
    EXPECT_EQ(r.rec[po::kErrCode], "200");
    EXPECT_EQ(r.rec[po::kErrInfo], "Invalid Demo structure");
    EXPECT_EQ(r.rec[po::kDemo], "");
    // Protobuf form of the same text is small (only the first Pa counts) and passes.
    Result p = Check(Doc(pbOpts, big));
    EXPECT_EQ(p.rec[po::kErrCode], "0");
    EXPECT_EQ(p.rec[po::kDemo], big);

    // Protobuf form whose encoding exceeds the block: every text field at 60 bytes.
    std::string a(60, 'a');
    std::string wide = "<Demo><Pi name=\"" + a + "\" lname=\"" + a + "\" email=\"" + a + "\" phone=\"" + a + "\"/><Pa";
    for (const char* f : {"co", "house", "street", "lm", "loc", "vtc", "subdist", "dist", "state", "country", "pc",
                          "po"})
        wide += std::string(" ") + f + "=\"" + a + "\"";
    wide += "/><Pfa av=\"" + a + "\" lav=\"" + a + "\"/></Demo>";
    ASSERT_GT(wide.size(), 1024u);
    EXPECT_EQ(Check(Doc(pbOpts, wide)).rec[po::kErrCode], "200");
    // Without the Pa it fits in either form.
    std::string narrow = "<Demo><Pi name=\"" + a + "\" lname=\"" + a + "\"/><Pfa av=\"" + a + "\"/></Demo>";
    EXPECT_EQ(Check(Doc(pbOpts, narrow)).rec[po::kErrCode], "0");
    EXPECT_EQ(Check(Doc(xmlOpts, narrow)).rec[po::kErrCode], "0");
}

TEST(PidOptions, PositionIndex) {
    for (int i = 0; i < 11; ++i) EXPECT_EQ(po::PositionIndex(po::kPositionNames[i]), std::to_string(i));
    EXPECT_EQ(po::PositionIndex("RIGHT_LITTLE"), "10");
    for (const char* other : {"", "left_thumb", "LEFT_THUMB ", "THUMB", "11"}) EXPECT_EQ(po::PositionIndex(other), "0");
}

TEST(PidOptions, UsableDemo) {
    EXPECT_FALSE(po::IsUsableDemo(""));
    EXPECT_FALSE(po::IsUsableDemo("<Demo>"));
    EXPECT_FALSE(po::IsUsableDemo("<X><Pi a=\"1\"/></X>"));
    EXPECT_FALSE(po::IsUsableDemo("<Demo><Pi/><Pa co=\"1\"/></Demo>"));
    EXPECT_TRUE(po::IsUsableDemo("<Demo><Pfa av=\"1\"/></Demo>"));
    EXPECT_TRUE(po::IsUsableDemo("<Demo><Other/><Pa co=\"1\"/></Demo>"));
}
