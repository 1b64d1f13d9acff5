#include "history/Sha256.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define EVENOR_SHA_NI 1
#endif

#include "base/EvenorError.h"

namespace evenor {

namespace {

constexpr std::array<std::uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

using State = std::array<std::uint32_t, 8>;

// The compression function over whole 64-byte blocks, in plain C++.
void CompressPortable(State& state, const unsigned char* p, std::size_t blocks)
{
    for (; blocks > 0; --blocks, p += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (std::uint32_t{p[4 * i]} << 24) | (std::uint32_t{p[4 * i + 1]} << 16) |
                   (std::uint32_t{p[4 * i + 2]} << 8) | std::uint32_t{p[4 * i + 3]};
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        State v = state;
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t s1 = Rotr(v[4], 6) ^ Rotr(v[4], 11) ^ Rotr(v[4], 25);
            const std::uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
            const std::uint32_t t1 = v[7] + s1 + ch + kRound[i] + w[i];
            const std::uint32_t s0 = Rotr(v[0], 2) ^ Rotr(v[0], 13) ^ Rotr(v[0], 22);
            const std::uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            v = {t1 + s0 + maj, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
        }
        for (int i = 0; i < 8; ++i) state[i] += v[i];
    }
}

#ifdef EVENOR_SHA_NI
// The same with the processor's SHA extensions (x86 SHA-NI): four rounds per
// pair of sha256rnds2, the message schedule by sha256msg1/msg2. The state
// is kept as ABEF and CDGH, as the instructions want it.
__attribute__((target("sha,sse4.1"))) void CompressShaNi(State& state, const unsigned char* p, std::size_t blocks)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; blocks > 0; --blocks, p += 64) {
        const __m128i abefBefore = abef, cdghBefore = cdgh;
        __m128i w[16];
        for (int i = 0; i < 16; ++i) {
            if (i < 4)
                w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), byteSwap);
            else
                w[i] = _mm_sha256msg2_epu32(
                    _mm_add_epi32(_mm_sha256msg1_epu32(w[i - 4], w[i - 3]), _mm_alignr_epi8(w[i - 1], w[i - 2], 4)),
                    w[i - 1]);
            __m128i message =
                _mm_add_epi32(w[i], _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[std::size_t(4 * i)])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), hgfe);
}

bool HasShaNi()
{
    static const bool has = __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
    return has;
}
#endif

class Sha256 {
public:
    explicit Sha256(Sha256Engine engine)
    {
#ifdef EVENOR_SHA_NI
        if (engine == Sha256Engine::Best && HasShaNi()) compress_ = CompressShaNi;
#endif
        (void)engine;
    }

    void Update(const unsigned char* data, std::size_t size)
    {
        length_ += size;
        if (used_ > 0) {
            const std::size_t take = std::min(size, 64 - used_);
            std::memcpy(block_ + used_, data, take);
            used_ += take;
            data += take;
            size -= take;
            if (used_ < 64) return;
            compress_(state_, block_, 1);
            used_ = 0;
        }
        compress_(state_, data, size / 64);
        data += size / 64 * 64;
        size %= 64;
        std::memcpy(block_, data, size);
        used_ = size;
    }

    std::string Hex()
    {
        const std::uint64_t bits = length_ * 8;
        const unsigned char one = 0x80, zero = 0;
        Update(&one, 1);
        while (used_ != 56) Update(&zero, 1);
        unsigned char tail[8];
        for (int i = 0; i < 8; ++i) tail[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        Update(tail, 8);
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string text;
        for (const std::uint32_t word : state_)
            for (int shift = 28; shift >= 0; shift -= 4) text += kDigits[(word >> shift) & 0xf];
        return text;
    }

private:
    void (*compress_)(State&, const unsigned char*, std::size_t) = CompressPortable;
    std::array<std::uint32_t, 8> state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char block_[64] = {};
    std::size_t used_ = 0;
    std::uint64_t length_ = 0;
};

}  // namespace

std::string Sha256Hex(std::string_view bytes, Sha256Engine engine)
{
    Sha256 hash(engine);
    hash.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return hash.Hex();
}

std::string Sha256OfFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EvenorError(path + ": cannot be read for its checksum");
    Sha256 hash(Sha256Engine::Best);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        hash.Update(reinterpret_cast<const unsigned char*>(buffer.data()), static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) throw EvenorError(path + ": read error while computing its checksum");
    return hash.Hex();
}

}  // namespace evenor
