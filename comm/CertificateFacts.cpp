#include "comm/CertificateFacts.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <string_view>

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include "common/TextEscape.h"

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

std::string NameText(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr)
        return "?";
    X509_NAME_print_ex(bio.get(), name, 0,
                       (XN_FLAG_ONELINE & ~XN_FLAG_SPC_EQ & ~ASN1_STRFLGS_ESC_MSB) |
                           ASN1_STRFLGS_UTF8_CONVERT);
    BUF_MEM* memory = nullptr;
    BIO_get_mem_ptr(bio.get(), &memory);
    return memory != nullptr ? EscapeControlChars(std::string_view(memory->data, memory->length))
                             : std::string("?");
}

// The names a certificate is valid for: its DNS and IP entries, or its
// common name where it has none (libcurl then compares that).
std::vector<std::string> HostNamesOf(X509* cert) {
    std::vector<std::string> names;
    auto* entries =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    bool anyHostEntry = false;
    for (int i = 0; entries != nullptr && i < sk_GENERAL_NAME_num(entries); ++i) {
        const GENERAL_NAME* entry = sk_GENERAL_NAME_value(entries, i);
        if (entry->type == GEN_DNS) {
            anyHostEntry = true;
            const ASN1_IA5STRING* dns = entry->d.dNSName;
            names.push_back(EscapeControlChars(
                std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                                 static_cast<std::size_t>(ASN1_STRING_length(dns)))));
        } else if (entry->type == GEN_IPADD) {
            anyHostEntry = true;
            const ASN1_OCTET_STRING* ip = entry->d.iPAddress;
            const unsigned char* bytes = ASN1_STRING_get0_data(ip);
            char text[64] = "?";
            if (ASN1_STRING_length(ip) == 4)
                std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2],
                              bytes[3]);
            else if (ASN1_STRING_length(ip) == 16)
                inet_ntop(AF_INET6, bytes, text, sizeof text);
            names.push_back(text);
        }
    }
    GENERAL_NAMES_free(entries);
    if (!anyHostEntry) {
        const X509_NAME* subject = X509_get_subject_name(cert);
        const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
        if (at >= 0) {
            const ASN1_STRING* cn = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
            names.push_back(EscapeControlChars(
                std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(cn)),
                                 static_cast<std::size_t>(ASN1_STRING_length(cn)))));
        }
    }
    ERR_clear_error();
    return names;
}

std::string TimeText(const ASN1_TIME* time) {
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1)
        return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

CertificateFacts FactsOf(X509* cert) {
    CertificateFacts facts;
    facts.Subject = NameText(X509_get_subject_name(cert));
    facts.Issuer = NameText(X509_get_issuer_name(cert));
    facts.NotBefore = TimeText(X509_get0_notBefore(cert));
    facts.NotAfter = TimeText(X509_get0_notAfter(cert));
    facts.HostNames = HostNamesOf(cert);
    facts.Expired = X509_cmp_current_time(X509_get0_notAfter(cert)) < 0;
    facts.NotYetValid = X509_cmp_current_time(X509_get0_notBefore(cert)) > 0;
    return facts;
}

uint32_t U24(const uint8_t* p) {
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

} // namespace

std::vector<CertificateFacts> CertificatesOfHandshake(const uint8_t* data, std::size_t size) {
    std::vector<CertificateFacts> chain;
    if (size < 4 || data[0] != 11 || 4 + std::size_t{U24(data + 1)} > size)
        return chain;
    const uint8_t* body = data + 4;
    const std::size_t length = U24(data + 1);

    const auto parseList = [&](std::size_t listAt, bool withExtensions) {
        std::size_t at = listAt + 3;
        const std::size_t end = at + U24(body + listAt);
        while (at + 3 <= end) {
            const std::size_t certLength = U24(body + at);
            at += 3;
            if (at + certLength > end)
                return;
            const unsigned char* der = body + at;
            X509Ptr cert(d2i_X509(nullptr, &der, static_cast<long>(certLength)));
            ERR_clear_error();
            if (!cert)
                return;
            chain.push_back(FactsOf(cert.get()));
            at += certLength;
            if (withExtensions) {
                if (at + 2 > end)
                    return;
                at += 2 + ((std::size_t{body[at]} << 8) | body[at + 1]);
            }
        }
    };
    if (length >= 4) {
        const std::size_t context = body[0];
        if (1 + context + 3 <= length && 1 + context + 3 + U24(body + 1 + context) == length) {
            parseList(1 + context, true);
            return chain;
        }
    }
    if (length >= 3 && 3 + std::size_t{U24(body)} == length)
        parseList(0, false);
    return chain;
}

// The certificates of a CA file as libcurl would read it: PEM (one or more)
// or, after the wrapper's conversion, a single DER certificate.
std::vector<CertificateFacts> CertificatesOfFile(const std::string& path) {
    std::vector<CertificateFacts> certificates;
    BioPtr file(BIO_new_file(path.c_str(), "rb"));
    if (!file) {
        ERR_clear_error();
        return certificates;
    }
    while (X509Ptr cert{PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr)})
        certificates.push_back(FactsOf(cert.get()));
    ERR_clear_error();
    if (certificates.empty() && BIO_reset(file.get()) == 0) {
        if (X509Ptr cert{d2i_X509_bio(file.get(), nullptr)})
            certificates.push_back(FactsOf(cert.get()));
        ERR_clear_error();
    }
    return certificates;
}

std::vector<CertificateFacts> CertificatesOfPem(const std::string& pem) {
    std::vector<CertificateFacts> certificates;
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    while (bio) {
        X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!cert)
            break;
        certificates.push_back(FactsOf(cert.get()));
    }
    ERR_clear_error();
    return certificates;
}
