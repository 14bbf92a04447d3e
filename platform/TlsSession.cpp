#include "platform/TlsSession.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "platform/Error.h"
#include "platform/SystemError.h"
#include "platform/TlsError.h"

struct TTlsSession::TTransport {
    int Fd = -1;
    int LastError = 0;   // errno of the last failed send or recv
    bool Ended = false;  // recv saw the end of the TCP stream
};

namespace {

// The most plaintext one TLS record carries; Write hands OpenSSL no more, so
// a write that must be finished later is one record.
constexpr int MaxRecordBytes = TTlsSession::kRecordBytes;
// What one read from the socket may take while reading ahead.
constexpr size_t ReadBufferBytes = 128 * 1024;
// How long a TLS 1.3 handshake waits for the broker's verdict on the client's
// certificate (its session ticket, or its alert).
constexpr int VerdictWaitMs = 1000;


bool IsIpAddress(const std::string& host)
{
    unsigned char address[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// The socket as OpenSSL's transport. OpenSSL's own socket BIO writes with
// write(), which raises SIGPIPE on a connection the broker has closed; these
// use send(MSG_NOSIGNAL) and never wait.
TTlsSession::TTransport* TransportOf(BIO* bio) { return static_cast<TTlsSession::TTransport*>(BIO_get_data(bio)); }

int TransportWrite(BIO* bio, const char* data, int size)
{
    BIO_clear_retry_flags(bio);
    auto* transport = TransportOf(bio);
    for (;;) {
        ssize_t sent = ::send(transport->Fd, data, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0)
            return static_cast<int>(sent);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_write(bio);
        else
            transport->LastError = errno;
        return -1;
    }
}

int TransportRead(BIO* bio, char* data, int size)
{
    BIO_clear_retry_flags(bio);
    auto* transport = TransportOf(bio);
    for (;;) {
        ssize_t got = ::recv(transport->Fd, data, static_cast<size_t>(size), MSG_DONTWAIT);
        if (got >= 0) {
            transport->Ended = got == 0;
            return static_cast<int>(got);
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_read(bio);
        else
            transport->LastError = errno;
        return -1;
    }
}

long TransportControl(BIO* bio, int command, long, void*)
{
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;   // every byte goes straight to the kernel
    case BIO_CTRL_EOF:
        // Tells OpenSSL that a read of 0 was the end of the stream.
        return TransportOf(bio)->Ended ? 1 : 0;
    default:
        return 0;
    }
}

int TransportCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD* TransportMethod()
{
    // Made once and never changed; it lives as long as the process.
    static BIO_METHOD* method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tarnwick socket");
        if (made) {
            BIO_meth_set_write(made, TransportWrite);
            BIO_meth_set_read(made, TransportRead);
            BIO_meth_set_ctrl(made, TransportControl);
            BIO_meth_set_create(made, TransportCreate);
        }
        return made;
    }();
    return method;
}

// OpenSSL asks for the client's certificate: the broker requested one.
int NoteCertificateRequest(SSL*, void* flag)
{
    *static_cast<bool*>(flag) = true;
    return 1;
}

} // namespace

TTlsSession::TTlsSession(const TTlsContext& context, int fd, const std::string& host, int port)
    : FTransport(std::make_unique<TTransport>()), FWhere(host + ":" + std::to_string(port))
{
    FTransport->Fd = fd;
    ERR_clear_error();
    FSsl = SSL_new(context.Handle());
    BIO* bio = TransportMethod() ? BIO_new(TransportMethod()) : nullptr;
    if (!FSsl || !bio) {
        BIO_free(bio);
        SSL_free(FSsl);
        TTlsReason reason = TakeTlsReason("out of memory");
        throw Exception(TlsErrorMessage(reason.Code, reason.Text, FWhere));
    }
    BIO_set_data(bio, FTransport.get());
    SSL_set_bio(FSsl, bio, bio);
    SSL_set_connect_state(FSsl);
    // Partial writes: each Write is one record that is finished or not.
    // Moving buffer: a record left unfinished is finished from a copy.
    SSL_set_mode(FSsl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Reads take what the socket holds, many records at once, instead of two
    // reads (header, body) per record. Records read ahead are seen by
    // HasBufferedData().
    SSL_set_read_ahead(FSsl, 1);
    SSL_set_default_read_buffer_len(FSsl, ReadBufferBytes);
    // Without renegotiation a write never has to read, so a writer only ever
    // waits for room and cannot miss bytes that the reader thread takes.
    SSL_set_options(FSsl, SSL_OP_NO_RENEGOTIATION);
    SSL_set_app_data(FSsl, &FTicketSeen);
    SSL_set_cert_cb(FSsl, NoteCertificateRequest, &FCertificateRequested);

    const bool ipAddress = IsIpAddress(host);
    // SNI carries host names only, never addresses.
    if (!ipAddress && !host.empty())
        SSL_set_tlsext_host_name(FSsl, host.c_str());
    if (context.Config().VerifyHostName) {
        bool set = false;
        if (ipAddress) {
            set = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), host.c_str()) == 1;
        } else {
            SSL_set_hostflags(FSsl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            set = SSL_set1_host(FSsl, host.c_str()) == 1;
        }
        if (!set) {
            SSL_free(FSsl);
            TTlsReason reason = TakeTlsReason("the host cannot be checked against a certificate");
            throw Exception(TlsErrorMessage(reason.Code, reason.Text, FWhere));
        }
    }
}

TTlsSession::~TTlsSession()
{
    SSL_free(FSsl);
}

std::string TTlsSession::Version()
{
    std::lock_guard<std::mutex> guard(FLock);
    return SSL_get_version(FSsl);
}

int TTlsSession::FailureCode()
{
    std::lock_guard<std::mutex> guard(FLock);
    return FFailureCode;
}

std::string TTlsSession::FailureText()
{
    std::lock_guard<std::mutex> guard(FLock);
    return FFailureText;
}

TTlsSession::TFailure TTlsSession::FailureKind()
{
    std::lock_guard<std::mutex> guard(FLock);
    return FFailureKind;
}

bool TTlsSession::HasPendingWrite()
{
    std::lock_guard<std::mutex> guard(FLock);
    return !FPendingWrite.empty();
}

void TTlsSession::RecordFailure(int sslError)
{
    TTlsReason reason;
    const long verified = SSL_get_verify_result(FSsl);
    if (FTransport->LastError != 0) {
        // The operating system's error is the cause, whatever OpenSSL made of it.
        ERR_clear_error();
        reason = {FTransport->LastError, SystemErrorText(FTransport->LastError)};
        FFailureKind = TFailure::System;
    } else if (verified != X509_V_OK) {
        // OpenSSL says "certificate verify failed"; the verification result says why.
        reason = TakeTlsReason("certificate verify failed");
        reason.Code = static_cast<int>(verified);
        reason.Text += std::string(": ") + X509_verify_cert_error_string(verified);
        FFailureKind = TFailure::Certificate;
    } else {
        // An empty queue here means the TCP stream ended without a word.
        reason = TakeTlsReason(sslError == SSL_ERROR_ZERO_RETURN ? "closed by the broker"
                                                                 : "unexpected eof while reading");
        FFailureKind = TFailure::Protocol;
    }
    FFailed = true;
    FFailureCode = reason.Code;
    FFailureText = reason.Text;
}

void TTlsSession::RaiseFailure(const char* operation) const
{
    throw Exception(SocketErrorMessage(operation, FFailureCode, FFailureText));
}

void TTlsSession::Fail(const char* operation, int sslError)
{
    RecordFailure(sslError);
    RaiseFailure(operation);
}

void TTlsSession::FailHandshake(int sslError)
{
    RecordFailure(sslError);
    throw Exception(TlsErrorMessage(FFailureCode, FFailureText, FWhere));
}

void TTlsSession::FailWait(TPollEnd end)
{
    FFailed = true;
    FFailureKind = TFailure::System;
    FFailureCode = end == TPollEnd::Cancelled ? ECANCELED : ETIMEDOUT;
    FFailureText = SystemErrorText(FFailureCode);
    throw Exception(TlsErrorMessage(FFailureCode, FFailureText, FWhere));
}

// Holds the lock throughout: the handshake runs before anyone else has the session.
void TTlsSession::Handshake(int timeoutMs, int cancelHandle)
{
    std::lock_guard<std::mutex> guard(FLock);
    TDeadline deadline(timeoutMs);
    for (;;) {
        ERR_clear_error();
        FTransport->LastError = 0;
        int result = SSL_connect(FSsl);
        if (result == 1)
            break;
        int error = SSL_get_error(FSsl, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            FailHandshake(error);
        const TPollEnd end =
            PollUntil(FTransport->Fd, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline, cancelHandle);
        if (end != TPollEnd::Ready)
            FailWait(end);
    }
    if (FCertificateRequested && SSL_version(FSsl) == TLS1_3_VERSION)
        AwaitVerdict(std::min(deadline.RemainingMs() < 0 ? VerdictWaitMs : deadline.RemainingMs(), VerdictWaitMs),
                     cancelHandle);
    // From here a TCP end without close_notify is an ordinary end of the
    // stream, as on a clear connection: MQTT frames carry their own length,
    // so a cut-off stream cannot pass for a whole one.
    SSL_set_options(FSsl, SSL_OP_IGNORE_UNEXPECTED_EOF);
}

void TTlsSession::AwaitVerdict(int timeoutMs, int cancelHandle)
{
    TDeadline deadline(timeoutMs);
    while (!FTicketSeen) {
        ERR_clear_error();
        FTransport->LastError = 0;
        char first = 0;
        // A peek leaves early application data for Read.
        int result = SSL_peek(FSsl, &first, 1);
        if (result > 0)
            return;
        int error = SSL_get_error(FSsl, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            FailHandshake(error);
        // Silence within the wait: the broker did not refuse.
        const TPollEnd end =
            PollUntil(FTransport->Fd, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline, cancelHandle);
        if (end == TPollEnd::Cancelled)
            FailWait(end);
        if (end == TPollEnd::TimedOut)
            return;
    }
}

int TTlsSession::Read(void* buffer, int count, short& wait)
{
    wait = 0;
    if (count <= 0)
        return 0;
    std::lock_guard<std::mutex> guard(FLock);
    if (FShutdown)
        return 0;
    if (FFailed)
        RaiseFailure("Read");
    ERR_clear_error();
    FTransport->LastError = 0;
    int result = SSL_read(FSsl, buffer, count);
    FReadWanted = false;
    if (result > 0)
        return result;
    switch (int error = SSL_get_error(FSsl, result)) {
    case SSL_ERROR_WANT_READ:
        // Whatever is held now is the start of a record whose rest is still
        // to come from the socket.
        FReadWanted = true;
        wait = POLLIN;
        return 0;
    case SSL_ERROR_WANT_WRITE:
        wait = POLLOUT;
        return 0;
    case SSL_ERROR_ZERO_RETURN:
        FPeerClosed = true;
        return 0;
    default:
        Fail("Read", error);
    }
}

int TTlsSession::FinishPendingWrite(short& wait)
{
    ERR_clear_error();
    FTransport->LastError = 0;
    int result = SSL_write(FSsl, FPendingWrite.data(), static_cast<int>(FPendingWrite.size()));
    if (result > 0)
        return result;
    int error = SSL_get_error(FSsl, result);
    if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
        wait = error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
        return 0;
    }
    Fail("Write", error);
}

int TTlsSession::Write(const void* buffer, int count, short& wait)
{
    wait = 0;
    if (count <= 0)
        return 0;
    std::lock_guard<std::mutex> guard(FLock);
    if (FShutdown)
        throw Exception(SocketErrorMessage("Write", ENOTCONN, SystemErrorText(ENOTCONN)));
    if (FFailed)
        RaiseFailure("Write");
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    if (!FPendingWrite.empty()) {
        int finished = FinishPendingWrite(wait);
        if (finished == 0)
            return 0;
        // The usual case: the caller repeats the bytes it was told did not
        // move yet, and now they have.
        const bool repeated =
            count >= finished && std::memcmp(bytes, FPendingWrite.data(), static_cast<size_t>(finished)) == 0;
        FPendingWrite.clear();
        if (repeated)
            return finished;
        // The caller gave that piece up; it is out now, and these bytes follow it.
    }
    const int piece = std::min(count, MaxRecordBytes);
    ERR_clear_error();
    FTransport->LastError = 0;
    int result = SSL_write(FSsl, bytes, piece);
    if (result > 0)
        return result;
    int error = SSL_get_error(FSsl, result);
    if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
        // Part of the record may be on the wire already; OpenSSL finishes it
        // only from the same plaintext.
        FPendingWrite.assign(bytes, bytes + piece);
        wait = error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
        return 0;
    }
    Fail("Write", error);
}

bool TTlsSession::HasBufferedData()
{
    std::lock_guard<std::mutex> guard(FLock);
    // Bytes read ahead may hold whole records: they count until a read has
    // shown that they end inside one.
    return !FShutdown && (SSL_pending(FSsl) > 0 || (!FReadWanted && SSL_has_pending(FSsl)));
}

void TTlsSession::Shutdown()
{
    std::lock_guard<std::mutex> guard(FLock);
    if (FShutdown)
        return;
    FShutdown = true;
    // After a fatal failure OpenSSL must not send anything more; before the
    // handshake there is nothing to end.
    if (FFailed || !SSL_is_init_finished(FSsl))
        return;
    ERR_clear_error();
    // One try: the alert goes out if the send buffer takes it, and the
    // broker's answer is never awaited.
    SSL_shutdown(FSsl);
    ERR_clear_error();
}
