#include "platform/TlsContext.h"

#include <cerrno>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "platform/Error.h"
#include "platform/TlsError.h"

namespace {

// what: the step that failed, ahead of OpenSSL's reason.
[[noreturn]] void RaiseFor(const std::string& where, const std::string& what)
{
    TTlsReason reason = TakeTlsReason("no reason given", true);
    throw Exception(TlsErrorMessage(reason.Code, what + ": " + reason.Text, where));
}

// An encrypted key would make OpenSSL ask for its pass phrase on the
// terminal, which nobody watches: it fails to load instead.
int NoPassPhrase(char*, int, int, void*) { return 0; }

// A session ticket from the broker is its first word after a TLS 1.3
// handshake: it has accepted the client (TTlsSession keeps a flag for this
// as the SSL's application data). The ticket itself is not kept.
int NoteTicket(SSL* ssl, SSL_SESSION*)
{
    if (auto* seen = static_cast<bool*>(SSL_get_app_data(ssl)))
        *seen = true;
    return 0;
}

} // namespace

TTlsContext::TTlsContext(const TTlsConfig& config) : FConfig(config)
{
    ERR_clear_error();
    FContext = SSL_CTX_new(TLS_client_method());
    if (!FContext)
        RaiseFor("SSL_CTX_new", "cannot make the TLS context");
    try {
        SSL_CTX_set_min_proto_version(FContext, TLS1_2_VERSION);
        SSL_CTX_set_verify(FContext, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_default_passwd_cb(FContext, NoPassPhrase);
        SSL_CTX_set_session_cache_mode(FContext, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(FContext, NoteTicket);
        if (FConfig.CaFile.empty()) {
            if (SSL_CTX_set_default_verify_paths(FContext) != 1)
                RaiseFor("system CA store", "cannot load the system CA store");
        } else if (SSL_CTX_load_verify_locations(FContext, FConfig.CaFile.c_str(), nullptr) != 1) {
            RaiseFor(FConfig.CaFile, "cannot load the CA file");
        }
        if (!FConfig.CertFile.empty()) {
            const std::string& keyFile = FConfig.KeyFile.empty() ? FConfig.CertFile : FConfig.KeyFile;
            if (SSL_CTX_use_certificate_chain_file(FContext, FConfig.CertFile.c_str()) != 1)
                RaiseFor(FConfig.CertFile, "cannot load the client certificate");
            // Loading the key after the certificate also checks that they belong together.
            if (SSL_CTX_use_PrivateKey_file(FContext, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
                RaiseFor(keyFile, "cannot load the client key");
        } else if (!FConfig.KeyFile.empty()) {
            throw Exception(TlsErrorMessage(EINVAL, "a client key needs its certificate", FConfig.KeyFile));
        }
    } catch (...) {
        SSL_CTX_free(FContext);
        throw;
    }
}

TTlsContext::~TTlsContext()
{
    SSL_CTX_free(FContext);
}
