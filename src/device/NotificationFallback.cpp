// Stand-in for the notification channel while the service runtime's own definition is not in
// the build: it writes the notification to standard output. The runtime's definition is a
// strong symbol and replaces this one wherever both are linked.
#include <iostream>

#include "service/Commons.h"

__attribute__((weak)) void Commons::ShowNotification(std::string message) {
    std::cout << "Notification: " << message << std::endl;
}
