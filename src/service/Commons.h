#pragma once
// Notifications: status texts for whoever watches the service (standard output and a
// connected support tool).
#include <atomic>
#include <string>

class Commons {
public:
    // Descriptor of the connected support tool, -1 when none.
    static std::atomic<int> supportClientsock;
    static void ShowNotification(std::string message);
};
