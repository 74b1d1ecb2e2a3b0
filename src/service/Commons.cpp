// Notifications: standard output, and the connected support tool when there is one.
#include "service/Commons.h"

#include <sys/socket.h>

#include <cstdio>

std::atomic<int> Commons::supportClientsock{-1};

void Commons::ShowNotification(std::string message) {
    try {
        // One write per notification, so lines from different threads never mix.
        const std::string line = "Notification: " + message + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);

        const int sock = supportClientsock.load();
        if (sock != -1) {
            const std::string wire = message + "\r\n";
            // A short or failed send is not retried; MSG_NOSIGNAL keeps a closed peer from
            // raising SIGPIPE.
            (void)::send(sock, wire.data(), wire.size(), MSG_NOSIGNAL);
        }
    } catch (...) {
    }
}
