// Log file choice (four-day periods), line format and the fall-back to standard error.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempInstallRoot.h"
#include "service/Logger.h"

namespace {

int DateDaysAgo(int days) {
    time_t t = std::time(nullptr) - static_cast<time_t>(days) * 86400;
    struct tm tmv;
    localtime_r(&t, &tmv);
    return (tmv.tm_year + 1900) * 10000 + (tmv.tm_mon + 1) * 100 + tmv.tm_mday;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(root.path("Logs")); }
    void TearDown() override {
        // Leave the singleton closed for the next test.
        std::lock_guard<std::mutex> lock(Logger::getMutex());
        Logger::getInstance().close();
    }
    std::string LogPath(int date) const { return root.path("Logs") + "/rd_" + std::to_string(date) + ".log"; }
    void WriteDateFile(const std::string& text) const { std::ofstream(root.path("last_log_date.dat")) << text; }
    std::string DateFile() const { return Slurp(root.path("last_log_date.dat")); }

    // Runs init and returns what it wrote to standard error.
    std::string Init() const {
        testing::internal::CaptureStderr();
        Logger::init();
        return testing::internal::GetCapturedStderr();
    }

    TempInstallRoot root;
};

}  // namespace

TEST(LoggerBasics, LevelNamesAndDates) {
    EXPECT_EQ(Logger::toString(INFO), "INFO");
    EXPECT_EQ(Logger::toString(WARNING), "WARNING");
    EXPECT_EQ(Logger::toString(ERROR), "ERROR");
    EXPECT_EQ(Logger::toString(DEBUG), "DEBUG");
    EXPECT_EQ(Logger::toString(7), "UNKNOWN");
    EXPECT_EQ(Logger::toString(-1), "UNKNOWN");

    struct Case {
        int a, b, days;
    } cases[] = {
        {20260101, 20260101, 0}, {20260101, 20260104, 3},  {20260101, 20260105, 4},
        {20251230, 20260102, 3}, {20240228, 20240301, 2},  {20260105, 20260101, -4},
        {-1, 20260101, 9999},    {20260101, -20260101, 9999},
    };
    for (const Case& c : cases) EXPECT_EQ(Logger::daysBetween(c.a, c.b), c.days) << c.a << " -> " << c.b;
    EXPECT_TRUE(std::regex_match(Logger::getCurrentTime(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
    EXPECT_TRUE(std::regex_match(Logger::getCurrentDate(), std::regex(R"(\d{8})")));
}

TEST_F(LoggerTest, FileChoiceByStoredDate) {
    const int today = DateDaysAgo(0);
    struct Case {
        const char* what;
        bool writeDateFile;
        std::string stored;
        int expectedFile;
        bool rotated;
    } cases[] = {
        {"first start", false, "", today, false},
        {"three days ago", true, std::to_string(DateDaysAgo(3)), DateDaysAgo(3), false},
        {"four days ago", true, std::to_string(DateDaysAgo(4)), today, true},
        {"not a number", true, "yesterday", today, false},
        {"future date", true, std::to_string(DateDaysAgo(-2)), DateDaysAgo(-2), false},
        {"negative", true, "-5", today, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(root.path("last_log_date.dat"));
        if (c.writeDateFile) WriteDateFile(c.stored);
        const std::string err = Init();
        EXPECT_EQ(err.find("Log rotation: new file after 4 days.\n") != std::string::npos, c.rotated) << err;
        EXPECT_EQ(DateFile(), std::to_string(c.expectedFile)) << "no line break, just the number";
        Logger::log(INFO, c.what);
        EXPECT_NE(Slurp(LogPath(c.expectedFile)).find(std::string("INFO: ") + c.what + "\n"), std::string::npos);
    }
}

TEST_F(LoggerTest, AppendsAcrossRestartsAndFormatsLines) {
    const int today = DateDaysAgo(0);
    Init();
    Logger::log(ERROR, "first");
    Init();
    Logger::log(7, "second\nwith a break");
    Logger::log(DEBUG, "");
    const std::string text = Slurp(LogPath(today));
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ERROR: first\n)"
                                                  R"(\[[^\]]+\] UNKNOWN: second\nwith a break\n)"
                                                  R"(\[[^\]]+\] DEBUG: \n)")))
        << text;
}

TEST_F(LoggerTest, UnopenableLogFallsBackToStandardError) {
    std::filesystem::remove_all(root.path("Logs"));
    const std::string err = Init();
    EXPECT_NE(err.find("Unable to open log file: " + LogPath(DateDaysAgo(0)) + "\n"), std::string::npos) << err;
    testing::internal::CaptureStderr();
    Logger::log(WARNING, "to stderr");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Log file is not open! to stderr\n");
}

TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
    Init();
    constexpr int kThreads = 4, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) Logger::log(INFO, "thread " + std::to_string(t) + " line " + std::to_string(i));
        });
    for (auto& th : threads) th.join();
    std::istringstream lines(Slurp(LogPath(DateDaysAgo(0))));
    std::string line;
    int count = 0;
    const std::regex shape(R"(\[[^\]]+\] INFO: thread \d line \d+)");
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}
