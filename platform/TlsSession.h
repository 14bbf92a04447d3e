#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Deadline.h"
#include "platform/TlsContext.h"

typedef struct ssl_st SSL;

// TLS client over a connected, non-blocking TCP descriptor that somebody else
// owns (the descriptor is never closed here). Nothing in it waits except
// Handshake(): Read() and Write() move what they can at once and otherwise
// say which poll() event they wait for, so the caller's poll loop keeps its
// time-outs, its partial writes and its close from any thread.
//
// One SSL object must never be used by two threads at once; every call takes
// the session's own lock for that one step (reads on the reader thread and
// writes on the writing threads then simply take turns). A caller that holds
// its socket lock around each call nests this lock inside it.
//
// Failures raise Exception in the platform's shape:
//   "TLS エラー <code>, <reason> (<host>:<port>)"   the handshake failed;
//       code: the X.509 verification result (20 unknown CA, 10 expired, 62
//       hostname mismatch, ...) with reason "certificate verify failed: ...",
//       OpenSSL's reason code for an alert or protocol failure, or the
//       system error number;
//   "Read エラー <code>, <reason>" / "Write エラー <code>, <reason>"
//       a later read or write failed (system error number and text, or
//       OpenSSL's reason code and words).
// After a failure the session is unusable: every later Read or Write raises
// the same reason again.
//
// The loops that keep the clear connection's rules:
//   read:  try Read first; on 0 poll for `wait` (never for POLLIN alone) until
//          the deadline, then try again. A wait for data answers true at once
//          while HasBufferedData().
//   write: Write; on 0 poll for `wait` until the deadline, then Write the same
//          bytes again; a count below the piece means the rest follows.
//   close: Shutdown(), then shutdown(fd, SHUT_RDWR) to wake the waiters; the
//          session is freed only when nobody can be inside it any more.
class TTlsSession {
public:
    // The most plaintext one record carries, and so one Write.
    static constexpr int kRecordBytes = 16384;

    // host: the name or address the descriptor was connected to; it is sent
    // as SNI (names only) and checked against the broker's certificate
    // (unless the context's config turned that off). port: for messages.
    TTlsSession(const TTlsContext& context, int fd, const std::string& host, int port);
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    // Runs the handshake, waiting with poll() up to timeoutMs in all
    // (negative: no limit) and no longer than until cancelHandle (an eventfd,
    // -1: none) turns readable, and verifies the broker. Raises "TLS エラー ..."
    // on failure, time-out (code ETIMEDOUT) or cancel (ECANCELED). Under TLS 1.3 a broker judges the client's
    // certificate only after the client has finished; when it asked for one,
    // Handshake also waits (at most 1 s, within the time-out) for its first
    // word after the handshake, so that a refusal fails here and not in the
    // first read.
    void Handshake(int timeoutMs, int cancelHandle = -1);

    // Reads at most count decrypted bytes. > 0: bytes read. 0: nothing now;
    // then wait holds the poll() event to wait for before calling again
    // (POLLIN, or POLLOUT when TLS must write first), or wait is 0 and
    // either PeerClosed() is true or the session was shut down.
    int Read(void* buffer, int count, short& wait);
    // Writes at most count bytes (one TLS record, at most 16384). > 0: bytes
    // written, all of them on their way to the kernel. 0: nothing moved; wait
    // holds the event to wait for (POLLOUT) before calling again with the
    // same bytes. A write given up after a 0 is finished by the next Write
    // before anything else goes out: the broker then receives that piece
    // too, since part of its TLS record may already be on the wire.
    // A shut-down session raises "Write エラー 107, ...".
    int Write(const void* buffer, int count, short& wait);

    // Bytes held inside the session that poll() cannot see: decrypted, or
    // read ahead from the socket and not yet known to end inside a record.
    // A reader must call Read() while this is true before it polls the
    // descriptor, or it waits for bytes that have already arrived.
    bool HasBufferedData();
    // The broker ended the TLS stream (close_notify or end of the TCP stream).
    bool PeerClosed() const { return FPeerClosed; }

    // Sends close_notify if the connection can take it now and never waits.
    // Later reads give 0 and later writes raise. The caller then shuts the
    // descriptor down, which wakes every thread waiting on it.
    void Shutdown();

    // A record of a write that returned 0 is still to be finished: the next
    // Write sends it before anything else.
    bool HasPendingWrite();

    // Handshake facts, for tests and reports.
    std::string Version();   // "TLSv1.3", ...
    // Why the session failed (after a raise): the code and OpenSSL's reason
    // of the message, without the "TLS エラー" head and the place.
    int FailureCode();
    std::string FailureText();
    // What kind of failure that was.
    enum class TFailure { None, System, Certificate, Protocol };
    TFailure FailureKind();

    struct TTransport;   // the descriptor and its last system error

private:
    [[noreturn]] void FailHandshake(int sslError);
    [[noreturn]] void Fail(const char* operation, int sslError);
    [[noreturn]] void RaiseFailure(const char* operation) const;
    // What SSL_ERROR_* (not a want) means, with the cause; empties the queue.
    void RecordFailure(int sslError);
    void AwaitVerdict(int timeoutMs, int cancelHandle);
    // A handshake wait that ended without the event: time-out or cancel.
    [[noreturn]] void FailWait(TPollEnd end);
    int FinishPendingWrite(short& wait);

    std::mutex FLock;
    SSL* FSsl = nullptr;
    std::unique_ptr<TTransport> FTransport;
    std::string FWhere;   // host:port
    bool FShutdown = false;
    bool FFailed = false;
    int FFailureCode = 0;
    TFailure FFailureKind = TFailure::None;
    std::string FFailureText;
    bool FCertificateRequested = false;   // set by OpenSSL's certificate callback
    bool FTicketSeen = false;             // set when the broker sends a session ticket
    bool FReadWanted = false;             // the last read waits for the rest of a record
    // The plaintext of a record that could not be sent whole: OpenSSL must be
    // given the same bytes again to finish it.
    std::vector<uint8_t> FPendingWrite;
    std::atomic<bool> FPeerClosed{false};
};
