#pragma once
// The link to the one scanner the service talks to: its tty, the text commands, the binary
// update-mode protocol, and the state of the attached scanner.
#include <atomic>
#include <string>

class VELM_Utils;

class Device_Comm_Mgmt {
public:
    explicit Device_Comm_Mgmt(VELM_Utils* utils) : utils(utils) {}
    virtual ~Device_Comm_Mgmt() = default;

    Device_Comm_Mgmt(const Device_Comm_Mgmt&) = delete;
    Device_Comm_Mgmt& operator=(const Device_Comm_Mgmt&) = delete;

    // Link state. The flags are read by request workers and background threads.
    std::atomic<int> portFd{-1};
    std::string portPath;
    std::string serialNumber;
    std::string firmwareVersion;
    std::atomic<bool> tamperDetected{false};
    std::atomic<bool> connected{false};
    std::atomic<bool> applicationMode{false};
    std::atomic<bool> isBRX500{false};
    std::atomic<bool> firmwareUpgradePending{false};
    std::atomic<bool> updateMode{false};
    std::string firmwarePackagePath;
    std::string firmwareUpdateInfo;
    std::string firmwareSecret;
    VELM_Utils* utils;
};
