#pragma once

#include <functional>
#include <string>
#include <thread>

typedef struct ssl_st SSL;

// A TLS server for one connection on 127.0.0.1 (ephemeral port): a thread
// accepts, makes the handshake with OpenSSL's blocking I/O, runs the case's
// script (an echo by default) and ends the connection as the options say.
// The thread has SIGPIPE blocked, so writing to a connection the client
// closed fails the write and does not end the test program.
class TTlsTestServer {
public:
    enum class TEnding { CloseNotify, TcpClose, Reset };
    struct TOptions {
        std::string CertFile, KeyFile;   // the server's certificate and key (PEM)
        std::string ClientCaFile;        // set: a client certificate signed by its CA is required
        int MaxVersion = 0;              // TLS1_2_VERSION, ...; 0: the newest OpenSSL speaks
        int BufferSize = 0;              // SO_SNDBUF and SO_RCVBUF (0: the system's)
        bool Tickets = true;             // TLS 1.3 session tickets after the handshake
        TEnding Ending = TEnding::CloseNotify;
    };
    using TScript = std::function<void(SSL* ssl, int fd)>;

    // Echoes what the client sends until the client ends its side.
    static void Echo(SSL* ssl, int fd);

    explicit TTlsTestServer(const TOptions& options, TScript script = Echo);
    ~TTlsTestServer();   // waits for the thread (a client that never comes: 10 s)
    TTlsTestServer(const TTlsTestServer&) = delete;
    TTlsTestServer& operator=(const TTlsTestServer&) = delete;

    int Port() const { return FPort; }
    void Join();

    // Read after Join().
    std::string HandshakeError;   // OpenSSL's reason when the handshake failed
    std::string ServerName;       // SNI the client sent
    std::string ClientName;       // common name of the client's certificate

private:
    void Run();

    TOptions FOptions;
    TScript FScript;
    int FListener = -1;
    int FPort = 0;
    std::thread FThread;
};
