// Notifications on standard output and to a connected support tool.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "service/Commons.h"
#include "service/UniqueFd.h"

namespace {

// Reads what is there on fd within a generous guard time (the data is sent before we poll).
std::string ReadAvailable(int fd) {
    std::string out;
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, out.empty() ? 5000 : 0) > 0) {
        char buf[256];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

struct SupportTool {
    SupportTool() {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            service.reset(sv[0]);
            tool.reset(sv[1]);
        }
        Commons::supportClientsock = service.get();
    }
    ~SupportTool() { Commons::supportClientsock = -1; }
    velm::UniqueFd service, tool;
};

}  // namespace

TEST(Notification, StandardOutputOnlyWithoutTool) {
    ASSERT_EQ(Commons::supportClientsock.load(), -1) << "nobody connected at start";
    testing::internal::CaptureStdout();
    Commons::ShowNotification("Setting Device Time");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Notification: Setting Device Time\n");
}

TEST(Notification, ToolReceivesMessageWithCrLf) {
    SupportTool t;
    ASSERT_TRUE(t.tool.valid());
    testing::internal::CaptureStdout();
    Commons::ShowNotification("MSG: clock set");
    Commons::ShowNotification("");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Notification: MSG: clock set\nNotification: \n");
    EXPECT_EQ(ReadAvailable(t.tool.get()), "MSG: clock set\r\n\r\n");
}

TEST(Notification, ClosedToolDoesNotRaiseSigpipe) {
    struct sigaction old {};
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, &old);  // a SIGPIPE would end this test process
    {
        SupportTool t;
        t.tool.reset();
        testing::internal::CaptureStdout();
        Commons::ShowNotification("first after close");
        Commons::ShowNotification("second after close");
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Notification: first after close\nNotification: second after close\n");
    }
    ::sigaction(SIGPIPE, &old, nullptr);
}
