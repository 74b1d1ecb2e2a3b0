#pragma once
// Runs a test in India time (the zone the service runs in), restoring the zone afterwards.
#include <stdlib.h>
#include <time.h>

#include <string>

namespace velm::test {

class IndiaTime {
public:
    IndiaTime() {
        const char* old = ::getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        ::setenv("TZ", "Asia/Kolkata", 1);
        ::tzset();
    }
    ~IndiaTime() {
        if (hadOld_)
            ::setenv("TZ", old_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    IndiaTime(const IndiaTime&) = delete;
    IndiaTime& operator=(const IndiaTime&) = delete;

private:
    bool hadOld_ = false;
    std::string old_;
};

}  // namespace velm::test
