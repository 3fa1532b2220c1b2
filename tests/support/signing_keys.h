// Ed25519 key pairs for the tests of signed packages, written as PEM files the way
// `openssl genpkey -algorithm ed25519` and `openssl pkey -pubout` write them.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>
#include <string>

namespace ota_test {

inline void write_pem(const std::string& path, EVP_PKEY* key, bool private_key) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "w"), BIO_free);
  ASSERT_TRUE(bio) << path;
  const int ok =
      private_key ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                  : PEM_write_bio_PUBKEY(bio.get(), key);
  ASSERT_EQ(ok, 1) << path;
}

// A fresh key pair: the private key in priv_pem, the public one in pub_pem.
inline void make_key_pair(const std::string& priv_pem, const std::string& pub_pem) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free);
  ASSERT_TRUE(key);
  write_pem(priv_pem, key.get(), true);
  write_pem(pub_pem, key.get(), false);
}

}  // namespace ota_test
