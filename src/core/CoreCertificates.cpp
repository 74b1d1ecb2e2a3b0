// UIDAI key rotation: fetch the current UIDAI certificates from the management server, check
// the server's signature over them, keep them as files with their certificate identifiers,
// and install their public keys in the scanner.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "core/CoreSupport.h"
#include "core/VELM_Core_Helper.h"
#include "device/Device_Comm_Mgmt.h"
#include "net/VELM_HTTP_Helper.h"
#include "security/VELM_Secure_Helper.h"
#include "service/Commons.h"
#include "service/Profile.h"
#include "service/VELM_Utils.h"
#include "velm_provision.h"

namespace {

constexpr const char* kCertificatePath = "/TR460_REGISTRATION_SERVICE/CertFetcher.asmx";
constexpr const char* kCertificateAction = "GetUIDAICertificates_2019";
constexpr size_t kMaxCertificateBytes = 4096;

std::string CertificateRequestBody(const std::string& serialNumber) {
    std::string body;
    body += "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:tem=\"";
    body += velm::provision::kNamespace_certificate;
    body += "\">";
    body += "<soapenv:Header/><soapenv:Body><tem:GetUIDAICertificates_2019>";
    body += "<tem:opd_num>1</tem:opd_num><tem:RDVer>1.0</tem:RDVer>";
    body += "<tem:argCertCIs>,,</tem:argCertCIs>";
    body += "<tem:srno>" + velm::net::XmlEscape(serialNumber) + "</tem:srno><tem:cert_srno></tem:cert_srno>";
    body += "</tem:GetUIDAICertificates_2019></soapenv:Body></soapenv:Envelope>";
    return body;
}

// Creates the configuration store empty when it does not exist; an existing one is kept.
void EnsureStoreExists() {
    const std::string path = velm::profile::InstallPath("config_data");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
}

}  // namespace

int VELM_Core_Helper::CheckAndDownloadUidaiCertificates() {
    try {
        EnsureStoreExists();
        if (utils->ReadParameterFromConfigFile("Installed_TS").empty())
            utils->WriteParameterDataToConfigFile("Installed_TS", utils->GetCurrentTime("%Y%m%d%H%M%S"));

        if (utils->Split(device->GetDeviceTime(), ",").size() != 8) return -1;

        std::string serial = device->serialNumber;
        utils->trim(serial);
        const std::string answer = http->SendRequestToServer(velm::profile::Get().serverOrigin + kCertificatePath,
                                                             kCertificateAction, CertificateRequestBody(serial));
        if (answer.empty()) return -1;
        if (answer.find("FAIL:") != std::string::npos) {
            Commons::ShowNotification(answer);
            return -2;
        }
        const velm::net::SoapAnswer soap = velm::net::ParseSoapAnswer(answer, kCertificateAction);
        if (!soap.ok()) return -1;
        const std::string& resultText = soap.text;
        std::string trimmed = resultText;
        if (utils->trim(trimmed).empty()) return -1;  // a result element without text

        const velm::core::UidaiCertificateAnswer fields = velm::core::ParseUidaiCertificateAnswer(resultText);
        // Nothing is stored before the signature has been checked.
        const int verified = velm::core::VerifyAnswerSignature(fields.signedData, fields.signature,
                                                               velm::profile::Get().signingPublicKeyPem);
        if (verified != 0) return verified;

        struct Slot {
            const std::string& base64;
            const std::string& path;
            const char* ciKey;
            std::vector<uint8_t> der;
        };
        Slot slots[] = {{fields.stageCert, stageCertPath, "StageCerCI", {}},
                        {fields.prodCert, prodCertPath, "ProdCerCI", {}},
                        {fields.preprodCert, preprodCertPath, "PreProdCerCI", {}}};
        bool allStored = true;
        for (Slot& s : slots) {
            std::vector<uint8_t> der;
            if (s.base64.size() > 10) der = velm::core::DecodeBase64Bounded(s.base64, kMaxCertificateBytes);
            // A certificate is usable only when it parses: its identifier comes from it, and so
            // does the key the scanner receives.
            const std::string ci = der.empty() ? std::string() : utils->ReadCertificateExpiry(der.data(), der.size());
            if (ci.empty() || !velm::core::WriteFileAtomically(s.path, s.base64)) {
                allStored = false;
                continue;
            }
            utils->WriteParameterDataToConfigFile(s.ciKey, ci);
            s.der = std::move(der);
        }
        if (!allStored || !device->connected.load()) return -1;

        // Key record: production, pre-production, staging.
        uint8_t keyRecord[3 * VELM_Utils::kPublicKeyRecordSize];
        const Slot* order[] = {&slots[1], &slots[2], &slots[0]};
        for (size_t i = 0; i < 3; ++i) {
            velm::MallocBuffer rec(utils->ReadCertificatePublicKeyData(order[i]->der.data(), order[i]->der.size()));
            if (!rec) return -1;
            std::memcpy(keyRecord + i * VELM_Utils::kPublicKeyRecordSize, rec.get(), VELM_Utils::kPublicKeyRecordSize);
        }

        std::string payload;
        {
            // Device code, time record and the key change belong together on the link.
            auto link = device->LockLink();
            std::string code = utils->ReplaceString(device->GetDeviceCode(), "-", "");
            utils->trim(code);
            if (code.size() != 2 * VELM_Secure_Helper::kDeviceCodeLength) return -1;
            velm::MallocBuffer codeBytes(utils->HexStringToByteArray(code));
            const std::vector<std::string> record = utils->Split(device->GetDeviceTime(), ",");
            if (record.size() != 8) return -1;
            uint8_t request[VELM_Secure_Helper::kRequestBufferSize];
            const int length = secure->GenerateEncryptedKeyChangeReq(
                record[0].c_str(), codeBytes.get(), VELM_Secure_Helper::kDeviceCodeLength, keyRecord,
                static_cast<int>(sizeof keyRecord), request, sizeof request);
            if (length < 1) return -1;
            payload = utils->ConvertToBase64(request, static_cast<size_t>(length));
            if (payload.empty() || !device->SetUIDAIPublicKeyInDevice(payload)) return -1;
        }
        Commons::ShowNotification("UIDAI Certificates downloaded");
        return velm::core::CertificateRotationCode(IsFirmwareUpgradeRequired(fields.firmwareVersion),
                                                   fields.reregister == "Y");
    } catch (const std::exception& e) {
        Commons::ShowNotification(std::string("Error while downloading UIDAI certificates: ") + e.what());
    } catch (...) {
        Commons::ShowNotification("Error while downloading UIDAI certificates: Fatal Error");
    }
    return -1;
}
