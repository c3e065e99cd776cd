/* Reference kernels for the benchmark, compiled by bench/native.py with the system C compiler.
 *
 * read_floor: the physical limit of a single-threaded pass over the matrix: plain wide loads of
 * every byte and an add per load, nothing written, nothing prefetched by hand. Which loop shape
 * one core streams fastest varies (by some 10 % on the machine this was written on), so there
 * are a few and the bench takes the fastest as the floor.
 * gather_floor: the same for a list of rows in a given order (what a pre-filtered pass must read).
 * matvec: a plain matrix-vector product without selection, one row per step or four rows per
 * step (four interleaved row streams), to show what the dot products and the access order cost.
 *
 * The ISA is raised per function and checked at run time, as in the extension itself. */
#include <immintrin.h>
#include <stddef.h>
#include <stdint.h>

typedef float (*ReadFn)(const float*, size_t);
typedef void (*MatvecFn)(const float*, size_t, size_t, const float*, float*);

/* ---- scalar ---- */

static float read_scalar(const float* p, size_t count) {
  float acc[8] = {0};
  size_t i = 0;
  for (; i + 8 <= count; i += 8)
    for (int j = 0; j < 8; ++j) acc[j] += p[i + j];
  for (; i < count; ++i) acc[0] += p[i];
  float s = 0;
  for (int j = 0; j < 8; ++j) s += acc[j];
  return s;
}

static void matvec_scalar(const float* m, size_t n, size_t d, const float* q, float* out) {
  for (size_t r = 0; r < n; ++r) {
    float s = 0;
    for (size_t i = 0; i < d; ++i) s += m[r * d + i] * q[i];
    out[r] = s;
  }
}

/* ---- AVX2 ---- */

__attribute__((target("avx2,fma"))) static float hsum256(__m256 v) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

__attribute__((target("avx2,fma"))) static float read_avx2_x4(const float* p, size_t count) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    a0 = _mm256_add_ps(a0, _mm256_loadu_ps(p + i));
    a1 = _mm256_add_ps(a1, _mm256_loadu_ps(p + i + 8));
    a2 = _mm256_add_ps(a2, _mm256_loadu_ps(p + i + 16));
    a3 = _mm256_add_ps(a3, _mm256_loadu_ps(p + i + 24));
  }
  float s = hsum256(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  for (; i < count; ++i) s += p[i];
  return s;
}

__attribute__((target("avx2,fma"))) static void matvec_avx2_row1(const float* m, size_t n, size_t d,
                                                                  const float* q, float* out) {
  for (size_t r = 0; r < n; ++r) {
    const float* x = m + r * d;
    __m256 a0 = _mm256_setzero_ps(), a1 = a0;
    size_t i = 0;
    for (; i + 16 <= d; i += 16) {
      a0 = _mm256_fmadd_ps(_mm256_loadu_ps(x + i), _mm256_loadu_ps(q + i), a0);
      a1 = _mm256_fmadd_ps(_mm256_loadu_ps(x + i + 8), _mm256_loadu_ps(q + i + 8), a1);
    }
    float s = hsum256(_mm256_add_ps(a0, a1));
    for (; i < d; ++i) s += x[i] * q[i];
    out[r] = s;
  }
}

/* ---- AVX-512 ---- */

__attribute__((target("avx512f"))) static float read_avx512_x4(const float* p, size_t count) {
  __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 64 <= count; i += 64) {
    a0 = _mm512_add_ps(a0, _mm512_loadu_ps(p + i));
    a1 = _mm512_add_ps(a1, _mm512_loadu_ps(p + i + 16));
    a2 = _mm512_add_ps(a2, _mm512_loadu_ps(p + i + 32));
    a3 = _mm512_add_ps(a3, _mm512_loadu_ps(p + i + 48));
  }
  float s = _mm512_reduce_add_ps(_mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)));
  for (; i < count; ++i) s += p[i];
  return s;
}

/* One dependent chain: the loads run at the pace of the adds, a gentler stream. */
__attribute__((target("avx512f"))) static float read_avx512_x1(const float* p, size_t count) {
  __m512 a0 = _mm512_setzero_ps();
  size_t i = 0;
  for (; i + 16 <= count; i += 16) a0 = _mm512_add_ps(a0, _mm512_loadu_ps(p + i));
  float s = _mm512_reduce_add_ps(a0);
  for (; i < count; ++i) s += p[i];
  return s;
}

