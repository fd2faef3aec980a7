// The pair-term loops of pair_terms.cpp written out in WebAssembly SIMD for
// the web build. The compiler vectorises the plain loops there for
// WebAssembly too, but splits every rounding of a double to float into
// single lanes and back, which costs more than the arithmetic. Here two
// pairs go at a time, their doubles in one register: a pair's floats are
// loaded 8 bytes at a time and widened, a rounding point is one narrowing
// and one widening, and a result is narrowed and stored 8 bytes at a time,
// so no lane is ever shuffled (on x86 the engine's shuffles compete with the
// conversions for one port). Each lane performs the scalar formula's own
// IEEE operations in the same order (pair_terms.h), so the bits are the same.
// A last odd pair is left to the plain loops.
#include "pair_terms_wasm.h"

#if defined(__wasm_simd128__)

namespace sph {

namespace {

// Two pairs' floats at `at`, widened to double.
inline v128_t widen(const float* at) { return wasm_f64x2_promote_low_f32x4(wasm_v128_load64_zero(at)); }
inline v128_t load(const double* at) { return wasm_v128_load(at); }
// A rounding point inside a formula: rounded to float and widened again.
inline v128_t rounded(v128_t d) { return wasm_f64x2_promote_low_f32x4(narrowTwo(d)); }
inline void storeRounded(float* at, v128_t d) { wasm_v128_store64_lane(at, narrowTwo(d), 0); }
inline v128_t splat(double value) { return wasm_f64x2_splat(value); }

}  // namespace

int32_t squaredDistanceGroupsWasm(PairBatch& batch, int32_t count) {
  int32_t k = 0;
  for (; k + 2 <= count; k += 2) {
    const v128_t dx = widen(batch.dx + k), dy = widen(batch.dy + k), dz = widen(batch.dz + k);
    storeRounded(batch.r2 + k, wasm_f64x2_add(wasm_f64x2_add(wasm_f64x2_mul(dx, dx), wasm_f64x2_mul(dy, dy)),
                                              wasm_f64x2_mul(dz, dz)));
  }
  return k;
}

int32_t densityRateGroupsWasm(PairBatch& batch, int32_t count) {
  int32_t k = 0;
  for (; k + 2 <= count; k += 2) {
    const v128_t r2f = wasm_v128_load64_zero(batch.r2 + k);
    const v128_t q = rounded(wasm_f64x2_sub(splat(double(H2)), wasm_f64x2_promote_low_f32x4(r2f)));
    const v128_t s = wasm_f64x2_add(wasm_f64x2_add(wasm_f64x2_mul(widen(batch.dy + k), load(batch.dvy + k)),
                                                   wasm_f64x2_mul(widen(batch.dx + k), load(batch.dvx + k))),
                                    wasm_f64x2_mul(widen(batch.dz + k), load(batch.dvz + k)));
    const v128_t n = wasm_f64x2_mul(wasm_f64x2_mul(s, q), q);
    const v128_t r = wasm_f64x2_promote_low_f32x4(wasm_f32x4_sqrt(r2f));
    storeRounded(batch.rate + k, wasm_f64x2_div(n, r));
  }
  return k;
}

int32_t forcePairGroupsWasm(PairBatch& batch, int32_t count) {
  int32_t k = 0;
  for (; k + 2 <= count; k += 2) {
    const v128_t r2f = wasm_v128_load64_zero(batch.r2 + k);
    const v128_t r2 = wasm_f64x2_promote_low_f32x4(r2f);
    const v128_t dx = widen(batch.dx + k), dy = widen(batch.dy + k), dz = widen(batch.dz + k);
    const v128_t wx = widen(batch.wx + k), wy = widen(batch.wy + k), wz = widen(batch.wz + k);
    const v128_t q = rounded(wasm_f64x2_sub(splat(double(H2)), r2));
    const v128_t kernel = rounded(wasm_f64x2_mul(wasm_f64x2_mul(wasm_f64x2_mul(q, splat(double(POLY6))), q), q));
    const v128_t meanInvDensity = rounded(wasm_f64x2_div(splat(2.0), load(batch.densitySum + k)));
    const v128_t r = wasm_f64x2_promote_low_f32x4(wasm_f32x4_sqrt(r2f));
    const v128_t a = rounded(wasm_f64x2_sub(splat(double(SMOOTHING_LENGTH)), r));
    const v128_t pressure = rounded(load(batch.pressureTerm + k));
    const v128_t u = rounded(wasm_f64x2_sub(
        wasm_f64x2_sub(wasm_f64x2_mul(wasm_f64x2_neg(dx), wx), wasm_f64x2_mul(dy, wy)), wasm_f64x2_mul(dz, wz)));
    const v128_t mu = rounded(wasm_f64x2_div(wasm_f64x2_mul(u, splat(double(SMOOTHING_LENGTH))),
                                             wasm_f64x2_add(r2, splat(20.0))));
    const v128_t viscosity = wasm_f64x2_mul(
        wasm_f64x2_sub(wasm_f64x2_mul(mu, wasm_f64x2_add(mu, mu)),
                       wasm_f64x2_mul(wasm_f64x2_mul(load(batch.soundSpeedSum + k), mu), splat(0.5))),
        meanInvDensity);
    const v128_t withViscosity = rounded(wasm_f64x2_add(viscosity, pressure));
    // Approaching pairs only: u < 0 (false for NaN, as in the scalar form;
    // u is a float widened, so the test in double is the float one). Left to
    // itself the compiler tests the float and widens the mask, in ten
    // instructions.
    const v128_t p = wasm_v128_bitselect(withViscosity, pressure, wasm_f64x2_lt(opaque(u), splat(0.0)));
    const v128_t s = rounded(wasm_f64x2_mul(
        wasm_f64x2_div(wasm_f64x2_mul(wasm_f64x2_mul(a, splat(double(SPIKY_GRAD))), a), r), p));
    const v128_t kk = rounded(wasm_f64x2_mul(wasm_f64x2_mul(kernel, splat(0.5)), meanInvDensity));
    storeRounded(batch.fx + k, wasm_f64x2_mul(dx, s));
    storeRounded(batch.fy + k, wasm_f64x2_mul(dy, s));
    storeRounded(batch.fz + k, wasm_f64x2_mul(dz, s));
    storeRounded(batch.gx + k, wasm_f64x2_mul(wx, kk));
    storeRounded(batch.gy + k, wasm_f64x2_mul(wy, kk));
    storeRounded(batch.gz + k, wasm_f64x2_mul(wz, kk));
  }
  return k;
}

}  // namespace sph

#endif
