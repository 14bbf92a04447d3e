#include "support/TlsTestServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "platform/TlsError.h"

void TTlsTestServer::Echo(SSL* ssl, int)
{
    char buffer[16384];
    for (int got; (got = SSL_read(ssl, buffer, sizeof buffer)) > 0;)
        if (SSL_write(ssl, buffer, got) <= 0)
            return;
}

TTlsTestServer::TTlsTestServer(const TOptions& options, TScript script)
    : FOptions(options), FScript(std::move(script))
{
    FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FOptions.BufferSize > 0) {   // inherited by the accepted connection
        ::setsockopt(FListener, SOL_SOCKET, SO_RCVBUF, &FOptions.BufferSize, sizeof FOptions.BufferSize);
        ::setsockopt(FListener, SOL_SOCKET, SO_SNDBUF, &FOptions.BufferSize, sizeof FOptions.BufferSize);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(FListener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(FListener, 1) != 0 ||
        ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string error = std::strerror(errno);
        ::close(FListener);
        throw std::runtime_error("TLS test server: " + error);
    }
    FPort = ntohs(address.sin_port);
    FThread = std::thread([this] { Run(); });
}

TTlsTestServer::~TTlsTestServer()
{
    Join();
    ::close(FListener);
}

void TTlsTestServer::Join()
{
    if (FThread.joinable())
        FThread.join();
}

void TTlsTestServer::Run()
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    pollfd entry{FListener, POLLIN, 0};
    if (::poll(&entry, 1, 10000) != 1)
        return;
    const int connection = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0)
        return;
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(context, FOptions.CertFile.c_str());
    SSL_CTX_use_PrivateKey_file(context, FOptions.KeyFile.c_str(), SSL_FILETYPE_PEM);
    if (FOptions.MaxVersion)
        SSL_CTX_set_max_proto_version(context, FOptions.MaxVersion);
    if (!FOptions.Tickets)
        SSL_CTX_set_num_tickets(context, 0);
    if (!FOptions.ClientCaFile.empty()) {
        SSL_CTX_load_verify_locations(context, FOptions.ClientCaFile.c_str(), nullptr);
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, connection);
    if (SSL_accept(ssl) == 1) {
        if (const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name))
            ServerName = name;
        if (X509* peer = SSL_get1_peer_certificate(ssl)) {
            char name[256] = {};
            X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, name, sizeof name);
            ClientName = name;
            X509_free(peer);
        }
        FScript(ssl, connection);
        if (FOptions.Ending == TEnding::CloseNotify)
            SSL_shutdown(ssl);
        if (FOptions.Ending == TEnding::Reset) {
            linger abort{1, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
    } else {
        HandshakeError = TakeTlsReason("handshake failed").Text;
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    ::close(connection);
}
