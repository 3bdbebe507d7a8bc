// A streaming SipHash-c-d hasher over a continuous byte stream.
//
// Bytes arrive through fixed-width writes and are folded into 8-byte little-endian blocks
// as they come; the only buffered state is the partial block (`tail_`, up to 7 bytes) and
// its length, so hashing never builds a byte buffer.  finish() pads the last block with
// the stream length modulo 256 in its top byte, as the reference algorithm does.
//
// Everything is constexpr so that known answers can be checked at compile time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quill {

template <int CRounds, int DRounds>
class SipHasher {
public:
    constexpr SipHasher() : SipHasher(0, 0) {}
    constexpr SipHasher(std::uint64_t k0, std::uint64_t k1)
        : v0_(k0 ^ 0x736f6d6570736575ull),
          v1_(k1 ^ 0x646f72616e646f6dull),
          v2_(k0 ^ 0x6c7967656e657261ull),
          v3_(k1 ^ 0x7465646279746573ull) {}

    // Appends the 8 little-endian bytes of x.
    constexpr void write_u64_le(std::uint64_t x) {
        if (ntail_ == 0) {
            compress(x);
        } else {
            const unsigned shift = ntail_ * 8;
            compress(tail_ | (x << shift));
            tail_ = x >> (64 - shift);
        }
        len_ += 8;
    }

    // Appends the 4 little-endian bytes of x.
    constexpr void write_u32_le(std::uint32_t x) {
        const std::uint64_t w = x;
        if (ntail_ < 4) {
            tail_ |= w << (ntail_ * 8);
            ntail_ += 4;
        } else {
            const unsigned shift = ntail_ * 8;  // 32..56
            compress(tail_ | (w << shift));
            tail_ = w >> (64 - shift);
            ntail_ -= 4;
        }
        len_ += 4;
    }

    // Appends arbitrary bytes.
    constexpr void write(const std::uint8_t* data, std::size_t n) {
        std::size_t i = 0;
        // Fill up a pending partial block first.
        while (ntail_ != 0 && i < n) push_byte(data[i++]);
        for (; i + 8 <= n; i += 8) {
            std::uint64_t b = 0;
            for (unsigned k = 0; k < 8; ++k) b |= std::uint64_t(data[i + k]) << (8 * k);
            compress(b);
            len_ += 8;
        }
        while (i < n) push_byte(data[i++]);
    }

    constexpr std::uint64_t finish() const {
        SipHasher s = *this;
        const std::uint64_t b = s.tail_ | (std::uint64_t(s.len_ & 0xff) << 56);
        s.v3_ ^= b;
        for (int r = 0; r < CRounds; ++r) s.round();
        s.v0_ ^= b;
        s.v2_ ^= 0xff;
        for (int r = 0; r < DRounds; ++r) s.round();
        return s.v0_ ^ s.v1_ ^ s.v2_ ^ s.v3_;
    }

private:
    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;   // bytes of the unfinished block, low byte first
    unsigned ntail_ = 0;       // how many bytes tail_ holds (0..7)
    std::uint64_t len_ = 0;    // bytes absorbed so far

    static constexpr std::uint64_t rotl(std::uint64_t x, unsigned b) {
        return (x << b) | (x >> (64 - b));
    }
    constexpr void round() {
        v0_ += v1_; v1_ = rotl(v1_, 13); v1_ ^= v0_; v0_ = rotl(v0_, 32);
        v2_ += v3_; v3_ = rotl(v3_, 16); v3_ ^= v2_;
        v0_ += v3_; v3_ = rotl(v3_, 21); v3_ ^= v0_;
        v2_ += v1_; v1_ = rotl(v1_, 17); v1_ ^= v2_; v2_ = rotl(v2_, 32);
    }
    constexpr void compress(std::uint64_t m) {
        v3_ ^= m;
        for (int r = 0; r < CRounds; ++r) round();
        v0_ ^= m;
    }
    constexpr void push_byte(std::uint8_t byte) {
        tail_ |= std::uint64_t(byte) << (ntail_ * 8);
        ++len_;
        if (++ntail_ == 8) {
            compress(tail_);
            tail_ = 0;
            ntail_ = 0;
        }
    }
};

// The hash function of the structural hashes and cut signatures.
using SipHasher13 = SipHasher<1, 3>;
using SipHasher24 = SipHasher<2, 4>;

}  // namespace quill
