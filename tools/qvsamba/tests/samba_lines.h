// Audit lines as Samba 4.17 writes them (taken from a real domain controller's log), with the
// account, address and time put in.
#pragma once

#include <string>

namespace qv::samba_lines {

inline std::string Ntlm(const std::string& user, const std::string& address, int second = 18) {
    return "  {\"timestamp\": \"2026-12-08T11:16:" + std::to_string(10 + second % 50) +
           ".487270+0000\", \"type\": \"Authentication\", \"Authentication\": {\"version\": {\"major\": 1, \"minor\": "
           "2}, \"eventId\": 4624, \"logonId\": \"0\", \"logonType\": 3, \"status\": \"NT_STATUS_OK\", "
           "\"localAddress\": \"ipv4:127.0.0.50:445\", \"remoteAddress\": \"ipv4:" + address +
           ":45084\", \"serviceDescription\": \"SMB2\", \"authDescription\": \"NTLMSSP\", \"clientDomain\": "
           "\"QVCORP\", \"clientAccount\": \"" + user + "\", \"workstation\": \"VM\", \"becameAccount\": \"" + user +
           "\", \"becameDomain\": \"QVCORP\", \"becameSid\": \"S-1-5-21-4036464648-1354666568-646959226-1107\", "
           "\"mappedAccount\": \"" + user + "\", \"mappedDomain\": \"QVCORP\", \"netlogonComputer\": null, "
           "\"netlogonTrustAccount\": null, \"netlogonNegotiateFlags\": \"0x00000000\", "
           "\"netlogonSecureChannelType\": 0, \"netlogonTrustAccountSid\": null, \"passwordType\": \"NTLMv2\", "
           "\"duration\": 70815}}";
}

inline std::string Kerberos(const std::string& user, const std::string& address) {
    return "  {\"timestamp\": \"2026-12-08T11:16:21.598982+0000\", \"type\": \"Authentication\", \"Authentication\": "
           "{\"version\": {\"major\": 1, \"minor\": 2}, \"eventId\": 4624, \"logonId\": \"c914c8cd98861072\", "
           "\"logonType\": 3, \"status\": \"NT_STATUS_OK\", \"localAddress\": null, \"remoteAddress\": \"ipv4:" +
           address + ":55867\", \"serviceDescription\": \"Kerberos KDC\", \"authDescription\": \"ENC-TS "
           "Pre-authentication\", \"clientDomain\": null, \"clientAccount\": \"" + user +
           "@CORP.EXAMPLE.TEST\", \"workstation\": null, \"becameAccount\": \"" + user +
           "\", \"becameDomain\": \"QVCORP\", \"becameSid\": \"S-1-5-21-4036464648-1354666568-646959226-1108\", "
           "\"mappedAccount\": \"" + user + "\", \"mappedDomain\": \"QVCORP\", \"netlogonComputer\": null, "
           "\"netlogonTrustAccount\": null, \"netlogonNegotiateFlags\": \"0x00000000\", "
           "\"netlogonSecureChannelType\": 0, \"netlogonTrustAccountSid\": null, \"passwordType\": "
           "\"aes256-cts-hmac-sha1-96\", \"duration\": 51429}}";
}

inline std::string SimpleBind(const std::string& user, const std::string& address) {
    return "  {\"timestamp\": \"2026-12-08T11:16:18.298918+0000\", \"type\": \"Authentication\", \"Authentication\": "
           "{\"version\": {\"major\": 1, \"minor\": 2}, \"eventId\": 4624, \"logonId\": \"0\", \"logonType\": 8, "
           "\"status\": \"NT_STATUS_OK\", \"localAddress\": \"ipv4:127.0.0.50:389\", \"remoteAddress\": \"ipv4:" +
           address + ":34750\", \"serviceDescription\": \"LDAP\", \"authDescription\": \"simple bind\", "
           "\"clientDomain\": \"QVCORP\", \"clientAccount\": \"" + user + "@corp.example.test\", \"workstation\": "
           "\"DC1\", \"becameAccount\": \"" + user + "\", \"becameDomain\": \"QVCORP\", \"becameSid\": "
           "\"S-1-5-21-4036464648-1354666568-646959226-1106\", \"mappedAccount\": \"" + user +
           "\", \"mappedDomain\": \"QVCORP\", \"netlogonComputer\": null, \"netlogonTrustAccount\": null, "
           "\"netlogonNegotiateFlags\": \"0x00000000\", \"netlogonSecureChannelType\": 0, "
           "\"netlogonTrustAccountSid\": null, \"passwordType\": \"Plaintext\", \"duration\": 36374}}";
}

inline std::string WrongPassword(const std::string& user, const std::string& address) {
    return "  {\"timestamp\": \"2026-12-08T11:16:21.718418+0000\", \"type\": \"Authentication\", \"Authentication\": "
           "{\"version\": {\"major\": 1, \"minor\": 2}, \"eventId\": 4625, \"logonId\": \"0\", \"logonType\": 8, "
           "\"status\": \"NT_STATUS_WRONG_PASSWORD\", \"localAddress\": \"ipv4:127.0.0.50:389\", \"remoteAddress\": "
           "\"ipv4:" + address + ":40690\", \"serviceDescription\": \"LDAP\", \"authDescription\": \"simple bind\", "
           "\"clientDomain\": \"QVCORP\", \"clientAccount\": \"" + user + "@corp.example.test\", \"workstation\": "
           "\"DC1\", \"becameAccount\": null, \"becameDomain\": null, \"becameSid\": null, \"mappedAccount\": \"" +
           user + "\", \"mappedDomain\": \"QVCORP\", \"netlogonComputer\": null, \"netlogonTrustAccount\": null, "
           "\"netlogonNegotiateFlags\": \"0x00000000\", \"netlogonSecureChannelType\": 0, "
           "\"netlogonTrustAccountSid\": null, \"passwordType\": \"Plaintext\", \"duration\": 12458}}";
}

inline std::string Authorization(const std::string& user) {
    return "  {\"timestamp\": \"2026-12-08T11:16:18.304996+0000\", \"type\": \"Authorization\", \"Authorization\": "
           "{\"version\": {\"major\": 1, \"minor\": 1}, \"localAddress\": \"ipv4:127.0.0.50:389\", \"remoteAddress\": "
           "\"ipv4:127.0.0.1:34750\", \"serviceDescription\": \"LDAP\", \"authType\": \"simple bind\", \"domain\": "
           "\"QVCORP\", \"account\": \"" + user + "\", \"sid\": \"S-1-5-21-4036464648-1354666568-646959226-1106\", "
           "\"sessionId\": \"acfebf64-7235-4fb3-b69a-adfbebc45f02\", \"logonServer\": \"DC1\", "
           "\"transportProtection\": \"NONE\", \"accountFlags\": \"0x00000010\"}}";
}

}  // namespace qv::samba_lines
