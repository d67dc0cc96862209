// How far the identity server's certificate is trusted, against reference servers that serve
// certificates of a test authority (for their address, for another name, expired) and their
// own self-signed one: verified, refused with the reason and the fingerprints seen, pinned.
// The same cases run natively (OpenSSL) and under Wine (Schannel and CryptoAPI).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "identity/certificate_trust.h"
#include "identity/identity_protocol.h"
#include "tests/identity/reference_servers.h"
#include "tests/identity/test_identity_settings.h"
#include "tests/support/log_capture.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

constexpr uint32_t LOG_MODE = 0x2 | 0x100;  // log file, verbose

// The two lines of a .pins file: the certificate's and the public key's SHA-256 in hex.
std::vector<std::string> PinsOf(const std::string& name) {
    std::vector<std::string> pins;
    std::string text = test::ReadServerStateFile("certificates/" + name + ".pins");
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) pins.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pins;
}

// "ab12..." as the log shows it: "AB:12:...".
std::string LogFingerprint(const std::string& hex) {
    std::string text;
    for (size_t i = 0; i < hex.size(); i += 2) {
        if (!text.empty()) text += ':';
        text += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i])));
        text += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i + 1])));
    }
    return text;
}

SHA256_DIGEST Pin(const std::string& hex) {
    SHA256_DIGEST pin{};
    EXPECT_TRUE(ParsePin(STRING(hex.c_str()).Text(), pin)) << hex;
    return pin;
}

TLS_TRUST Chain(const char* caFile) {
    TLS_TRUST trust;
    trust.Verify = TLS_VERIFY_CHAIN;
    trust.CaFile = STRING(test::ServerStateFile(std::string("certificates/") + caFile).c_str());
    return trust;
}

TLS_TRUST Pinned(std::vector<SHA256_DIGEST> pins) {
    TLS_TRUST trust;
    trust.Verify = TLS_VERIFY_PIN;
    trust.Pins = std::move(pins);
    return trust;
}

class CertificateTrustTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_REFERENCE_SERVER_STATE();
    }

    // One connection round to 'server' with 'trust', the protocol left automatic.
    bool ConnectWith(const char16_t* server, const TLS_TRUST& trust) {
        Settings.SetServer(server);
        Settings.SetTrust(trust);
        IDENTITY_PROTOCOL connection(Settings.Context());
        return connection.Connect();
    }
    size_t Count(const std::string& text) { return Log.LinesWith(text).size(); }

    test::LOG_CAPTURE Log{LOG_MODE};
    test::IDENTITY_SETTINGS Settings;
};

TEST(CertificatePinTest, PinsAreSixtyFourHexDigitsWhateverTheirColonsAndCase) {
    SHA256_DIGEST pin{};
    const std::string hex(64, 'a');
    EXPECT_TRUE(ParsePin(STRING(hex.c_str()).Text(), pin));
    EXPECT_EQ(pin[0], 0xAA);
    // Colons between some pairs, a blank, both cases.
    const std::string mixed = "0F:1e:2D:3c 4b" + std::string(50, 'A') + "5e1E";
    EXPECT_TRUE(ParsePin(STRING(mixed.c_str()).Text(), pin));
    EXPECT_EQ(pin[0], 0x0F);
    EXPECT_EQ(pin[4], 0x4B);
    EXPECT_EQ(pin[31], 0x1E);
    EXPECT_EQ(Utf8(FingerprintText(pin.data())).substr(0, 12), "0F:1E:2D:3C:");
    EXPECT_FALSE(ParsePin(STRING(std::string(62, 'a').c_str()).Text(), pin));  // too short
    EXPECT_FALSE(ParsePin(STRING(std::string(66, 'a').c_str()).Text(), pin));  // too long
    EXPECT_FALSE(ParsePin(STRING((std::string(63, 'a') + "g").c_str()).Text(), pin));
    EXPECT_FALSE(ParsePin(u"", pin));
}

