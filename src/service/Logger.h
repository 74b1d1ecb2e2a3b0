#pragma once
// The service's text log: one time-stamped line per call, flushed at once.
#include <fstream>
#include <mutex>
#include <string>

enum LogLevel { INFO = 0, WARNING = 1, ERROR = 2, DEBUG = 3 };

class Logger : public std::ofstream {
public:
    static void init();
    static void log(int level, const std::string& message);
    static Logger& getInstance();
    static std::mutex& getMutex();
    static std::string toString(int level);
    static std::string getCurrentTime();
    static std::string getCurrentDate();
    static int daysBetween(int a, int b);
    static std::string GetLogFileName();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

private:
    Logger() = default;
};
