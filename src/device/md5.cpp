// MD5 message digest (RFC 1321). Every burnt image is proven by it, so the block loop is
// written to keep up with the system's md5sum: the 64 steps are unrolled, the round
// functions are arranged for the shortest dependency chain, and words are loaded with
// memcpy (no per-byte assembly of words, no copy of the caller's input).
#include "md5.h"

#include <cstring>

#include "le_bytes.h"

namespace {

const unsigned char PADDING[64] = {0x80};

// One step per round function. x + t is added first, off the critical path through b;
// each function then needs at most two operations on b (G is split into two disjoint
// halves so that ~d & c does not wait for b).
template <int S>
[[gnu::always_inline]] inline void ff(UINT4& a, UINT4 b, UINT4 c, UINT4 d, UINT4 x, UINT4 t) {
  a += x + t;
  a += d ^ (b & (c ^ d));
  a = b + std::rotl(a, S);
}

template <int S>
[[gnu::always_inline]] inline void gg(UINT4& a, UINT4 b, UINT4 c, UINT4 d, UINT4 x, UINT4 t) {
  a += x + t;
  a += ~d & c;
  a += d & b;
  a = b + std::rotl(a, S);
}

template <int S>
[[gnu::always_inline]] inline void hh(UINT4& a, UINT4 b, UINT4 c, UINT4 d, UINT4 x, UINT4 t) {
  a += x + t;
  a += b ^ (c ^ d);
  a = b + std::rotl(a, S);
}

template <int S>
[[gnu::always_inline]] inline void ii(UINT4& a, UINT4 b, UINT4 c, UINT4 d, UINT4 x, UINT4 t) {
  a += x + t;
  a += c ^ (b | ~d);
  a = b + std::rotl(a, S);
}

// Hashes `blocks` consecutive 64-byte blocks into the chaining state.
void Transform(UINT4 buf[4], const unsigned char* data, size_t blocks) {
  UINT4 a = buf[0];
  UINT4 b = buf[1];
  UINT4 c = buf[2];
  UINT4 d = buf[3];
  for (; blocks > 0; --blocks, data += 64) {
    UINT4 x[16];
    for (int k = 0; k < 16; ++k) {
      x[k] = ota::load_le32(data + 4 * k);
    }
    const UINT4 aa = a;
    const UINT4 bb = b;
    const UINT4 cc = c;
    const UINT4 dd = d;

    ff<7>(a, b, c, d, x[0], 0xd76aa478);
    ff<12>(d, a, b, c, x[1], 0xe8c7b756);
    ff<17>(c, d, a, b, x[2], 0x242070db);
    ff<22>(b, c, d, a, x[3], 0xc1bdceee);
    ff<7>(a, b, c, d, x[4], 0xf57c0faf);
    ff<12>(d, a, b, c, x[5], 0x4787c62a);
    ff<17>(c, d, a, b, x[6], 0xa8304613);
    ff<22>(b, c, d, a, x[7], 0xfd469501);
    ff<7>(a, b, c, d, x[8], 0x698098d8);
    ff<12>(d, a, b, c, x[9], 0x8b44f7af);
    ff<17>(c, d, a, b, x[10], 0xffff5bb1);
    ff<22>(b, c, d, a, x[11], 0x895cd7be);
    ff<7>(a, b, c, d, x[12], 0x6b901122);
    ff<12>(d, a, b, c, x[13], 0xfd987193);
    ff<17>(c, d, a, b, x[14], 0xa679438e);
    ff<22>(b, c, d, a, x[15], 0x49b40821);

    gg<5>(a, b, c, d, x[1], 0xf61e2562);
    gg<9>(d, a, b, c, x[6], 0xc040b340);
    gg<14>(c, d, a, b, x[11], 0x265e5a51);
    gg<20>(b, c, d, a, x[0], 0xe9b6c7aa);
    gg<5>(a, b, c, d, x[5], 0xd62f105d);
    gg<9>(d, a, b, c, x[10], 0x02441453);
    gg<14>(c, d, a, b, x[15], 0xd8a1e681);
    gg<20>(b, c, d, a, x[4], 0xe7d3fbc8);
    gg<5>(a, b, c, d, x[9], 0x21e1cde6);
    gg<9>(d, a, b, c, x[14], 0xc33707d6);
    gg<14>(c, d, a, b, x[3], 0xf4d50d87);
    gg<20>(b, c, d, a, x[8], 0x455a14ed);
    gg<5>(a, b, c, d, x[13], 0xa9e3e905);
    gg<9>(d, a, b, c, x[2], 0xfcefa3f8);
    gg<14>(c, d, a, b, x[7], 0x676f02d9);
    gg<20>(b, c, d, a, x[12], 0x8d2a4c8a);

    hh<4>(a, b, c, d, x[5], 0xfffa3942);
    hh<11>(d, a, b, c, x[8], 0x8771f681);
    hh<16>(c, d, a, b, x[11], 0x6d9d6122);
    hh<23>(b, c, d, a, x[14], 0xfde5380c);
    hh<4>(a, b, c, d, x[1], 0xa4beea44);
    hh<11>(d, a, b, c, x[4], 0x4bdecfa9);
    hh<16>(c, d, a, b, x[7], 0xf6bb4b60);
    hh<23>(b, c, d, a, x[10], 0xbebfbc70);
    hh<4>(a, b, c, d, x[13], 0x289b7ec6);
    hh<11>(d, a, b, c, x[0], 0xeaa127fa);
    hh<16>(c, d, a, b, x[3], 0xd4ef3085);
    hh<23>(b, c, d, a, x[6], 0x04881d05);
    hh<4>(a, b, c, d, x[9], 0xd9d4d039);
    hh<11>(d, a, b, c, x[12], 0xe6db99e5);
    hh<16>(c, d, a, b, x[15], 0x1fa27cf8);
    hh<23>(b, c, d, a, x[2], 0xc4ac5665);

    ii<6>(a, b, c, d, x[0], 0xf4292244);
    ii<10>(d, a, b, c, x[7], 0x432aff97);
    ii<15>(c, d, a, b, x[14], 0xab9423a7);
    ii<21>(b, c, d, a, x[5], 0xfc93a039);
    ii<6>(a, b, c, d, x[12], 0x655b59c3);
    ii<10>(d, a, b, c, x[3], 0x8f0ccc92);
    ii<15>(c, d, a, b, x[10], 0xffeff47d);
    ii<21>(b, c, d, a, x[1], 0x85845dd1);
    ii<6>(a, b, c, d, x[8], 0x6fa87e4f);
    ii<10>(d, a, b, c, x[15], 0xfe2ce6e0);
    ii<15>(c, d, a, b, x[6], 0xa3014314);
    ii<21>(b, c, d, a, x[13], 0x4e0811a1);
    ii<6>(a, b, c, d, x[4], 0xf7537e82);
    ii<10>(d, a, b, c, x[11], 0xbd3af235);
    ii<15>(c, d, a, b, x[2], 0x2ad7d2bb);
    ii<21>(b, c, d, a, x[9], 0xeb86d391);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  buf[0] = a;
  buf[1] = b;
  buf[2] = c;
  buf[3] = d;
}

}  // namespace

void MD5Init(MD5_CTX* ctx) {
  ctx->i[0] = 0;
  ctx->i[1] = 0;
  ctx->buf[0] = 0x67452301;
  ctx->buf[1] = 0xefcdab89;
  ctx->buf[2] = 0x98badcfe;
  ctx->buf[3] = 0x10325476;
}

void MD5Update(MD5_CTX* ctx, const unsigned char* input, unsigned int len) {
  // Bytes already waiting in ctx->in, from the bit count.
  size_t pending = (ctx->i[0] >> 3) & 0x3F;
  const UINT4 bits = static_cast<UINT4>(len) << 3;
  ctx->i[0] += bits;
  if (ctx->i[0] < bits) {
    ++ctx->i[1];
  }
  ctx->i[1] += static_cast<UINT4>(len >> 29);

  size_t rest = len;
  if (pending != 0) {
    const size_t take = rest < 64 - pending ? rest : 64 - pending;
    std::memcpy(ctx->in + pending, input, take);
    input += take;
    rest -= take;
    pending += take;
    if (pending < 64) {
      return;
    }
    Transform(ctx->buf, ctx->in, 1);
  }
  const size_t blocks = rest / 64;
  if (blocks != 0) {
    Transform(ctx->buf, input, blocks);
    input += blocks * 64;
    rest -= blocks * 64;
  }
  if (rest != 0) {
    std::memcpy(ctx->in, input, rest);
  }
}

void MD5Final(unsigned char hash[16], MD5_CTX* ctx) {
  // The length is taken before padding changes the count.
  unsigned char length[8];
  ota::store_le32(length, ctx->i[0]);
  ota::store_le32(length + 4, ctx->i[1]);

  const unsigned pending = (ctx->i[0] >> 3) & 0x3F;
  const unsigned pad_len = pending < 56 ? 56 - pending : 120 - pending;
  MD5Update(ctx, PADDING, pad_len);
  MD5Update(ctx, length, 8);

  for (int k = 0; k < 4; ++k) {
    ota::store_le32(ctx->digest + 4 * k, ctx->buf[k]);
  }
  std::memcpy(hash, ctx->digest, 16);
}
