// The pair-term loops of pair_terms.cpp written out in WebAssembly SIMD for
// the web build. The compiler vectorises the plain loops there for
// WebAssembly too, but splits every rounding of a double to float into
// single lanes and back, which costs more than the arithmetic. Here four
// pairs go at a time as two independent halves, each half's two doubles in
// one register: a pair's floats are loaded 8 bytes at a time and widened, a
// rounding point is one narrowing and one widening, and a result is narrowed
// and stored 8 bytes at a time (pass 3's, a float at a time into each pair's
// row), so no lane is ever shuffled (on x86 the engine's shuffles compete
// with the conversions for one port). The two
// halves give the processor two chains of divisions and roundings to
// overlap. Each lane performs the scalar formula's own IEEE operations in
// the same order (pair_terms.h), so the bits are the same. Pairs past the
// last whole group of four are left to the plain loops.
#include "pair_terms_wasm.h"

#if defined(__wasm_simd128__)

namespace sph {

namespace {

// Four doubles: pairs k and k + 1 in `low`, k + 2 and k + 3 in `high`.
struct Doubles {
  v128_t low, high;
};

// Two pairs' floats at `at`, widened to double.
inline v128_t widenTwo(const float* at) { return wasm_f64x2_promote_low_f32x4(wasm_v128_load64_zero(at)); }
inline Doubles widen(const float* at) { return {widenTwo(at), widenTwo(at + 2)}; }
inline Doubles load(const double* at) { return {wasm_v128_load(at), wasm_v128_load(at + 2)}; }
inline Doubles splat(double value) { return {wasm_f64x2_splat(value), wasm_f64x2_splat(value)}; }
inline Doubles operator+(Doubles a, Doubles b) { return {wasm_f64x2_add(a.low, b.low), wasm_f64x2_add(a.high, b.high)}; }
inline Doubles operator-(Doubles a, Doubles b) { return {wasm_f64x2_sub(a.low, b.low), wasm_f64x2_sub(a.high, b.high)}; }
inline Doubles operator*(Doubles a, Doubles b) { return {wasm_f64x2_mul(a.low, b.low), wasm_f64x2_mul(a.high, b.high)}; }
inline Doubles operator/(Doubles a, Doubles b) { return {wasm_f64x2_div(a.low, b.low), wasm_f64x2_div(a.high, b.high)}; }
inline Doubles operator-(Doubles a) { return {wasm_f64x2_neg(a.low), wasm_f64x2_neg(a.high)}; }

// A rounding point inside a formula: each lane rounded to float and widened
// again.
inline Doubles rounded(Doubles d) {
  return {wasm_f64x2_promote_low_f32x4(narrowTwo(d.low)), wasm_f64x2_promote_low_f32x4(narrowTwo(d.high))};
}
// Each lane rounded to float, as float(double) does, and stored at `at`.
inline void storeRounded(float* at, Doubles d) {
  wasm_v128_store64_lane(at, narrowTwo(d.low), 0);
  wasm_v128_store64_lane(at + 2, narrowTwo(d.high), 0);
}
// Each lane rounded to float and stored in column `column` of its pair's
// row, the rows of four pairs from `rows` on.
inline void storeRoundedColumn(float (*rows)[FORCE_ROW], int32_t column, Doubles d) {
  const v128_t low = narrowTwo(d.low), high = narrowTwo(d.high);
  wasm_v128_store32_lane(rows[0] + column, low, 0);
  wasm_v128_store32_lane(rows[1] + column, low, 1);
  wasm_v128_store32_lane(rows[2] + column, high, 0);
  wasm_v128_store32_lane(rows[3] + column, high, 1);
}
// The square root in float of each of four floats at `at`, widened.
inline Doubles widenedRoot(const float* at) {
  return {wasm_f64x2_promote_low_f32x4(wasm_f32x4_sqrt(wasm_v128_load64_zero(at))),
          wasm_f64x2_promote_low_f32x4(wasm_f32x4_sqrt(wasm_v128_load64_zero(at + 2)))};
}
// a where u < 0, else b, lane by lane (u < 0 is false for NaN, as in the
// scalar form). u is a float widened, so the test in double is the float
// one; left to itself the compiler tests the float and widens the mask, in
// ten instructions.
inline Doubles whereNegative(Doubles u, Doubles a, Doubles b) {
  const v128_t zero = wasm_f64x2_splat(0.0);
  return {wasm_v128_bitselect(a.low, b.low, wasm_f64x2_lt(opaque(u.low), zero)),
          wasm_v128_bitselect(a.high, b.high, wasm_f64x2_lt(opaque(u.high), zero))};
}

}  // namespace

int32_t squaredDistanceGroupsWasm(PairBatch& batch, int32_t count) {
  int32_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const Doubles dx = widen(batch.dx + k), dy = widen(batch.dy + k), dz = widen(batch.dz + k);
    storeRounded(batch.r2 + k, (dx * dx + dy * dy) + dz * dz);
  }
  return k;
}

int32_t densityRateGroupsWasm(PairBatch& batch, int32_t count) {
  int32_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const Doubles q = rounded(splat(double(H2)) - widen(batch.r2 + k));
    const Doubles s = (widen(batch.dy + k) * load(batch.dvy + k) + widen(batch.dx + k) * load(batch.dvx + k)) +
                      widen(batch.dz + k) * load(batch.dvz + k);
    const Doubles n = (s * q) * q;
    storeRounded(batch.rate + k, n / widenedRoot(batch.r2 + k));
  }
  return k;
}

int32_t forcePairGroupsWasm(PairBatch& batch, int32_t count) {
  int32_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const Doubles r2 = widen(batch.r2 + k);
    const Doubles dx = widen(batch.dx + k), dy = widen(batch.dy + k), dz = widen(batch.dz + k);
    const Doubles wx = widen(batch.wx + k), wy = widen(batch.wy + k), wz = widen(batch.wz + k);
    const Doubles q = rounded(splat(double(H2)) - r2);
    const Doubles kernel = rounded(((q * splat(double(POLY6))) * q) * q);
    const Doubles meanInvDensity = rounded(splat(2.0) / load(batch.densitySum + k));
    const Doubles r = widenedRoot(batch.r2 + k);
    const Doubles a = rounded(splat(double(SMOOTHING_LENGTH)) - r);
    const Doubles pressure = rounded(load(batch.pressureTerm + k));
    const Doubles u = rounded((-dx * wx - dy * wy) - dz * wz);
    const Doubles mu = rounded((u * splat(double(SMOOTHING_LENGTH))) / (r2 + splat(20.0)));
    const Doubles withViscosity = rounded(
        (mu * (mu + mu) - (load(batch.soundSpeedSum + k) * mu) * splat(0.5)) * meanInvDensity + pressure);
    const Doubles p = whereNegative(u, withViscosity, pressure);  // approaching pairs only
    const Doubles s = rounded((((a * splat(double(SPIKY_GRAD))) * a) / r) * p);
    const Doubles kk = rounded((kernel * splat(0.5)) * meanInvDensity);
    float(*const rows)[FORCE_ROW] = batch.forceTerms + k;
    storeRoundedColumn(rows, 0, wx * kk);
    storeRoundedColumn(rows, 1, wy * kk);
    storeRoundedColumn(rows, 2, wz * kk);
    storeRoundedColumn(rows, 3, -(dx * s));
    storeRoundedColumn(rows, 4, -(dy * s));
    storeRoundedColumn(rows, 5, -(dz * s));
  }
  return k;
}

}  // namespace sph

#endif
