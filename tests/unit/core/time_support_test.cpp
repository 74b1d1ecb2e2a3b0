// Date parsing, clock-command formatting, the scanner's time stamp and the bounded program runner.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/CoreSupport.h"
#include "service/RunProgram.h"

using velm::RunProgram;

using namespace velm::core;

namespace {

// Runs the test body with TZ set to India time and puts the old zone back afterwards.
class IndiaTime : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        hadTz_ = old != nullptr;
        if (hadTz_) oldTz_ = old;
        setenv("TZ", "Asia/Kolkata", 1);
        tzset();
    }
    void TearDown() override {
        if (hadTz_) setenv("TZ", oldTz_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    bool hadTz_ = false;
    std::string oldTz_;
};

TEST_F(IndiaTime, ServerDateBecomesIndianClockCommandTime) {
    time_t t = 0;
    ASSERT_TRUE(ParseServerDate("Wed, 09 Dec 2026 15:31:08 GMT\r\n", t));
    EXPECT_EQ(FormatClockCommandTime(t), "2026-12-09 21:01:08");
    // The same instant without the zone word and line end.
    time_t u = 0;
    ASSERT_TRUE(ParseServerDate("  Wed, 09 Dec 2026 15:31:08  ", u));
    EXPECT_EQ(t, u);
}

TEST(ServerDate, IsIndependentOfTheHostZone) {
    time_t t = 0;
    ASSERT_TRUE(ParseServerDate("Thu, 01 Jan 1970 00:01:40 GMT", t));
    EXPECT_EQ(t, 100);
}

TEST(ServerDate, RejectsTextThatIsNotAFullDate) {
    const char* bad[] = {
        "",
        "\r\n",
        "GMT",
        "Wed, 09 Dec 2026",                      // no time of day
        "Wed, 09 Dec 2026 15:31",                // seconds missing
        "Wed, 09 Dec 2026 15:31:08 extra",       // trailing text
        "09 Dec 2026 15:31:08 GMT",              // no weekday
        "Wed, 31 Feb 2026 10:00:00 GMT",         // no such day
        "Wed, 09 Foo 2026 15:31:08 GMT",         // no such month
        "Wed, 09 Dec 2026 25:31:08 GMT",         // no such hour
        "<html>error</html>",
    };
    for (const char* text : bad) {
        time_t t = 12345;
        EXPECT_FALSE(ParseServerDate(text, t)) << text;
        EXPECT_EQ(t, 12345) << "output touched for " << text;
    }
}

TEST_F(IndiaTime, DeviceTimeStampCarriesTheWeekdayDigit) {
    struct Case {
        const char* server;  // instant, as a server date
        const char* stamp;   // expected local stamp
    } cases[] = {
        {"Sun, 04 Jan 2026 02:35:09 GMT", "2026-01-04008:05:09"},  // Sunday 08:05:09 IST
        {"Wed, 09 Dec 2026 15:31:08 GMT", "2026-12-09321:01:08"},  // Wednesday
        {"Sat, 10 Jan 2026 18:29:59 GMT", "2026-01-10623:59:59"},  // Saturday, last second
    };
    for (const auto& c : cases) {
        time_t t = 0;
        ASSERT_TRUE(ParseServerDate(c.server, t)) << c.server;
        const std::string stamp = BuildDeviceTimeStamp(t);
        EXPECT_EQ(stamp, c.stamp);
        EXPECT_EQ(stamp.size(), 19u);
    }
}

class ProgramRunner : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = VELM_BINARY_DIR "/tmp_runprogXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const auto& f : files_) unlink(f.c_str());
        rmdir(dir_.c_str());
    }
    std::string Script(const std::string& name, const std::string& body) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), 0755);
        files_.push_back(path);
        return path;
    }
    std::string dir_;
    std::vector<std::string> files_;
};

TEST_F(ProgramRunner, PassesArgumentsVerbatimWithoutAShell) {
    const std::string out = dir_ + "/args";
    files_.push_back(out);
    const std::string prog = Script("rec", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$REC_OUT\"\n");
    setenv("REC_OUT", out.c_str(), 1);
    EXPECT_EQ(RunProgram({prog, "-s", "2026-12-09 21:01:08", "$(touch pwned); `x`"}, 5000), 0);
    unsetenv("REC_OUT");
    std::ifstream in(out);
    std::string l1, l2, l3;
    std::getline(in, l1);
    std::getline(in, l2);
    std::getline(in, l3);
    EXPECT_EQ(l1, "-s");
    EXPECT_EQ(l2, "2026-12-09 21:01:08");
    EXPECT_EQ(l3, "$(touch pwned); `x`");
    EXPECT_NE(access("pwned", F_OK), 0);
}

TEST_F(ProgramRunner, ReportsExitStatusMissingProgramAndTimeout) {
    EXPECT_EQ(RunProgram({Script("fail", "exit 3\n")}, 5000), 3);
    EXPECT_EQ(RunProgram({dir_ + "/does-not-exist"}, 5000), -1);
    EXPECT_EQ(RunProgram({}, 5000), -1);
    // A program that never ends is killed once the deadline passes.
    EXPECT_EQ(RunProgram({Script("hang", "exec sleep 600\n")}, 200), -1);
}

}  // namespace
