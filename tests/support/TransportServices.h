#pragma once

#include <string>
#include <sys/types.h>

// Servers the transport tests start on free 127.0.0.1 ports and stop in their
// destructors: brokers with WebSocket listeners from npm, and proxies from
// Debian. Each Start() returns false with Error() saying why; a test skips
// with that reason when the program or package cannot be had.

// Brokers of tests/support/wsbroker: Aedes (TCP, ws, and wss with a
// certificate; MQTT 3.1 and 3.1.1), or a ws relay in front of another
// broker's TCP port (mosquitto: MQTT 5.0 over WebSocket). WebSocket is served
// on /mqtt.
class TNodeBroker {
public:
    TNodeBroker() = default;
    ~TNodeBroker();
    TNodeBroker(const TNodeBroker&) = delete;
    TNodeBroker& operator=(const TNodeBroker&) = delete;

    // Installs the npm packages into the build tree once (also for other test
    // processes at the same time); false with the reason when npm could not.
    static bool Prepare(std::string& why);

    // cert, key: PEM files for the wss listener; empty: none.
    bool StartAedes(const std::string& cert = {}, const std::string& key = {});
    bool StartRelay(int brokerPort, const std::string& cert = {}, const std::string& key = {});
    int TcpPort() const { return FPorts[0]; }
    int WsPort() const { return FPorts[1]; }
    int WssPort() const { return FPorts[2]; }
    const std::string& Error() const { return FError; }

private:
    bool Start(const std::string& mode, const std::string& cert, const std::string& key);

    pid_t FPid = -1;
    int FPorts[3] = {};
    std::string FLog;
    std::string FError;
};

// A private RabbitMQ node (scripts/brokers/rabbitmq.sh) with its web MQTT
// plugin: MQTT 3.1 and 3.1.1 over ws on the path /ws, QoS 1 at most. Starting
// takes about 20 s.
class TRabbitMqBroker {
public:
    TRabbitMqBroker() = default;
    ~TRabbitMqBroker();
    TRabbitMqBroker(const TRabbitMqBroker&) = delete;
    TRabbitMqBroker& operator=(const TRabbitMqBroker&) = delete;

    bool Start();
    int WsPort() const { return FWsPort; }
    const std::string& Error() const { return FError; }

private:
    std::string FDirectory;
    int FWsPort = 0;
    std::string FError;
};

// tinyproxy (HTTP CONNECT) or danted (SOCKS5), with a user alice whose
// password is "s3cret" when withUser.
class TProxyServer {
public:
    enum class TKind { Http, Socks5 };
    static constexpr const char* User = "alice";
    static constexpr const char* Password = "s3cret";

    TProxyServer() = default;
    ~TProxyServer();
    TProxyServer(const TProxyServer&) = delete;
    TProxyServer& operator=(const TProxyServer&) = delete;

    bool Start(TKind kind, bool withUser);
    int Port() const { return FPort; }
    const std::string& Error() const { return FError; }
    std::string Log() const;

private:
    pid_t FPid = -1;
    int FPort = 0;
    std::string FDirectory;
    std::string FError;
};
