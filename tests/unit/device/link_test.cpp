// The scanner link against a scripted scanner on a pty: port set-up, the two readers, every
// text command's bytes, the binary frame protocol, and the behaviour when the scanner is
// silent, slow, absent or shared between threads.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device/Device_Comm_Mgmt.h"
#include "pty_peer.h"

using velm_test::PtyPeer;

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

int OpenDescriptorCount() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    while (::readdir(dir)) ++count;
    ::closedir(dir);
    return count;
}

class LinkTest : public ::testing::Test {
protected:
    void Connect(PtyPeer::Mode mode, PtyPeer::Handler handler) {
        dev.portPath = peer.SlavePath();
        ASSERT_TRUE(dev.ConnectDevice());
        dev.connected = true;
        peer.Start(mode, std::move(handler));
    }
    // Answers every request with the same bytes.
    void ConnectAnswering(PtyPeer::Mode mode, const std::string& answer) {
        Connect(mode, [answer](const std::string&) { return answer; });
    }

    PtyPeer peer;
    Device_Comm_Mgmt dev{nullptr};
};

// ---------------------------------------------------------------------------------------------
// Port set-up

TEST_F(LinkTest, ConnectSetsRawExclusivePort) {
    Connect(PtyPeer::Mode::Lines, nullptr);
    const int fd = dev.portFd;
    ASSERT_GE(fd, 0);

    int exclusive = 0;
    ASSERT_EQ(0, ::ioctl(fd, TIOCGEXCL, &exclusive));
    EXPECT_EQ(1, exclusive);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);

    struct termios tty;
    ASSERT_EQ(0, ::tcgetattr(fd, &tty));
    EXPECT_EQ(static_cast<speed_t>(B115200), ::cfgetispeed(&tty));
    EXPECT_EQ(static_cast<speed_t>(B115200), ::cfgetospeed(&tty));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), tty.c_cflag & CSIZE);
    EXPECT_EQ(static_cast<tcflag_t>(CREAD | CLOCAL), tty.c_cflag & (CREAD | CLOCAL));
    EXPECT_EQ(0u, tty.c_cflag & (CRTSCTS | CSTOPB | PARENB));
    EXPECT_EQ(0u, tty.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXANY | IXOFF));
    EXPECT_EQ(0u, tty.c_oflag & (OPOST | ONLCR));
    EXPECT_EQ(0u, tty.c_lflag & (ISIG | ICANON | ECHO | ECHOE | ECHONL | IEXTEN));
    EXPECT_EQ(1, tty.c_cc[VMIN]);
    EXPECT_EQ(0, tty.c_cc[VTIME]);

    // A flush discards the queues but leaves the line settings alone (reception stays on).
    const tcflag_t before = tty.c_cflag;
    dev.FlushBuffers();
    ASSERT_EQ(0, ::tcgetattr(fd, &tty));
    EXPECT_EQ(before, tty.c_cflag);
}

TEST_F(LinkTest, FailedConnectLeavesNoDescriptorOpen) {
    const int before = OpenDescriptorCount();
    // Opens fine but is no tty, so configuring it fails.
    dev.portPath = "/dev/null";
    EXPECT_FALSE(dev.ConnectDevice());
    EXPECT_EQ(-1, dev.portFd);
    dev.portPath = "/nonexistent/tty";
    EXPECT_FALSE(dev.ConnectDevice());
    EXPECT_EQ(-1, dev.portFd);
    EXPECT_EQ(before, OpenDescriptorCount());
}

