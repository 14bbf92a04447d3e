#include "support/TestPki.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

[[noreturn]] void Raise(const std::string& what)
{
    char line[256] = "no OpenSSL error";
    if (unsigned long error = ERR_get_error())
        ERR_error_string_n(error, line, sizeof line);
    ERR_clear_error();
    throw std::runtime_error("TestPki: " + what + ": " + line);
}

struct TFreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct TFreeCert {
    void operator()(X509* cert) const { X509_free(cert); }
};
using TKey = std::unique_ptr<EVP_PKEY, TFreeKey>;
using TCert = std::unique_ptr<X509, TFreeCert>;

TKey MakeKey()
{
    TKey key(EVP_EC_gen("P-256"));
    if (!key)
        Raise("EC key");
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension || X509_add_ext(cert, extension, -1) != 1) {
        X509_EXTENSION_free(extension);
        Raise("extension " + value);
    }
    X509_EXTENSION_free(extension);
}

// issuer null: self-signed. Extensions and the signature come after.
TCert MakeCert(EVP_PKEY* key, const std::string& commonName, long serial, int fromDays, int toDays, X509* issuer)
{
    TCert cert(X509_new());
    if (!cert)
        Raise("X509_new");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), static_cast<long>(fromDays) * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(toDays) * 86400);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Tarnwick tests"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    return cert;
}

void Sign(X509* cert, EVP_PKEY* key)
{
    if (X509_sign(cert, key, EVP_sha256()) <= 0)
        Raise("X509_sign");
}

// Created for the owner only, before anything is written to it.
FILE* CreatePrivate(const std::string& path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FILE* file = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (!file) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("TestPki: cannot create " + path + ": " + std::strerror(errno));
    }
    return file;
}

void WriteCert(const std::string& path, X509* cert)
{
    FILE* file = CreatePrivate(path);
    bool written = PEM_write_X509(file, cert) == 1;
    if (std::fclose(file) != 0 || !written)
        Raise("writing " + path);
}

void WriteKey(const std::string& path, EVP_PKEY* key)
{
    FILE* file = CreatePrivate(path);
    bool written = PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (std::fclose(file) != 0 || !written)
        Raise("writing " + path);
}

std::string Join(const char* prefix, const std::vector<std::string>& items, std::string list = {})
{
    for (const auto& item : items)
        list += (list.empty() ? "" : ",") + std::string(prefix) + item;
    return list;
}

} // namespace

TTestPki::TTestPki()
{
    char pattern[] = "/tmp/tarnwick-pki-XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::runtime_error(std::string("TestPki: mkdtemp: ") + std::strerror(errno));
    FDirectory = pattern;

    // Each CA has a name of its own, so that one never vouches for another's certificates.
    static std::atomic<int> made{0};
    TKey key = MakeKey();
    TCert cert = MakeCert(key.get(), "Tarnwick Test CA " + std::to_string(++made) + " " + std::to_string(::getpid()),
                          FSerial++, -1, 365, nullptr);
    AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
    Sign(cert.get(), key.get());
    FCaFile = FDirectory + "/ca.pem";
    WriteCert(FCaFile, cert.get());
    FFiles.push_back(FCaFile);
    FCaKey = key.release();
    FCaCert = cert.release();
}

TTestPki::~TTestPki()
{
    EVP_PKEY_free(FCaKey);
    X509_free(FCaCert);
    for (const auto& file : FFiles)
        std::remove(file.c_str());
    ::rmdir(FDirectory.c_str());
}

TTestPki::TIdentity TTestPki::Issue(const std::string& name, const TSpec& spec)
{
    TKey key = MakeKey();
    TCert cert = MakeCert(key.get(), spec.CommonName, FSerial++, spec.ValidFromDays, spec.ValidToDays, FCaCert);
    AddExtension(cert.get(), FCaCert, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), FCaCert, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    AddExtension(cert.get(), FCaCert, NID_ext_key_usage, spec.Client ? "clientAuth" : "serverAuth");
    AddExtension(cert.get(), FCaCert, NID_authority_key_identifier, "keyid:always");
    std::string altNames = Join("IP:", spec.IpAddresses, Join("DNS:", spec.DnsNames));
    if (!altNames.empty())
        AddExtension(cert.get(), FCaCert, NID_subject_alt_name, altNames);
    Sign(cert.get(), FCaKey);

    TIdentity identity{FDirectory + "/" + name + ".pem", FDirectory + "/" + name + ".key"};
    WriteCert(identity.CertFile, cert.get());
    FFiles.push_back(identity.CertFile);
    WriteKey(identity.KeyFile, key.get());
    FFiles.push_back(identity.KeyFile);
    return identity;
}

TTestPki::TSpec TTestPki::Server()
{
    TSpec spec;
    spec.CommonName = "localhost";
    spec.DnsNames = {"localhost"};
    spec.IpAddresses = {"127.0.0.1"};
    return spec;
}

TTestPki::TSpec TTestPki::Client()
{
    TSpec spec;
    spec.CommonName = "tarnwick-client";
    spec.Client = true;
    return spec;
}

TTestCertificates::TTestCertificates()
{
    Server = Pki.Issue("server", TTestPki::Server());
    TTestPki::TSpec spec = TTestPki::Server();
    spec.IpAddresses = {};
    NameOnly = Pki.Issue("name-only", spec);
    spec.CommonName = "other.example";
    spec.DnsNames = {"other.example"};
    OtherName = Pki.Issue("other-name", spec);
    spec = TTestPki::Server();
    spec.ValidFromDays = -30;
    spec.ValidToDays = -1;
    Expired = Pki.Issue("expired", spec);
    Client = Pki.Issue("client", TTestPki::Client());
    ForeignClient = OtherCa.Issue("foreign-client", TTestPki::Client());
}

const TTestCertificates& TestCertificates()
{
    static TTestCertificates certificates;
    return certificates;
}