TEST_F(CertificateTrustTest, ACertificateOfTheTrustedAuthorityForTheServersAddressConnects) {
    EXPECT_TRUE(ConnectWith(test::SERVER_CA_SIGNED, Chain("ca.pem")));
    EXPECT_EQ(Count("refused"), 0u);
    // The same certificate under an authority that did not sign it.
    EXPECT_FALSE(ConnectWith(test::SERVER_CA_SIGNED, Chain("other-ca.pem")));
    EXPECT_EQ(Count("Certificate of Identity server = \"127.0.0.101\" refused: untrusted (it does not chain to a "
                    "certificate of TlsCaFile)"),
              1u);
    // Nor does the system's own store know the test authority.
    TLS_TRUST system;
    system.Verify = TLS_VERIFY_CHAIN;
    EXPECT_FALSE(ConnectWith(test::SERVER_CA_SIGNED, system));
    EXPECT_EQ(Count("Certificate of Identity server = \"127.0.0.101\" refused: untrusted (it does not chain to a "
                    "trusted root)"),
              1u);
}

TEST_F(CertificateTrustTest, WrongNameExpiredAndSelfSignedAreRefusedWithTheirReasonAndFingerprints) {
    EXPECT_FALSE(ConnectWith(test::SERVER_WRONG_NAME, Chain("ca.pem")));
    EXPECT_EQ(Count("Certificate of Identity server = \"127.0.0.102\" refused: name mismatch (it does not name "
                    "127.0.0.102)"),
              1u);
    EXPECT_FALSE(ConnectWith(test::SERVER_EXPIRED, Chain("ca.pem")));
    EXPECT_EQ(Count("Certificate of Identity server = \"127.0.0.103\" refused: expired"), 1u);
    EXPECT_FALSE(ConnectWith(test::SERVER_SELF_SIGNED, Chain("ca.pem")));
    EXPECT_EQ(Count("Certificate of Identity server = \"127.0.0.104\" refused: untrusted"), 1u);

    // What an administrator needs to pin it, and the failed round.
    const std::vector<std::string> pins = PinsOf("self-signed");
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_EQ(Count("    SHA-256 fingerprint = " + LogFingerprint(pins[0])), 1u);
    EXPECT_EQ(Count("    Public key SHA-256 = " + LogFingerprint(pins[1])), 1u);
    EXPECT_EQ(Count("Description = The server certificate was not accepted: untrusted"), 2u);
    // Verification never falls back to plain TCP, where nothing could be verified.
    EXPECT_EQ(Count(":1306 ..."), 0u);
}

TEST_F(CertificateTrustTest, PinsAcceptTheirCertificateOrItsKeyAndNothingElse) {
    const std::vector<std::string> pins = PinsOf("self-signed");
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_TRUE(ConnectWith(test::SERVER_SELF_SIGNED, Pinned({Pin(pins[0])})));
    EXPECT_TRUE(ConnectWith(test::SERVER_SELF_SIGNED, Pinned({Pin(pins[1])})));
    EXPECT_FALSE(ConnectWith(test::SERVER_CA_SIGNED, Pinned({Pin(pins[0]), Pin(pins[1])})));
    EXPECT_EQ(Count("Certificate of Identity server = \"127.0.0.101\" refused: pin mismatch (neither the "
                    "certificate's nor its public key's fingerprint is in TlsPins)"),
              1u);
    const std::vector<std::string> good = PinsOf("good");
    ASSERT_EQ(good.size(), 2u);
    EXPECT_EQ(Count("    SHA-256 fingerprint = " + LogFingerprint(good[0])), 1u);
    EXPECT_FALSE(ConnectWith(test::SERVER_SELF_SIGNED, Pinned({})));
    EXPECT_EQ(Count("refused: pin mismatch (TlsPins holds no pin)"), 1u);
}

TEST_F(CertificateTrustTest, WithoutVerificationEveryCertificateIsAcceptedAsBefore) {
    EXPECT_TRUE(ConnectWith(test::SERVER_EXPIRED, TLS_TRUST()));
    EXPECT_TRUE(ConnectWith(test::SERVER_SELF_SIGNED, TLS_TRUST()));
    EXPECT_EQ(Count("refused"), 0u);
}

}  // namespace
}  // namespace qv
