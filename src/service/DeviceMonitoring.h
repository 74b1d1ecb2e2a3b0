#pragma once
// The device-monitoring thread: one discovery pass every two seconds while no request uses
// the scanner, until the process stops.
#include <atomic>
#include <chrono>

namespace velm::discovery {
class DeviceDiscovery;
}

struct DeviceMonitoringContext {
    velm::discovery::DeviceDiscovery* discovery = nullptr;
    // The process stop flag; the thread leaves its loop once it is set.
    const std::atomic<bool>* stop = nullptr;
    // Pause between passes.
    std::chrono::milliseconds interval{2000};
};

// Thread body; arg is a DeviceMonitoringContext*. Returns null (0) when the process stops.
void* StartDeviceMonitoring(void* arg);