__attribute__((target("avx512f"))) static void matvec_avx512_row1(const float* m, size_t n, size_t d,
                                                                   const float* q, float* out) {
  for (size_t r = 0; r < n; ++r) {
    const float* x = m + r * d;
    __m512 a0 = _mm512_setzero_ps(), a1 = a0;
    size_t i = 0;
    for (; i + 32 <= d; i += 32) {
      a0 = _mm512_fmadd_ps(_mm512_loadu_ps(x + i), _mm512_loadu_ps(q + i), a0);
      a1 = _mm512_fmadd_ps(_mm512_loadu_ps(x + i + 16), _mm512_loadu_ps(q + i + 16), a1);
    }
    float s = _mm512_reduce_add_ps(_mm512_add_ps(a0, a1));
    for (; i < d; ++i) s += x[i] * q[i];
    out[r] = s;
  }
}

__attribute__((target("avx512f"))) static void matvec_avx512_row4(const float* m, size_t n, size_t d,
                                                                   const float* q, float* out) {
  size_t r = 0;
  for (; r + 4 <= n; r += 4) {
    const float* x = m + r * d;
    __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    size_t i = 0;
    for (; i + 16 <= d; i += 16) {
      __m512 qv = _mm512_loadu_ps(q + i);
      a0 = _mm512_fmadd_ps(_mm512_loadu_ps(x + i), qv, a0);
      a1 = _mm512_fmadd_ps(_mm512_loadu_ps(x + d + i), qv, a1);
      a2 = _mm512_fmadd_ps(_mm512_loadu_ps(x + 2 * d + i), qv, a2);
      a3 = _mm512_fmadd_ps(_mm512_loadu_ps(x + 3 * d + i), qv, a3);
    }
    float s0 = _mm512_reduce_add_ps(a0), s1 = _mm512_reduce_add_ps(a1);
    float s2 = _mm512_reduce_add_ps(a2), s3 = _mm512_reduce_add_ps(a3);
    for (; i < d; ++i) {
      s0 += x[i] * q[i];
      s1 += x[d + i] * q[i];
      s2 += x[2 * d + i] * q[i];
      s3 += x[3 * d + i] * q[i];
    }
    out[r] = s0, out[r + 1] = s1, out[r + 2] = s2, out[r + 3] = s3;
  }
  matvec_scalar(m + r * d, n - r, d, q, out + r);
}

/* ---- what this CPU can run, and the entry points that ctypes calls ---- */

typedef struct { const char* name; ReadFn fn; int level; } ReadVariant;
typedef struct { const char* name; MatvecFn fn; int level; } MatvecVariant;

static const ReadVariant kReads[] = {
    {"avx512f x4", read_avx512_x4, 2}, {"avx512f x1", read_avx512_x1, 2},
    {"avx2 x4", read_avx2_x4, 1}, {"scalar", read_scalar, 0}};
static const MatvecVariant kMatvecs[] = {
    {"avx512f, 1 row per step", matvec_avx512_row1, 2},
    {"avx512f, 4 rows per step", matvec_avx512_row4, 2},
    {"avx2, 1 row per step", matvec_avx2_row1, 1}, {"scalar", matvec_scalar, 0}};

static int isa_level(void) {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return 2;
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return 1;
  return 0;
}

size_t variant_count(int kind) {
  return kind == 0 ? sizeof kReads / sizeof *kReads : sizeof kMatvecs / sizeof *kMatvecs;
}

/* Name of read (kind 0) or matvec (kind 1) variant `i`, or NULL if this CPU cannot run it. */
const char* variant_name(int kind, size_t i) {
  if (kind == 0)
    return i < sizeof kReads / sizeof *kReads && kReads[i].level <= isa_level() ? kReads[i].name : NULL;
  return i < sizeof kMatvecs / sizeof *kMatvecs && kMatvecs[i].level <= isa_level() ? kMatvecs[i].name
                                                                                    : NULL;
}

/* `reps` passes in one call, so the call's own cost does not count against the floor. */
float read_floor(size_t variant, const float* p, size_t count, size_t reps) {
  ReadFn fn = kReads[variant].fn;
  float s = 0;
  for (size_t r = 0; r < reps; ++r) s += fn(p, count);
  return s;
}

float gather_floor(size_t variant, const float* m, size_t d, const int64_t* rows, size_t count,
                   size_t reps) {
  ReadFn fn = kReads[variant].fn;
  float s = 0;
  for (size_t r = 0; r < reps; ++r)
    for (size_t i = 0; i < count; ++i) s += fn(m + (size_t)rows[i] * d, d);
  return s;
}

void matvec(size_t variant, const float* m, size_t n, size_t d, const float* q, float* out,
            size_t reps) {
  MatvecFn fn = kMatvecs[variant].fn;
  for (size_t r = 0; r < reps; ++r) fn(m, n, d, q, out);
}
