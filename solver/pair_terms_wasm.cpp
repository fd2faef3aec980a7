// The pair-term loops of pair_terms.cpp written out in WebAssembly SIMD for
// the web build. The compiler vectorises the plain loops there for
// WebAssembly too, but splits every rounding of a double to float into
// single lanes and back, which costs more than the arithmetic. Here four
// pairs go at a time: their floats in one register, their doubles in two,
// and each lane performs the scalar formula's own IEEE operations in the same
// order (pair_terms.h), so the bits are the same. Pairs past the last whole
// group of four are left to the plain loops.
#include "pair_terms_wasm.h"

#if defined(__wasm_simd128__)

#include <wasm_simd128.h>

namespace sph {

namespace {

// Four doubles: lanes 0 and 1 in `low`, 2 and 3 in `high`.
struct Doubles {
  v128_t low, high;
};

inline Doubles widen(v128_t floats) {
  return {wasm_f64x2_promote_low_f32x4(floats), wasm_f64x2_promote_low_f32x4(wasm_i32x4_shuffle(floats, floats, 2, 3, 0, 1))};
}
// Each lane rounded to float, as float(double) does.
inline v128_t narrow(Doubles d) {
  return wasm_i32x4_shuffle(wasm_f32x4_demote_f64x2_zero(d.low), wasm_f32x4_demote_f64x2_zero(d.high), 0, 1, 4, 5);
}
inline Doubles splat(double value) { return {wasm_f64x2_splat(value), wasm_f64x2_splat(value)}; }
inline Doubles load(const double* at) { return {wasm_v128_load(at), wasm_v128_load(at + 2)}; }
inline v128_t load(const float* at) { return wasm_v128_load(at); }
inline Doubles operator+(Doubles a, Doubles b) { return {wasm_f64x2_add(a.low, b.low), wasm_f64x2_add(a.high, b.high)}; }
inline Doubles operator-(Doubles a, Doubles b) { return {wasm_f64x2_sub(a.low, b.low), wasm_f64x2_sub(a.high, b.high)}; }
inline Doubles operator*(Doubles a, Doubles b) { return {wasm_f64x2_mul(a.low, b.low), wasm_f64x2_mul(a.high, b.high)}; }
inline Doubles operator/(Doubles a, Doubles b) { return {wasm_f64x2_div(a.low, b.low), wasm_f64x2_div(a.high, b.high)}; }
inline Doubles operator-(Doubles a) { return {wasm_f64x2_neg(a.low), wasm_f64x2_neg(a.high)}; }

// float(x) for four lanes of doubles, then widened again: the rounding
// points inside a formula.
inline Doubles rounded(Doubles d) { return widen(narrow(d)); }

}  // namespace

int32_t squaredDistanceGroupsWasm(PairBatch& batch, int32_t count) {
  int32_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const Doubles dx = widen(load(batch.dx + k)), dy = widen(load(batch.dy + k)), dz = widen(load(batch.dz + k));
    wasm_v128_store(batch.r2 + k, narrow((dx * dx + dy * dy) + dz * dz));
  }
  return k;
}

int32_t densityRateGroupsWasm(PairBatch& batch, int32_t count) {
  int32_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const v128_t r2 = load(batch.r2 + k);
    const Doubles q = rounded(splat(double(H2)) - widen(r2));
    const Doubles s = (widen(load(batch.dy + k)) * load(batch.dvy + k) + widen(load(batch.dx + k)) * load(batch.dvx + k)) +
                      widen(load(batch.dz + k)) * load(batch.dvz + k);
    const Doubles n = (s * q) * q;
    const Doubles r = widen(wasm_f32x4_sqrt(r2));
    wasm_v128_store(batch.rate + k, narrow(n / r));
  }
  return k;
}

int32_t forcePairGroupsWasm(PairBatch& batch, int32_t count) {
  int32_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const v128_t r2f = load(batch.r2 + k);
    const Doubles r2 = widen(r2f);
    const Doubles dx = widen(load(batch.dx + k)), dy = widen(load(batch.dy + k)), dz = widen(load(batch.dz + k));
    const Doubles wx = widen(load(batch.wx + k)), wy = widen(load(batch.wy + k)), wz = widen(load(batch.wz + k));
    const Doubles q = rounded(splat(double(H2)) - r2);
    const Doubles kernel = rounded(((q * splat(double(POLY6))) * q) * q);
    const Doubles meanInvDensity = rounded(splat(2.0) / load(batch.densitySum + k));
    const v128_t rf = wasm_f32x4_sqrt(r2f);
    const Doubles r = widen(rf);
    const Doubles a = rounded(splat(double(SMOOTHING_LENGTH)) - r);
    const Doubles pressure = rounded(load(batch.pressureTerm + k));
    const v128_t uf = narrow((-dx * wx - dy * wy) - dz * wz);
    const Doubles u = widen(uf);
    const Doubles mu = rounded((u * splat(double(SMOOTHING_LENGTH))) / (r2 + splat(20.0)));
    const v128_t withViscosity = narrow(
        (mu * (mu + mu) - (load(batch.soundSpeedSum + k) * mu) * splat(0.5)) * meanInvDensity + pressure);
    // Approaching pairs only: u < 0 (false for NaN, as in the scalar form).
    const v128_t p = wasm_v128_bitselect(withViscosity, narrow(pressure), wasm_f32x4_lt(uf, wasm_f32x4_splat(0.0f)));
    const Doubles s = rounded((((a * splat(double(SPIKY_GRAD))) * a) / r) * widen(p));
    const Doubles kk = rounded((kernel * splat(0.5)) * meanInvDensity);
    wasm_v128_store(batch.fx + k, narrow(dx * s));
    wasm_v128_store(batch.fy + k, narrow(dy * s));
    wasm_v128_store(batch.fz + k, narrow(dz * s));
    wasm_v128_store(batch.gx + k, narrow(wx * kk));
    wasm_v128_store(batch.gy + k, narrow(wy * kk));
    wasm_v128_store(batch.gz + k, narrow(wz * kk));
  }
  return k;
}

}  // namespace sph

#endif
