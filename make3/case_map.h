// Upper-casing of a chunk, exactly as isalpha/toupper decide in the calling
// thread's locale, without a library call per byte.
//
// Header-only with internal linkage, so the archive exports nothing but
// send_msg and the microbenchmark can measure the very same code.
#ifndef CAPECHO_CASE_MAP_H
#define CAPECHO_CASE_MAP_H

#include <ctype.h>
#include <stddef.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Conversion runs over whole blocks; a buffer sized in blocks needs no tail.
static constexpr size_t case_block = 16;

struct case_map {
  unsigned char upper[256];
  // True when the locale maps exactly a-z to A-Z and leaves every other byte
  // alone (C, POSIX, UTF-8): then the vector path applies.
  bool plain_ascii;
};

static inline int ascii_upper(int c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

// Asks the locale once for each of the 256 byte values.
static inline void build_case_map(case_map& map) {
  map.plain_ascii = true;
  for (int c = 0; c < 256; ++c) {
    const int u = isalpha(c) ? toupper(c) : c;
    map.upper[c] = static_cast<unsigned char>(u);
    if (map.upper[c] != ascii_upper(c)) map.plain_ascii = false;
  }
}

static inline size_t round_up_to_block(size_t n) {
  return (n + case_block - 1) / case_block * case_block;
}

// Upper-cases a-z in place; n must be a multiple of case_block.
static inline void upcase_ascii_blocks(unsigned char* p, size_t n) {
#if defined(__SSE2__)
  // Shifting by 0x80 - 'a' moves 'a'..'z' to the 26 smallest signed bytes,
  // so one signed compare finds the lower-case letters.
  const __m128i shift = _mm_set1_epi8(static_cast<char>(0x80 - 'a'));
  const __m128i bound = _mm_set1_epi8(static_cast<char>(-128 + 26));
  const __m128i case_bit = _mm_set1_epi8(0x20);
  for (size_t i = 0; i < n; i += case_block) {
    auto* block = reinterpret_cast<__m128i*>(p + i);
    const __m128i v = _mm_loadu_si128(block);
    const __m128i lower = _mm_cmplt_epi8(_mm_add_epi8(v, shift), bound);
    _mm_storeu_si128(block, _mm_sub_epi8(v, _mm_and_si128(lower, case_bit)));
  }
#else
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(ascii_upper(p[i]));
#endif
}

static inline void upcase_mapped(const case_map& map, unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) p[i] = map.upper[p[i]];
}

// Upper-cases the first n bytes of buf in place. buf must hold n rounded up
// to a whole block; the bytes past n may change and are not part of the chunk.
static inline void upcase(const case_map& map, unsigned char* buf, size_t n) {
  if (map.plain_ascii) {
    upcase_ascii_blocks(buf, round_up_to_block(n));
  } else {
    upcase_mapped(map, buf, n);
  }
}

#endif  // CAPECHO_CASE_MAP_H