TEST_F(LinkTest, DisconnectClosesOnlyAConnectedPort) {
    dev.portPath = peer.SlavePath();
    ASSERT_TRUE(dev.ConnectDevice());
    const int fd = dev.portFd;
    dev.DisconnectDevice();  // not marked connected: nothing changes
    EXPECT_EQ(fd, dev.portFd);
    EXPECT_EQ(peer.SlavePath(), dev.portPath.get());
    EXPECT_NE(-1, ::fcntl(fd, F_GETFD));

    dev.connected = true;
    dev.serialNumber = "SN1";
    dev.DisconnectDevice();
    EXPECT_EQ(-1, dev.portFd);
    EXPECT_FALSE(dev.connected);
    EXPECT_TRUE(dev.portPath.empty());
    EXPECT_EQ("SN1", dev.serialNumber.get());
    EXPECT_EQ(-1, ::fcntl(fd, F_GETFD));
}

// ---------------------------------------------------------------------------------------------
// Text commands: exact bytes and how the reply is read

struct CommandCase {
    const char* name;
    std::function<std::string(Device_Comm_Mgmt&)> call;
    std::string sent;
    std::string reply;
    std::string result;
};

std::string Bool(bool b) { return b ? "true" : "false"; }

std::vector<CommandCase> CommandCases() {
    using D = Device_Comm_Mgmt;
    return {
        {"SerialNumber", [](D& d) { return d.GetDeviceSerialNumber(); }, "VELM_ReadSRNO \r\n", "SN000123\n",
         "SN000123"},
        {"ModelId", [](D& d) { return d.GetDeviceModelId(); }, "VELM_ReadMI \r\n", "TR460U L1\r\n", "TR460U L1\r"},
        {"ModelCertificate", [](D& d) { return d.GetDeviceModelCertificate(); }, "VELM_ReadMC \r\n", "MIIBcert==\n",
         "MIIBcert=="},
        {"DeviceCode", [](D& d) { return d.GetDeviceCode(); }, "VELM_ReadDC \r\n",
         "0011-2233-4455-6677-8899-aabb-ccdd-eeff\n", "0011-2233-4455-6677-8899-aabb-ccdd-eeff"},
        {"ProviderId", [](D& d) { return d.GetDeviceProviderId(); }, "VELM_ReadDPID \r\n", "VELMORA\n", "VELMORA"},
        {"Time", [](D& d) { return d.GetDeviceTime(); }, "VELM_GetTime \r\n",
         "2026-12-11T10:20:30,0,P,1.2.3,a,b,c,d\n", "2026-12-11T10:20:30,0,P,1.2.3,a,b,c,d"},
        {"InfoString", [](D& d) { return d.GetDeviceInfoString(); }, "VELM_GetInfo \r\n", "a,b,1-2-3-4\n",
         "a,b,1-2-3-4"},
        {"Key", [](D& d) { return d.GetDeviceKey(); }, "VELM_GetKey \r\n", "req,sess,lot\n", "req,sess,lot"},
        {"ChangeMode", [](D& d) { return Bool(d.ChangeDeviceConnMode("abc")); }, "VELM_CHGMODE abc\r\n", "FAIL\n",
         "true"},
        {"SetTime", [](D& d) { return Bool(d.SetDeviceTime("abc")); }, "VELM_SetTimeabc\r\n", "Time Set Success\n",
         "true"},
        {"SetTimeCapitals", [](D& d) { return Bool(d.SetDeviceTime("abc")); }, "VELM_SetTimeabc\r\n", "SUCCESS\n",
         "false"},
        {"StartRegistration", [](D& d) { return d.StartDeviceRegistrationProcess("P1"); },
         "VELM_RegistrationP1\r\n", "regdata\n", "regdata"},
        {"CompleteRegistration", [](D& d) { return Bool(d.CompleteDeviceRegistrationProcess("P2")); },
         "VELM_Complete_RegistrationP2\r\n", "Registration Success\n", "true"},
        {"CompleteRegistrationFails", [](D& d) { return Bool(d.CompleteDeviceRegistrationProcess("P2")); },
         "VELM_Complete_RegistrationP2\r\n", "Failed\n", "false"},
        {"AddPublicKey", [](D& d) { return Bool(d.SetUIDAIPublicKeyInDevice("K")); }, "VELM_ADDPUBKEY K\r\n",
         "Success\n", "true"},
        {"GeneratePid", [](D& d) { return d.GeneratePIDData("R"); }, "VELM_GeneratePID R\r\n", "data,skey,hmac\n",
         "data,skey,hmac"},
        {"Calibrate", [](D& d) { return Bool(d.CalibrateDevice()); }, "VELM_CALI_NB \r\n", "calibration success\n",
         "true"},
        {"CalibrateCapitalS", [](D& d) { return Bool(d.CalibrateDevice()); }, "VELM_CALI_NB \r\n", "Succes\n",
         "false"},
        {"Capture", [](D& d) { return d.CaptureFingerPrint("Q"); }, "VELM_SnapFinger Q\r\n",
         "STATUS_OK,900,30,1,2,88\r\nEND@VELM\r\n", "STATUS_OK,900,30,1,2,88\r\nEND@VELM\r\n"},
    };
}

