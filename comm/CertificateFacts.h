#pragma once
// What the diagnosis says about a certificate, read with OpenSSL from the
// bytes the server sent or from the configured root CA file.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CertificateFacts {
    std::string Subject; // one line, control characters escaped
    std::string Issuer;
    std::string NotBefore; // "2026-01-31 12:00:00 UTC"
    std::string NotAfter;
    // Its DNS and IP entries, or its common name where it has none (libcurl
    // then compares that).
    std::vector<std::string> HostNames;
    bool Expired = false;
    bool NotYetValid = false;
};

// The certificates of a TLS Certificate handshake message (type 11, TLS 1.2
// or 1.3 form) as OpenSSL's message callback hands it to libcurl's debug
// function, leaf first. Empty when the bytes are no such message.
std::vector<CertificateFacts> CertificatesOfHandshake(const uint8_t* data, std::size_t size);

// The certificates of PEM text (one or more).
std::vector<CertificateFacts> CertificatesOfPem(const std::string& pem);

// The certificates of a CA file as libcurl would read it: PEM (one or more)
// or a single DER certificate. Empty when it cannot be read.
std::vector<CertificateFacts> CertificatesOfFile(const std::string& path);
