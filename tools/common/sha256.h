// SHA-256 digests, for the image a user compares with its publisher's and the files a
// simulated device stores; OpenSSL does the work.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

class Sha256 {
 public:
  Sha256() : context_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
    ok_ = context_ && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1;
  }
  void Add(const void* data, std::size_t size) {
    ok_ = ok_ && EVP_DigestUpdate(context_.get(), data, size) == 1;
  }
  // The digest as 64 lower-case hexadecimal digits; empty when the library failed. The
  // object is spent afterwards.
  std::string Hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!ok_ || EVP_DigestFinal_ex(context_.get(), digest, &size) != 1) return "";
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < size; ++i) {
      std::snprintf(pair, sizeof pair, "%02x", digest[i]);
      hex += pair;
    }
    return hex;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context_;
  bool ok_ = false;
};
