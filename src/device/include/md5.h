// MD5 (RFC 1321) and the digests of device ranges that prove every write.
#pragma once

#include <cstdint>

using UINT4 = uint32_t;

struct MD5_CTX {
  UINT4 i[2];            // message length in bits, low word first
  UINT4 buf[4];          // chaining state
  unsigned char in[64];  // pending input block
  unsigned char digest[16];
};

void MD5Init(MD5_CTX* ctx);
void MD5Update(MD5_CTX* ctx, const unsigned char* input, unsigned int len);
void MD5Final(unsigned char hash[16], MD5_CTX* ctx);

// Digest of checklen bytes from offset (fewer when the file ends first): 0 or -1.
[[nodiscard]] int MD5DevPart(const char* filename, long offset, long checklen,
                             unsigned char hash[16]);
// Adds checklen bytes from offset (fewer when the file ends or a read fails first) to an
// open digest: a proof that already holds the bytes before offset goes on from there.
// 0, or -1 when the file cannot be opened.
[[nodiscard]] int MD5DevContinue(const char* filename, long offset, long checklen, MD5_CTX* ctx);
// Digest of the whole file or device less its last `garbage` bytes: 0, -1 or -2.
[[nodiscard]] int MD5Dev(const char* filename, unsigned char hash[16], int32_t garbage);
