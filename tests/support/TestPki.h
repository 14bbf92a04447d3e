#pragma once

#include <string>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

// A test certificate authority made at run time with the OpenSSL API, with
// certificates and keys it issues, all PEM files in a temporary folder that
// the destructor removes. Nothing secret lives in the source tree. Keys are
// EC P-256 (quick to make), written unencrypted and readable by the owner only.
class TTestPki {
public:
    struct TIdentity {
        std::string CertFile;
        std::string KeyFile;
    };
    struct TSpec {
        std::string CommonName;
        std::vector<std::string> DnsNames;      // subjectAltName DNS entries
        std::vector<std::string> IpAddresses;   // subjectAltName IP entries
        int ValidFromDays = -1;                 // relative to now
        int ValidToDays = 30;
        bool Client = false;                    // client authentication, else server
    };

    // Makes the CA ("Tarnwick Test CA <n>"); raises std::runtime_error on failure.
    TTestPki();
    ~TTestPki();
    TTestPki(const TTestPki&) = delete;
    TTestPki& operator=(const TTestPki&) = delete;

    const std::string& Directory() const { return FDirectory; }
    const std::string& CaFile() const { return FCaFile; }
    // Issues <name>.pem and <name>.key signed by this CA.
    TIdentity Issue(const std::string& name, const TSpec& spec);

    // A server certificate for "localhost" and 127.0.0.1.
    static TSpec Server();
    // A client certificate with the common name "tarnwick-client".
    static TSpec Client();

private:
    std::string FDirectory;
    std::string FCaFile;
    EVP_PKEY* FCaKey = nullptr;
    X509* FCaCert = nullptr;
    long FSerial = 1;
    std::vector<std::string> FFiles;
};

// The certificates the TLS tests draw on, made once per test program: a CA
// that issued a server certificate for localhost and 127.0.0.1, certificates
// for a name only, for another name and an expired one, a client
// certificate, and a second CA that nobody trusts with a client certificate
// of its own.
struct TTestCertificates {
    TTestPki Pki;
    TTestPki OtherCa;
    TTestPki::TIdentity Server, OtherName, NameOnly, Expired, Client, ForeignClient;
    TTestCertificates();
};
const TTestCertificates& TestCertificates();
