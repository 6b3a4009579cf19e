#include "line_endings.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <array>
#include <cstring>

namespace brightloom {
namespace {

// Every kernel reads [in, end) and writes the normalised bytes from `out`,
// which never runs ahead of `in`, so rewriting in place is safe. Every CR
// becomes an LF, except that a CR followed by an LF inside the range is left
// out (the LF stands for the pair); a CR ending the range is the caller's.

// The portable kernel: line feeds are counted in one sweep, then memchr finds
// each CR and the runs between them are moved down as a whole. Source text
// without CRs costs the count and one memchr.
// Kept out of line: the wide kernels call it once per block for their tail,
// and clang 14 fails to compile baseline code inlined into an AVX-512 body.
__attribute__((noinline))
char* normalise_portable(const char* in, const char* end, char* out, std::uint64_t& line_feeds) {
    line_feeds += count_line_feeds(in, static_cast<std::size_t>(end - in));
    for (;;) {
        const auto* cr = static_cast<const char*>(std::memchr(in, '\r', static_cast<std::size_t>(end - in)));
        const std::size_t run = static_cast<std::size_t>((cr != nullptr ? cr : end) - in);
        if (out != in) std::memmove(out, in, run);
        out += run;
        if (cr == nullptr) return out;
        in = cr + 1;
        if (in == end || *in != '\n') *out++ = '\n';
    }
}

#if defined(__x86_64__)

// For each 8-bit mask of bytes to drop, the shuffle that packs the kept bytes
// of an 8-byte group to its front (0x80 clears the unused lanes).
constexpr std::array<std::array<unsigned char, 8>, 256> make_pack_table() {
    std::array<std::array<unsigned char, 8>, 256> table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned kept = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if ((mask & (1u << bit)) == 0) table[mask][kept++] = static_cast<unsigned char>(bit);
        }
        while (kept < 8) table[mask][kept++] = 0x80;
    }
    return table;
}
constexpr auto PACK_TABLE = make_pack_table();

// One bit per byte of a 64-byte step: the top bits of `low`, then of `high`.
__attribute__((target("avx2"))) inline std::uint64_t mask_of(__m256i low, __m256i high) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(low))) |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(high))) << 32;
}

// 64 bytes per step: one bit per byte for LF and for CR. A step without CRs
// only counts (and moves the bytes down once a pair has been dropped). With
// CRs, all of them become LFs in the register; if some are the CR of a pair,
// the step is written 8 bytes at a time, each group packed by a shuffle from
// the table. Each 8-byte store ends at or before the end of the step, so it
// never overwrites input that has not been loaded yet.
__attribute__((target("avx2,popcnt")))
char* normalise_avx2(const char* in, const char* end, char* out, std::uint64_t& line_feeds) {
    const __m256i line_feed = _mm256_set1_epi8('\n');
    const __m256i carriage_return = _mm256_set1_epi8('\r');
    const __m256i cr_to_lf = _mm256_set1_epi8('\r' - '\n');
    std::uint64_t count = 0;  // kept in a register, not in the caller's memory
    while (end - in >= 64) {
        __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
        __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32));
        const std::uint64_t lf_bits =
            mask_of(_mm256_cmpeq_epi8(low, line_feed), _mm256_cmpeq_epi8(high, line_feed));
        const __m256i low_cr = _mm256_cmpeq_epi8(low, carriage_return);
        const __m256i high_cr = _mm256_cmpeq_epi8(high, carriage_return);
        const std::uint64_t cr_bits = mask_of(low_cr, high_cr);
        count += static_cast<std::uint64_t>(_mm_popcnt_u64(lf_bits));
        if (cr_bits == 0) {
            if (out != in) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), low);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), high);
            }
            in += 64;
            out += 64;
            continue;
        }
        low = _mm256_sub_epi8(low, _mm256_and_si256(low_cr, cr_to_lf));
        high = _mm256_sub_epi8(high, _mm256_and_si256(high_cr, cr_to_lf));
        const std::uint64_t next_is_lf = end - in > 64 && in[64] == '\n' ? 1 : 0;
        const std::uint64_t drop = cr_bits & ((lf_bits >> 1) | (next_is_lf << 63));
        if (drop == 0) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), low);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), high);
            out += 64;
        } else {
            alignas(32) unsigned char step[64];
            _mm256_store_si256(reinterpret_cast<__m256i*>(step), low);
            _mm256_store_si256(reinterpret_cast<__m256i*>(step + 32), high);
            for (int group = 0; group < 8; ++group) {
                const unsigned mask = static_cast<unsigned>(drop >> (8 * group)) & 0xFF;
                const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(step + 8 * group));
                const __m128i shuffle = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(PACK_TABLE[mask].data()));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(bytes, shuffle));
                out += 8 - _mm_popcnt_u32(mask);
            }
        }
        in += 64;
    }
    line_feeds += count;
    return normalise_portable(in, end, out, line_feeds);
}

