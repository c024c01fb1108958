#include "comm/LibraryVersions.h"

#include <curl/curl.h>
#include <openssl/crypto.h>

std::string CurlVersionText() {
    const char* text = curl_version();
    return text ? text : "";
}

std::string OpenSslVersionText() {
    const char* text = OpenSSL_version(OPENSSL_VERSION);
    return text ? text : "";
}
