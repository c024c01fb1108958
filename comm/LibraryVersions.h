#pragma once
// The libraries under the transfers, as they name themselves at run time:
// what a support case needs to know about the machine's libcurl and OpenSSL.

#include <string>

// curl_version(): libcurl and the libraries it was built with.
std::string CurlVersionText();
// OpenSSL_version(OPENSSL_VERSION) of the libcrypto in use.
std::string OpenSslVersionText();