class CommandTest : public LinkTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTest, SendsExactBytesAndReadsReply) {
    const CommandCase& c = GetParam();
    ConnectAnswering(PtyPeer::Mode::Lines, c.reply);
    EXPECT_EQ(c.result, c.call(dev));
    EXPECT_EQ(std::vector<std::string>{c.sent}, peer.Received());
}

TEST_P(CommandTest, NotConnectedSendsNothing) {
    const CommandCase& c = GetParam();
    ConnectAnswering(PtyPeer::Mode::Lines, c.reply);
    dev.connected = false;
    const std::string result = c.call(dev);
    EXPECT_TRUE(result.empty() || result == "false") << result;
    // A request that did go out would be answered; a marker command shows the order.
    dev.connected = true;
    dev.GetDeviceSerialNumber();
    EXPECT_EQ(std::vector<std::string>{"VELM_ReadSRNO \r\n"}, peer.Received());
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandTest, ::testing::ValuesIn(CommandCases()),
                         [](const auto& info) { return std::string(info.param.name); });

struct LimitCase {
    const char* name;
    std::function<std::string(Device_Comm_Mgmt&)> call;
    std::size_t limit;
};

class LineLimitTest : public LinkTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(LineLimitTest, LongReplyIsCutAtTheLimit) {
    const LimitCase& c = GetParam();
    std::string reply(c.limit + 40, 'x');
    reply[c.limit - 1] = 'y';
    ConnectAnswering(PtyPeer::Mode::Lines, reply + "\n");
    const std::string got = c.call(dev);
    EXPECT_EQ(c.limit, got.size());
    EXPECT_EQ('y', got.empty() ? 0 : got.back());
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LineLimitTest,
    ::testing::Values(LimitCase{"SerialNumber", [](Device_Comm_Mgmt& d) { return d.GetDeviceSerialNumber(); }, 32},
                      LimitCase{"ModelId", [](Device_Comm_Mgmt& d) { return d.GetDeviceModelId(); }, 32},
                      LimitCase{"ModelCertificate",
                                [](Device_Comm_Mgmt& d) { return d.GetDeviceModelCertificate(); }, 4096},
                      LimitCase{"DeviceCode", [](Device_Comm_Mgmt& d) { return d.GetDeviceCode(); }, 128},
                      LimitCase{"ProviderId", [](Device_Comm_Mgmt& d) { return d.GetDeviceProviderId(); }, 32},
                      LimitCase{"Time", [](Device_Comm_Mgmt& d) { return d.GetDeviceTime(); }, 1024},
                      LimitCase{"InfoString", [](Device_Comm_Mgmt& d) { return d.GetDeviceInfoString(); }, 1024},
                      LimitCase{"Key", [](Device_Comm_Mgmt& d) { return d.GetDeviceKey(); }, 1024},
                      LimitCase{"Registration",
                                [](Device_Comm_Mgmt& d) { return d.StartDeviceRegistrationProcess("x"); }, 4096},
                      LimitCase{"GeneratePid", [](Device_Comm_Mgmt& d) { return d.GeneratePIDData("x"); }, 49152}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Line reader

TEST_F(LinkTest, LineReaderCutsAtNulAndKeepsCr) {
    struct {
        std::string reply;
        std::string expected;
    } cases[] = {
        {std::string("ab\0cd\n", 6), "ab"},
        {"value\r\n", "value\r"},
        {"\n", ""},
    };
    std::atomic<std::size_t> i{0};
    Connect(PtyPeer::Mode::Lines, [&](const std::string&) { return cases[i.load()].reply; });
    for (; i < sizeof cases / sizeof cases[0]; ++i) {
        EXPECT_EQ(cases[i].expected, dev.GetDeviceModelId()) << "case " << i;
    }
}

TEST_F(LinkTest, LineReaderReturnsNothingForAnUnfinishedLine) {
    // The reply never gets its line feed: no partial line is handed out.
    ConnectAnswering(PtyPeer::Mode::Lines, "half a line");
    ASSERT_TRUE(dev.WriteMessageToCOM("VELM_GetTime \r\n", 1));
    EXPECT_EQ("", dev.ReadResponseFromCOM(1, 1024));
}

// ---------------------------------------------------------------------------------------------
// Capture reader

struct CaptureCase {
    const char* name;
    std::vector<std::string> pieces;  // written one after the other
    std::string expected;
};

class CaptureReaderTest : public LinkTest, public ::testing::WithParamInterface<CaptureCase> {};

TEST_P(CaptureReaderTest, ReturnsTheReplyFromItsStatusWord) {
    const CaptureCase& c = GetParam();
    Connect(PtyPeer::Mode::Lines, [&](const std::string&) {
        for (const std::string& p : c.pieces) peer.Send(p);
        return std::string();
    });
    EXPECT_EQ(c.expected, dev.CaptureFingerPrint("P"));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, CaptureReaderTest,
    ::testing::Values(
        CaptureCase{"NoiseLinesDropped",
                    {"boot 1.2\r\n", "place finger\r\n", "STATUS_OK,812,41,1,x,91\r\n", "END@VELM\r\n"},
                    "STATUS_OK,812,41,1,x,91\r\nEND@VELM\r\n"},
        CaptureCase{"SplitAnywhere",
                    {"STAT", "US_OK,812,41\r", "\n", "1,x,91,END@", "VELM\r", "\n"},
                    "STATUS_OK,812,41\r\n1,x,91,END@VELM\r\n"},
        CaptureCase{"ErrorCutAtErr", {"xx ERR:Capture FAIL\r\n"}, "ERR:Capture FAIL\r\n"},
        CaptureCase{"ErrBeforeStatusOk", {"STATUS_OK,1 ERR:bad,ENDFIR@VELM\r\n"}, "ERR:bad,ENDFIR@VELM\r\n"},
        CaptureCase{"TimeoutWord", {"noise\r\n", "CAPTURE_TIMEOUT\r\n", "ENDFIR@VELM\r\n"},
                    "CAPTURE_TIMEOUT\r\nENDFIR@VELM\r\n"},
        CaptureCase{"OneChunkWithNoise", {"noise\r\nSTATUS_OK,5,6,END@VELM\r\ntrailing"},
                    "STATUS_OK,5,6,END@VELM\r\n"},
        CaptureCase{"LockedDevice", {"ERR:Device LOCK\r\n"}, "ERR:Device LOCK\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkTest, CaptureReaderGivesNothingWhenTheReplyNeverEnds) {
    ConnectAnswering(PtyPeer::Mode::Lines, "STATUS_OK,1,2\r\nmore data without end\r\n");
    ASSERT_TRUE(dev.WriteMessageToCOM("VELM_SnapFinger P\r\n", 1));
    EXPECT_EQ("", dev.ReadResponseFromCOM(1));
}

TEST_F(LinkTest, CaptureReaderBufferIsBounded) {
    Connect(PtyPeer::Mode::Lines, [&](const std::string&) {
        peer.Send("STATUS_OK,");
        const std::string block(8192, 'z');
        while (peer.Send(block)) {
        }
        return std::string();
    });
    // Replies far beyond the bound are refused long before the 600 s deadline.
    ASSERT_TRUE(dev.WriteMessageToCOM("VELM_SnapFinger P\r\n", 1));
    EXPECT_EQ("", dev.ReadResponseFromCOM(600));
    dev.connected = false;
    peer.Stop();
}

// ---------------------------------------------------------------------------------------------
// Silent and slow scanners, disconnects and threads. A wait that is not bounded would hang
// these tests (the suite's time limit catches it).

TEST_F(LinkTest, SilentScannerCostsOnlyTheTimeout) {
    Connect(PtyPeer::Mode::Lines, nullptr);
    ASSERT_TRUE(dev.WriteMessageToCOM("VELM_ReadMI \r\n", 1));
    EXPECT_EQ("", dev.ReadResponseFromCOM(1, 32));
    EXPECT_EQ("", dev.ReadResponseFromCOM(1));
}

TEST_F(LinkTest, DribblingScannerCannotStretchTheDeadline) {
    // One byte every 50 ms, forever: each byte comes well within any per-read wait, so only
    // a deadline for the whole call ends these reads.
    Connect(PtyPeer::Mode::Lines, [&](const std::string&) {
        while (peer.Send("a") && peer.Idle(50)) {
        }
        return std::string();
    });
    ASSERT_TRUE(dev.WriteMessageToCOM("VELM_GetTime \r\n", 1));
    EXPECT_EQ("", dev.ReadResponseFromCOM(1, 100000));
    EXPECT_EQ("", dev.ReadResponseFromCOM(1));
    dev.connected = false;
    peer.Stop();
}

TEST_F(LinkTest, DisconnectWakesAWaitingReader) {
    Connect(PtyPeer::Mode::Lines, nullptr);
    std::string result = "unset";
    // Far longer than the suite may run: only the disconnect can end this read.
    std::thread reader([&] {
        if (dev.WriteMessageToCOM("VELM_ReadMC \r\n", 5)) result = dev.ReadResponseFromCOM(600, 4096);
    });
    peer.WaitForRequests(1);
    dev.DisconnectDevice();
    reader.join();
    EXPECT_EQ("", result);
    EXPECT_EQ(-1, dev.portFd);
}

TEST_F(LinkTest, ConcurrentCommandsDoNotMix) {
    // Each request is answered with its own payload; a thread that got another thread's
    // answer, or none, saw the exchanges interleave.
    Connect(PtyPeer::Mode::Lines, [](const std::string& request) {
        return "echo:" + request.substr(0, request.size() - 2) + "\n";
    });
    std::atomic<int> mismatches{0};
    auto worker = [&](const std::string& tag) {
        for (int i = 0; i < 40; ++i) {
            const std::string payload = tag + std::to_string(i);
            if (dev.StartDeviceRegistrationProcess(payload) != "echo:VELM_Registration" + payload) ++mismatches;
        }
    };
    std::thread a(worker, "A"), b(worker, "B");
    a.join();
    b.join();
    EXPECT_EQ(0, mismatches.load());
    EXPECT_EQ(80u, peer.Received().size());
}

TEST_F(LinkTest, StateTextsCanBeReadWhileReplaced) {
    const std::string one(64, '1'), two(64, '2');
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) dev.serialNumber = (i % 2) ? one : two;
        stop = true;
    });
    int torn = 0;
    while (!stop) {
        const std::string seen = dev.serialNumber;
        if (!seen.empty() && seen != one && seen != two) ++torn;
    }
    writer.join();
    EXPECT_EQ(0, torn);
    EXPECT_EQ(one, dev.serialNumber.get());
}

// ---------------------------------------------------------------------------------------------
// Binary frame protocol

TEST(OemFrame, BuildsCommandFrames) {
    Device_Comm_Mgmt dev(nullptr);
    uint8_t out[64];
    const uint8_t apply = 0x01;
    ASSERT_EQ(7, dev.BuildOEMCommand(0x3D, &apply, 1, out, sizeof out));
    EXPECT_EQ(Bytes({0x01, 0x00, 0x02, 0x3D, 0x01, 0xC0, 0x03}), std::string(reinterpret_cast<char*>(out), 7));
    ASSERT_EQ(6, dev.BuildOEMCommand(0x70, nullptr, 0, out, sizeof out));
    EXPECT_EQ(Bytes({0x01, 0x00, 0x01, 0x70, 0x8F, 0x03}), std::string(reinterpret_cast<char*>(out), 6));
    ASSERT_EQ(6, dev.BuildOEMCommand(0x48, &apply, -3, out, sizeof out));  // payload ignored
    EXPECT_EQ(0xB7, out[4]);
    EXPECT_EQ(0, dev.BuildOEMCommand(0x3D, &apply, 1, out, 6));  // does not fit
    EXPECT_EQ(0, dev.CalculateCheckSum(out, 3, 2));
    const uint8_t header[] = {0x01, 0x00, 0x01, 0x48};
    EXPECT_EQ(0xB7, dev.CalculateCheckSum(header, 1, 3) & 0xFF);
}

std::string AckWithData(uint8_t command, const std::string& data) {
    const int length = static_cast<int>(data.size()) + 1;
    std::string frame = Bytes({0x81, (length >> 8) & 0xFF, length & 0xFF, command}) + data;
    int sum = 0;
    for (std::size_t i = 1; i < frame.size(); ++i) sum += static_cast<uint8_t>(frame[i]);
    frame += static_cast<char>((-sum) & 0xFF);
    frame += '\x03';
    return frame;
}

struct AckCase {
    const char* name;
    std::string ack;
    int expected;
    std::size_t replyCapacity = Device_Comm_Mgmt::kOEMReplyBufferSize;
};

class OemAckTest : public LinkTest, public ::testing::WithParamInterface<AckCase> {};

TEST_P(OemAckTest, EraseResult) {
    const AckCase& c = GetParam();
    ConnectAnswering(PtyPeer::Mode::Frames, c.ack);
    uint8_t frame[32];
    const uint8_t range[8] = {0x00, 0x04, 0x00, 0x00, 0x00, 0x0E, 0x6F, 0xFF};
    int len = dev.BuildOEMCommand(0x12, range, 8, frame, sizeof frame);
    std::vector<uint8_t> reply(c.replyCapacity);
    EXPECT_EQ(c.expected, dev.SendCommandAndWaitAckwithPayload(frame, static_cast<int16_t>(len), 0x12, 2,
                                                               reply.data(), reply.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Acks, OemAckTest,
    ::testing::Values(AckCase{"NoData", Bytes({0x81, 0x00, 0x02, 0x12, 0x00, 0xEC, 0x03}), 0},
                      AckCase{"ShortAck", Bytes({0x81, 0x00, 0x01, 0x12, 0xED, 0x03}), 0},
                      AckCase{"Refused", Bytes({0x81, 0x00, 0x02, 0x92, 0x00, 0x6C, 0x03}), -5},
                      AckCase{"OtherCommand", Bytes({0x81, 0x00, 0x02, 0x13, 0x00, 0xEB, 0x03}), -4},
                      AckCase{"BadStart", Bytes({0x01, 0x00, 0x02, 0x12, 0x00, 0xEC, 0x03}), -3},
                      AckCase{"BeyondReplyBuffer", Bytes({0x81, 0x04, 0x02, 0x12, 0x00}), -7},
                      AckCase{"BeyondReceiveBuffer", Bytes({0x81, 0x09, 0x00, 0x12, 0x00}), -7, 4096},
                      AckCase{"FitsLargeReply", AckWithData(0x12, std::string(1500, 'd')), 1500, 4096},
                      AckCase{"Truncated", Bytes({0x81, 0x00, 0x09, 0x12, 0x01, 0x02}), -2},
                      AckCase{"Silent", std::string(), -2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkTest, OemQueriesDecodeTheirData) {
    Connect(PtyPeer::Mode::Frames, [](const std::string& request) {
        const uint8_t command = static_cast<uint8_t>(request[3]);
        switch (command) {
            case 0x48: return AckWithData(command, Bytes({0x78, 0x56, 0x34, 0x12, 0x99}));
            case 0x70: return AckWithData(command, std::string("SN0042\0junk", 11));
            case 0x71: return AckWithData(command, "keybytes");
            case 0x3E: return AckWithData(command, Bytes({1, 0, 0, 0, 0x10, 0, 0, 0, 4, 3, 2, 1}));
            default: return AckWithData(command, std::string());
        }
    });
    EXPECT_EQ("305419896", dev.GetOEMChipNumber());
    EXPECT_EQ("SN0042", dev.GetOEMDeviceSerialNumber());
    EXPECT_EQ("a2V5Ynl0ZXM=", dev.GetOEMDeviceKeyString());
    uint8_t version[64] = {};
    ASSERT_EQ(12, dev.GetOEMDeviceVer(version, sizeof version));
    EXPECT_EQ(4, version[8]);
    EXPECT_EQ(-1, dev.GetOEMDeviceVer(version, 8));  // never a partial value
    EXPECT_TRUE(dev.EraseFlash());
    EXPECT_TRUE(dev.ApplyImage());

    const std::vector<std::string> sent = peer.Received();
    ASSERT_EQ(7u, sent.size());
    EXPECT_EQ(Bytes({0x01, 0x00, 0x01, 0x48, 0xB7, 0x03}), sent[0]);
    EXPECT_EQ(Bytes({0x01, 0x00, 0x09, 0x12, 0x00, 0x04, 0x00, 0x00, 0x00, 0x0E, 0x6F, 0xFF, 0x65, 0x03}), sent[5]);
    EXPECT_EQ(Bytes({0x01, 0x00, 0x02, 0x3D, 0x01, 0xC0, 0x03}), sent[6]);
}

TEST_F(LinkTest, OemQueriesFailWithoutPartialValues) {
    Connect(PtyPeer::Mode::Frames, [](const std::string& request) {
        const uint8_t command = static_cast<uint8_t>(request[3]);
        if (command == 0x48) return AckWithData(command, Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
        return AckWithData(static_cast<uint8_t>(command | 0x80), "nope");
    });
    EXPECT_EQ("-1", dev.GetOEMChipNumber());
    EXPECT_EQ("", dev.GetOEMDeviceSerialNumber());
    EXPECT_EQ("", dev.GetOEMDeviceKeyString());
    uint8_t version[16];
    EXPECT_EQ(-1, dev.GetOEMDeviceVer(version, sizeof version));
    EXPECT_FALSE(dev.EraseFlash());
    EXPECT_FALSE(dev.ApplyImage());
}

TEST_F(LinkTest, OemExchangeNeedsAConnection) {
    Connect(PtyPeer::Mode::Frames, nullptr);
    dev.connected = false;
    uint8_t frame[8];
    int len = dev.BuildOEMCommand(0x48, nullptr, 0, frame, sizeof frame);
    EXPECT_EQ(-6, dev.SendCommandAndWaitAckwithPayload(frame, static_cast<int16_t>(len), 0x48, 1, nullptr));
    EXPECT_EQ("", dev.GetOEMChipNumber());
    EXPECT_FALSE(dev.EraseFlash());
    EXPECT_TRUE(peer.Received().empty());
}

}  // namespace
