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

// Conversion runs over whole blocks of four vectors; a buffer sized in
// blocks needs no tail loop.
static constexpr size_t case_block = 64;

struct case_map {
  unsigned char upper[256];
  // True when the locale maps exactly a-z to A-Z and leaves every other byte
  // alone (C, POSIX, UTF-8): then the vector path applies.
  bool plain_ascii;
};

static inline int ascii_upper(int c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

// Asks the locale once for each of the 256 byte values. With glibc this
// reads the calling thread's locale tables directly, as the C macros for
// isalpha and toupper do, instead of making two library calls per value.
static inline void build_case_map(case_map& map) {
#if defined(__GLIBC__)
  const unsigned short* classes = *__ctype_b_loc();
  const int* upper = *__ctype_toupper_loc();
  for (int c = 0; c < 256; ++c)
    map.upper[c] = static_cast<unsigned char>((classes[c] & _ISalpha) != 0 ? upper[c] : c);
#else
  for (int c = 0; c < 256; ++c)
    map.upper[c] = static_cast<unsigned char>(isalpha(c) ? toupper(c) : c);
#endif
  unsigned differences = 0;
  for (int c = 0; c < 256; ++c) differences |= map.upper[c] ^ static_cast<unsigned>(ascii_upper(c));
  map.plain_ascii = differences == 0;
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
  auto upcase16 = [&](unsigned char* at) {
    auto* v = reinterpret_cast<__m128i*>(at);
    const __m128i x = _mm_loadu_si128(v);
    const __m128i lower = _mm_cmplt_epi8(_mm_add_epi8(x, shift), bound);
    _mm_storeu_si128(v, _mm_sub_epi8(x, _mm_and_si128(lower, case_bit)));
  };
  for (size_t i = 0; i < n; i += case_block) {
    upcase16(p + i);
    upcase16(p + i + 16);
    upcase16(p + i + 32);
    upcase16(p + i + 48);
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