// The same step with AVX-512: the masks are mask registers, and one compress
// packs the kept bytes of all 64, so a step has no branch that depends on
// where the CRs are (mixed text made those mispredict). The 64-byte store
// ends at or before the end of the step, as above.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,popcnt")))
char* normalise_avx512(const char* in, const char* end, char* out, std::uint64_t& line_feeds) {
    const __m512i line_feed = _mm512_set1_epi8('\n');
    const __m512i carriage_return = _mm512_set1_epi8('\r');
    const __m512i cr_to_lf = _mm512_set1_epi8('\r' - '\n');
    std::uint64_t count = 0;
    while (end - in >= 64) {
        __m512i bytes = _mm512_loadu_si512(in);
        const std::uint64_t lf_bits = _mm512_cmpeq_epi8_mask(bytes, line_feed);
        const std::uint64_t cr_bits = _mm512_cmpeq_epi8_mask(bytes, carriage_return);
        count += static_cast<std::uint64_t>(_mm_popcnt_u64(lf_bits));
        // Text without CRs, before any pair was dropped, needs no store.
        if ((cr_bits | static_cast<std::uint64_t>(out != in)) == 0) {
            in += 64;
            out += 64;
            continue;
        }
        const std::uint64_t next_is_lf = end - in > 64 && in[64] == '\n' ? 1 : 0;
        const std::uint64_t drop = cr_bits & ((lf_bits >> 1) | (next_is_lf << 63));
        bytes = _mm512_mask_sub_epi8(bytes, cr_bits, bytes, cr_to_lf);
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(~drop, bytes));
        out += 64 - _mm_popcnt_u64(drop);
        in += 64;
    }
    line_feeds += count;
    return normalise_portable(in, end, out, line_feeds);
}

#endif

}  // namespace

LineEndings::LineEndings(LineEndingKernel kernel) : kernel_(normalise_portable) {
#if defined(__x86_64__)
    if (kernel == LineEndingKernel::portable || !__builtin_cpu_supports("popcnt")) return;
    if (kernel == LineEndingKernel::fastest && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi2")) {
        kernel_ = normalise_avx512;
    } else if (__builtin_cpu_supports("avx2")) {
        kernel_ = normalise_avx2;
    }
#else
    static_cast<void>(kernel);
#endif
}

std::size_t LineEndings::normalise(char* data, std::size_t size) {
    if (size == 0) return 0;
    const bool ends_with_cr = data[size - 1] == '\r';
    const char* in = data;
    // The LF of a pair whose CR ended the previous block: the CR already
    // became an LF there.
    if (after_cr_ && *in == '\n') {
        ++line_feeds_;
        ++in;
    }
    after_cr_ = ends_with_cr;
    return static_cast<std::size_t>(kernel_(in, data + size, data, line_feeds_) - data);
}

// Counts 16 bytes at a time: each comparison adds one to a byte lane per
// match, and the lanes are summed before they can overflow (255 steps).
// Baseline SSE2 only: no popcount instruction is assumed.
std::uint64_t count_line_feeds(const char* data, std::size_t size) {
    std::uint64_t count = 0;
#if defined(__SSE2__)
    const __m128i line_feed = _mm_set1_epi8('\n');
    while (size >= 16) {
        __m128i lanes = _mm_setzero_si128();
        for (int step = 0; step < 255 && size >= 16; ++step, data += 16, size -= 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(bytes, line_feed));
        }
        const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        count += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
                 static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    for (; size > 0; ++data, --size) count += *data == '\n';
    return count;
}

}  // namespace brightloom
