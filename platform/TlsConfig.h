#pragma once

#include <string>

// How a connection to the broker is secured. The defaults keep the clear
// TCP connection; with Enabled the broker is authenticated against the CA
// certificates and, unless turned off, its certificate must name the host
// the connection was made to.
struct TTlsConfig {
    bool Enabled = false;
    // PEM file of the CA certificates to trust; empty: the system's store.
    std::string CaFile;
    // Client certificate (PEM, the chain may follow it) for brokers that
    // authenticate their clients. Empty: none is offered.
    std::string CertFile;
    // The client certificate's private key (PEM, not encrypted); empty: the
    // key is read from CertFile.
    std::string KeyFile;
    // The broker's certificate must carry the host name (a DNS name) or the
    // address (an IP address) that was connected to. Turning it off accepts
    // any certificate the CA signed, for whatever name.
    bool VerifyHostName = true;
};
