// Registration against the scanner twin and the management-server twin: the exchange, the
// anti-spoof settings it stores, each way it can fail, and the registration check.
#include <gtest/gtest.h>

#include "registration_twins.h"

namespace {

using velm::test::JsonQuote;

class Registration : public velm::test::TwinsFixture {
protected:
    int CommandCount(const std::string& word) {
        const std::string answer = Call("scanner", "commands");
        int n = 0;
        for (size_t pos = answer.find("\"" + word + "\""); pos != std::string::npos;
             pos = answer.find("\"" + word + "\"", pos + 1))
            ++n;
        return n;
    }
    int ServerRequests() {
        const std::string answer = Call("server", "requests");
        int n = 0;
        for (size_t pos = answer.find("\"method\""); pos != std::string::npos; pos = answer.find("\"method\"", pos + 1))
            ++n;
        return n;
    }
    void ExpectNothingStored() {
        EXPECT_EQ(Store("ATTEMPT"), "");
        EXPECT_EQ(Store("TIMELOCK"), "");
        EXPECT_EQ(Store("LEVEL"), "");
        EXPECT_EQ(core_->maxSpoofAttempts.load(), 99);
        EXPECT_EQ(core_->lockMinutes.load(), 15);
    }
};

TEST_F(Registration, SucceedsAndStoresTheSettings) {
    Call("scanner", "set_cert_in", "{\"seconds\": 3600}");  // about to expire
    ASSERT_EQ(core_->IsDeviceRegistered(false), 2);
    Call("server", "set_registration", "{\"attempt\": 7, \"timelock\": 20, \"level\": 100}");

    ASSERT_TRUE(core_->RegisterDevice());
    EXPECT_FALSE(core_->registrationRunning.load());
    EXPECT_EQ(Store("ATTEMPT"), "7");
    EXPECT_EQ(Store("TIMELOCK"), "20");
    EXPECT_EQ(Store("LEVEL"), "100");
    EXPECT_EQ(core_->maxSpoofAttempts.load(), 7);
    EXPECT_EQ(core_->lockMinutes.load(), 20);
    // The scanner installed the new model certificate the server issued (a year's validity).
    EXPECT_EQ(core_->IsDeviceRegistered(false), 1);

    // What went over the wire: the device's request for its own environment, and the SOAP post.
    const std::string received = Call("scanner", "received");
    EXPECT_NE(received.find("\"command\": \"VELM_Registration\", \"payload\": \"P\""), std::string::npos) << received;
    const std::string requests = Call("server", "requests");
    EXPECT_NE(requests.find("\"path\": \"/TR460_REGISTRATION_SERVICE/TR460REGNew.asmx\""), std::string::npos);
    EXPECT_NE(requests.find("[\"SOAPActions\", \"RegisterDevice3\"]"), std::string::npos) << requests;
    EXPECT_NE(requests.find("[\"Content-Type\", \"text/xml; Charset=UTF-8\"]"), std::string::npos) << requests;
    const std::string body = velm::test::JsonString(requests, "body");
    EXPECT_EQ(body.rfind("<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                         "xmlns:tem=\"http://velmora.example/rd/registration/\"><soapenv:Header/><soapenv:Body>"
                         "<tem:RegisterDevice3><tem:argReqData>",
                         0),
              0u)
        << body;
    EXPECT_NE(body.find("</tem:argReqData><tem:argCallVersion>1.0</tem:argCallVersion><tem:argFCMId>NA</tem:argFCMId>"
                        "<tem:argDeviceDetails>Linux</tem:argDeviceDetails></tem:RegisterDevice3></soapenv:Body>"
                        "</soapenv:Envelope>"),
              std::string::npos)
        << body;
    const std::string state = Call("server", "state");
    EXPECT_NE(state.find("\"valid\": true"), std::string::npos) << state;  // "4," + the device's request
}

TEST_F(Registration, OutOfRangeSettingsAreReplaced) {
    Call("server", "set_registration", "{\"attempt\": 200, \"timelock\": 2, \"level\": 30000}");
    ASSERT_TRUE(core_->RegisterDevice());
    EXPECT_EQ(Store("ATTEMPT"), "99");
    EXPECT_EQ(Store("TIMELOCK"), "15");
    EXPECT_EQ(Store("LEVEL"), "0");
    EXPECT_EQ(core_->maxSpoofAttempts.load(), 99);
    EXPECT_EQ(core_->lockMinutes.load(), 15);
}

TEST_F(Registration, AnswerFailuresStoreNothing) {
    const char* faults[] = {
        "{\"target\": \"RegisterDevice3\", \"kind\": \"malformed_xml\"}",
        "{\"target\": \"RegisterDevice3\", \"kind\": \"missing_element\", \"level\": \"envelope\"}",
        "{\"target\": \"RegisterDevice3\", \"kind\": \"missing_element\", \"level\": \"body\"}",
        "{\"target\": \"RegisterDevice3\", \"kind\": \"missing_element\", \"level\": \"response\"}",
        "{\"target\": \"RegisterDevice3\", \"kind\": \"missing_element\", \"level\": \"result\"}",
        "{\"target\": \"RegisterDevice3\", \"kind\": \"empty_result\"}",
        "{\"target\": \"RegisterDevice3\", \"kind\": \"drop_connection\"}",
        "{\"target\": \"RegisterDevice3\", \"kind\": \"http_error\", \"status\": 500}",
    };
    for (const char* fault : faults) {
        Call("server", "clear_faults");
        Call("server", "set_fault", fault);
        EXPECT_FALSE(core_->RegisterDevice()) << fault;
        EXPECT_FALSE(core_->registrationRunning.load());
        ExpectNothingStored();
    }
    // The device never got an answer to complete with.
    EXPECT_EQ(CommandCount("VELM_Complete_Registration"), 0);
}

TEST_F(Registration, DeviceRefusalsStoreNothing) {
    // The device cannot make a request: nothing goes to the server.
    Call("scanner", "set_reply", "{\"word\": \"VELM_Registration\", \"reply\": \"FAIL:no key\"}");
    EXPECT_FALSE(core_->RegisterDevice());
    EXPECT_EQ(ServerRequests(), 0);

    // The device refuses the server's answer.
    Call("scanner", "set_reply", "{\"word\": \"VELM_Complete_Registration\", \"reply\": \"FAIL:bad answer\"}");
    Call("server", "set_registration", "{\"attempt\": 7, \"timelock\": 20, \"level\": 100}");
    EXPECT_FALSE(core_->RegisterDevice());
    ExpectNothingStored();
    EXPECT_EQ(ServerRequests(), 1);
}

TEST_F(Registration, SevenFieldTimeRecordStopsBeforeTheDevice) {
    Call("scanner", "set", "{\"time_record\": \"2026-01-04T08:05:09,0,P,2.04,0,R,APP\"}");
    EXPECT_FALSE(core_->RegisterDevice());
    EXPECT_EQ(CommandCount("VELM_Registration"), 0);
    EXPECT_EQ(ServerRequests(), 0);
    ExpectNothingStored();
}

TEST_F(Registration, DisconnectedScannerIsRefusedAtOnce) {
    device_->connected = false;
    EXPECT_FALSE(core_->RegisterDevice());
    EXPECT_EQ(core_->IsDeviceRegistered(true), 0);
    EXPECT_EQ(ServerRequests(), 0);
}

TEST_F(Registration, CheckAroundTheExpiryBoundaries) {
    struct Case {
        long seconds;  // model certificate valid for this much longer
        bool skip;
        int want;
    } cases[] = {
        {-1, false, 0},          // expired a second ago
        {300, false, 1},         // five minutes left
        {2 * 86400, false, 2},   // two days
        {6 * 86400, false, 1},   // six days
        {-86400, true, 1},       // expired, but the expiry is not checked
    };
    for (const auto& c : cases) {
        Call("scanner", "set_cert_in", "{\"seconds\": " + std::to_string(c.seconds) + "}");
        EXPECT_EQ(core_->IsDeviceRegistered(c.skip), c.want) << c.seconds;
    }
    Call("scanner", "clear_model_cert");
    EXPECT_EQ(core_->IsDeviceRegistered(true), 0);
    Call("scanner", "set_reply", "{\"word\": \"VELM_ReadMC\", \"reply\": \"QUJDREVG\"}");  // Base64, not a certificate
    EXPECT_EQ(core_->IsDeviceRegistered(true), 0);
}

TEST_F(Registration, RequestAnswersAndTheBusyFlag) {
    const std::string head = "<RegisterDeviceResp xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                             "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" ";
    EXPECT_EQ(core_->ProcessRegistrationRequest(), head + "isregsuccess=\"true\" error=\"\" />");
    EXPECT_FALSE(core_->deviceInUse.load());

    Call("server", "set_fault", "{\"target\": \"RegisterDevice3\", \"kind\": \"malformed_xml\"}");
    EXPECT_EQ(core_->ProcessRegistrationRequest(), head + "isregsuccess=\"false\" error=\"Registration failed.\" />");
    EXPECT_FALSE(core_->deviceInUse.load());

    // A capture holds the scanner: the request is refused without touching the device.
    Call("scanner", "clear_received");
    ASSERT_TRUE(core_->TryAcquireDevice());
    EXPECT_EQ(core_->ProcessRegistrationRequest(),
              head + "isregsuccess=\"false\" error=\"RD Service is busy with other request.\" />");
    EXPECT_TRUE(core_->deviceInUse.load());
    core_->ReleaseDevice();
    EXPECT_EQ(CommandCount("VELM_GetTime"), 0);
}

}  // namespace
