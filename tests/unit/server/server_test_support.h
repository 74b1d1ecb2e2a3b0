#pragma once
// RD operations for the server tests: fixed documents, a record of the calls, and captures
// that can be held inside the operation to keep workers busy.
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/VELM_Local_Server_Handler.h"

namespace velm::servertest {

class FakeOperations : public VELM_RD_Operations {
public:
    const std::string rdInfo =
        "<RDService xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" status=\"NOTREADY\" info=\"RD service for L1 provided by "
        "Velmora\"><Interface id=\"CAPTURE\" path=\"/rd/capture\" /><Interface id=\"DEVICEINFO\" "
        "path=\"/rd/info\" /></RDService>";
    const std::string deviceInfo = "<DeviceInfo error=\"\"/>";
    const std::string capture = "<PidData><Resp errCode=\"0\"/></PidData>";
    const std::string registration = "<Resp errCode=\"0\"/>";
    bool throwOnDeviceInfo = false;

    std::string RDInfo() override {
        Record("RDINFO");
        return rdInfo;
    }
    std::string DeviceInfo() override {
        Record("DEVICEINFO");
        if (throwOnDeviceInfo) throw std::runtime_error("device info failed");
        return deviceInfo;
    }
    std::string Capture(const std::string& pidOptions, time_t lastCheckTime) override {
        std::unique_lock<std::mutex> lock(mtx_);
        calls_.push_back("CAPTURE");
        captureBodies_.push_back(pidOptions);
        lastCheck_ = lastCheckTime;
        ++capturesInside_;
        cv_.notify_all();
        cv_.wait(lock, [this] { return !holdCaptures_; });
        --capturesInside_;
        return capture;
    }
    std::string RegisterDevice() override {
        Record("REGISTER");
        return registration;
    }
    std::string ToUpper(const std::string& text) override {
        std::string out = text;
        for (char& c : out) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        return out;
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(mtx_);
        calls_.clear();
        captureBodies_.clear();
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mtx_);
        return calls_;
    }
    std::string LastCaptureBody() {
        std::lock_guard<std::mutex> lock(mtx_);
        return captureBodies_.empty() ? std::string("<none>") : captureBodies_.back();
    }
    std::vector<std::string> CaptureBodies() {
        std::lock_guard<std::mutex> lock(mtx_);
        return captureBodies_;
    }
    time_t LastCheckTime() {
        std::lock_guard<std::mutex> lock(mtx_);
        return lastCheck_;
    }

    void HoldCaptures() {
        std::lock_guard<std::mutex> lock(mtx_);
        holdCaptures_ = true;
    }
    void ReleaseCaptures() {
        {
            std::lock_guard<std::mutex> lock(mtx_);
            holdCaptures_ = false;
        }
        cv_.notify_all();
    }
    // Waits (failure guard only) until n captures are held inside the operation.
    bool WaitForCapturesInside(int n) {
        std::unique_lock<std::mutex> lock(mtx_);
        return cv_.wait_for(lock, std::chrono::seconds(30), [&] { return capturesInside_ >= n; });
    }

private:
    void Record(const char* call) {
        std::lock_guard<std::mutex> lock(mtx_);
        calls_.push_back(call);
    }

    std::mutex mtx_;
    std::condition_variable cv_;
    std::vector<std::string> calls_;
    std::vector<std::string> captureBodies_;
    time_t lastCheck_ = 0;
    bool holdCaptures_ = false;
    int capturesInside_ = 0;
};

}  // namespace velm::servertest
