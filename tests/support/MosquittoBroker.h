#pragma once

#include <string>
#include <sys/types.h>

#include <gtest/gtest.h>

// A real mosquitto broker for integration tests: listens on 127.0.0.1 on a
// free port with a temporary configuration (anonymous access, no
// persistence, log in a temporary file) and is stopped (SIGTERM, reaped) by
// the destructor, which also removes its folder. Neither outlives the test
// process: the broker dies with the thread that started it (start it from the
// test's own thread), also on a crash, and the folders of a run that did not
// end cleanly are removed by the next run.
class MosquittoBroker {
public:
    static constexpr const char* BinaryPath = "/usr/sbin/mosquitto";
    static bool Available();   // the binary exists and is executable

    MosquittoBroker() = default;
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // A line of the listener's configuration (e.g. "certfile /tmp/x.pem"),
    // written after its "listener" line; set before Start().
    void AddListenerOption(const std::string& line) { FListenerOptions += line + "\n"; }
    // The listener speaks TLS only, with this certificate and key (PEM);
    // caFile: the CA that client certificates must come from, and with
    // requireCertificate the broker refuses a client without one.
    void UseTls(const std::string& caFile, const std::string& certFile, const std::string& keyFile,
                bool requireCertificate = false)
    {
        AddListenerOption("cafile " + caFile);
        AddListenerOption("certfile " + certFile);
        AddListenerOption("keyfile " + keyFile);
        if (requireCertificate)
            AddListenerOption("require_certificate true");
    }
    // A line of the broker's general configuration (e.g. "acl_file /tmp/acl"),
    // written before the listener; set before Start().
    void AddOption(const std::string& line) { FOptions += line + "\n"; }

    // Starts the broker and waits until its port accepts connections (at most
    // timeoutMs). false with Error() telling why.
    bool Start(int timeoutMs = 10000);
    void Stop();
    bool Running() const { return FPid > 0; }

    int Port() const { return FPort; }
    std::string Host() const { return "127.0.0.1"; }
    const std::string& Error() const { return FError; }
    // What the broker logged so far (useful in failure messages).
    std::string Log() const;

private:
    pid_t FPid = -1;
    int FPort = 0;
    std::string FDirectory;
    std::string FError;
    std::string FListenerOptions;
    std::string FOptions;
};

// Fixture: starts a broker before each test; skips the test when the
// mosquitto binary is missing and fails it when the broker does not start.
class MosquittoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!MosquittoBroker::Available())
            GTEST_SKIP() << "mosquitto not installed at " << MosquittoBroker::BinaryPath
                         << " (Debian package mosquitto)";
        ASSERT_TRUE(Broker.Start()) << Broker.Error();
    }

    MosquittoBroker Broker;
};
