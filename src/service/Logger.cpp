// The service log: Logs/rd_<D>.log under the installation directory, where D is the first day
// of the current four-day period (kept in last_log_date.dat).
#include "service/Logger.h"

#include <cstring>
#include <ctime>
#include <iostream>

#include "service/Profile.h"

namespace {

std::string FormatNow(const char* format) {
    time_t now = std::time(nullptr);
    struct tm tmv;
    std::memset(&tmv, 0, sizeof tmv);
    localtime_r(&now, &tmv);
    char buf[80];
    size_t n = std::strftime(buf, sizeof buf, format, &tmv);
    return std::string(buf, n);
}

std::string DateFilePath() { return velm::profile::InstallPath("last_log_date.dat"); }

}  // namespace

Logger& Logger::getInstance() {
    static Logger instance;
    return instance;
}

std::mutex& Logger::getMutex() {
    static std::mutex m;
    return m;
}

std::string Logger::toString(int level) {
    switch (level) {
        case INFO: return "INFO";
        case WARNING: return "WARNING";
        case ERROR: return "ERROR";
        case DEBUG: return "DEBUG";
        default: return "UNKNOWN";
    }
}

std::string Logger::getCurrentTime() { return FormatNow("%Y-%m-%d %H:%M:%S"); }

std::string Logger::getCurrentDate() { return FormatNow("%Y%m%d"); }

int Logger::daysBetween(int a, int b) {
    if (a < 0 || b < 0) return 9999;
    auto toTime = [](int v) {
        struct tm tmv;
        std::memset(&tmv, 0, sizeof tmv);
        tmv.tm_year = v / 10000 - 1900;
        tmv.tm_mon = v / 100 % 100 - 1;
        tmv.tm_mday = v % 100;
        tmv.tm_isdst = -1;
        return std::mktime(&tmv);
    };
    const double seconds = std::difftime(toTime(b), toTime(a));
    return static_cast<int>(seconds / 86400);
}

std::string Logger::GetLogFileName() {
    const int today = std::stoi(getCurrentDate());
    int stored = today;
    {
        std::ifstream in(DateFilePath());
        int value = 0;
        if (in && (in >> value)) stored = value;
    }
    if (daysBetween(stored, today) > 3) {
        std::cerr << "Log rotation: new file after 4 days." << std::endl;
        stored = today;
    }
    {
        std::ofstream out(DateFilePath(), std::ios::out | std::ios::trunc);
        if (out) out << stored;
    }
    return std::to_string(stored);
}

void Logger::init() {
    std::lock_guard<std::mutex> lock(getMutex());
    Logger& self = getInstance();
    if (self.is_open()) self.close();
    self.clear();
    const std::string path = velm::profile::InstallPath("Logs") + "/rd_" + GetLogFileName() + ".log";
    self.open(path, std::ios::out | std::ios::app);
    if (!self.is_open()) std::cerr << "Unable to open log file: " << path << std::endl;
}

void Logger::log(int level, const std::string& message) {
    std::lock_guard<std::mutex> lock(getMutex());
    Logger& self = getInstance();
    if (self.is_open()) {
        self << "[" << getCurrentTime() << "] " << toString(level) << ": " << message << '\n';
        self.flush();
    } else {
        std::cerr << "Log file is not open! " << message << std::endl;
    }
}
