"""The vectorised erfc, exp and log kernels and the normal functions built on them.

Accuracy is measured against mpmath at 40 significant digits; the block (SIMD) path, the portable block
path and the single-value functions must agree bit for bit.
"""

import math

import numpy as np
import pytest

hooks = pytest.importorskip("_quorbis_hooks")
import mpmath  # noqa: E402

SQRT2 = 1.4142135623730951
SQRT2PI = 2.5066282746310007
# Error bounds in ulps of the exact value. exp and log: half an ulp for the final rounding, a small
# fraction for the approximation, and for subnormal exp results a second rounding. erfc: besides the
# final rounding up to 0.6 ulp from the rational correction term (well within the 2 ulp required).
BOUND = {"erfc": 1.5, "exp": 1.0, "log": 1.0}

rng = np.random.default_rng(20240611)


def loguniform(lo_exp2, hi_exp2, n):
    return np.exp2(rng.uniform(lo_exp2, hi_exp2, n))


def ulp_of(exact):
    """Spacing of the doubles at the exact value (2^-1074 among the subnormals)."""
    if exact == 0:
        return mpmath.mpf(2) ** -1074
    _, exponent = mpmath.frexp(exact)
    return mpmath.mpf(2) ** (max(exponent - 1, -1022) - 52)


def worst_ulp_error(results, exact_values):
    worst, where = 0.0, 0
    for i, (y, exact) in enumerate(zip(results, exact_values)):
        assert math.isfinite(y), f"non-finite result {y} where {exact} was expected"
        error = float(abs(mpmath.mpf(float(y)) - exact) / ulp_of(exact))
        if error > worst:
            worst, where = error, i
    return worst, where


@pytest.fixture
def simd():
    """Yields a function that switches the SIMD path on or off; the default is restored afterwards."""
    previous = hooks.set_simd_enabled(True)
    yield hooks.set_simd_enabled
    hooks.set_simd_enabled(previous)


EDGE_ERFC = [0.0, -0.0, 5e-324, -5e-324, 1e-300, 1e-17, -1e-17, 0.5, -0.5, 1.0, 2.0, 26.0, 26.55, 27.0, 27.2,
             27.29, -27.3, 6.0, -6.0, math.nextafter(6.0, 7.0), math.nextafter(6.0, 5.0),
             -math.nextafter(6.0, 7.0)]
EDGE_EXP = [0.0, -0.0, 5e-324, 1e-300, 1.0, -1.0, 0.34657359027997264, -0.34657359027997264, 709.782712893384,
            -708.3964185322641, -708.4, -745.1332191019411, -745.0, -744.44, 707.0, -707.0,
            math.nextafter(707.0, 708.0), -math.nextafter(707.0, 708.0)]
EDGE_LOG = [5e-324, 1e-320, 2.2250738585072014e-308, 2.225073858507201e-308, 1e-15, 0.7071067811865476,
            0.7071067811865475, 1.4142135623730951, 1.414213562373095, 0.9999999999999999, 1.0000000000000002,
            2.0, 0.5, 1.7976931348623157e308]

ACCURACY_CASES = [
    ("erfc", "edge values", np.array(EDGE_ERFC)),
    ("erfc", "[-6, 6]", rng.uniform(-6.0, 6.0, 6000)),
    ("erfc", "[-28, 28]", rng.uniform(-28.0, 28.0, 3000)),
    ("erfc", "[0, 0.5]", rng.uniform(0.0, 0.5, 2000)),
    ("erfc", "either side of 6", rng.uniform(5.9, 6.1, 2000) * rng.choice([-1.0, 1.0], 2000)),
    ("erfc", "subnormal results [26.5, 27.3]", rng.uniform(26.5, 27.3, 2000)),
    ("erfc", "small magnitudes", loguniform(-1074, 0, 2000) * rng.choice([-1.0, 1.0], 2000)),
    ("exp", "edge values", np.array(EDGE_EXP)),
    ("exp", "[-745, 709.78]", rng.uniform(-745.0, 709.78, 4000)),
    ("exp", "[-1, 1]", rng.uniform(-1.0, 1.0, 3000)),
    ("exp", "subnormal results", rng.uniform(-745.13, -708.4, 2000)),
    ("exp", "either side of +-707", rng.uniform(706.0, 708.0, 2000) * rng.choice([-1.0, 1.0], 2000)),
    ("log", "edge values", np.array(EDGE_LOG)),
    ("log", "all positive doubles", loguniform(-1074, 1024, 4000)),
    ("log", "[1e-15, 1]", np.exp(rng.uniform(math.log(1e-15), 0.0, 3000))),
    ("log", "near 1", 1.0 + rng.uniform(-1e-3, 1e-3, 2000)),
    ("log", "near sqrt(1/2) and sqrt 2",
     np.concatenate([rng.uniform(0.70, 0.72, 1000), rng.uniform(1.40, 1.43, 1000)])),
]

REFERENCE = {"erfc": mpmath.erfc, "exp": mpmath.exp, "log": mpmath.log}


class TestAccuracy:
    @pytest.mark.parametrize("name,label,x", ACCURACY_CASES, ids=[f"{c[0]}: {c[1]}" for c in ACCURACY_CASES])
    def test_within_its_bound_of_the_exact_value(self, name, label, x):
        results = hooks.normal_block(name, x)
        with mpmath.workdps(40):
            exact = [REFERENCE[name](mpmath.mpf(float(v))) for v in x]
            worst, where = worst_ulp_error(results, exact)
        message = f"{name}({x[where]!r}) = {results[where]!r} is {worst:.2f} ulp from {exact[where]}"
        assert worst <= BOUND[name], message

    def test_cdf_is_half_erfc_at_the_scaled_argument(self):
        # Phi(x) = erfc(t) / 2 with t = -x / sqrt 2 rounded to a double, as the likelihood defines it.
        x = np.concatenate([rng.uniform(-12.0, 12.0, 3000), rng.uniform(-38.0, -30.0, 500)])
        results = hooks.normal_block("cdf", x)
        with mpmath.workdps(40):
            exact = [mpmath.erfc(mpmath.mpf(float(-v / SQRT2))) / 2 for v in x]
            worst, where = worst_ulp_error(results, exact)
        # Halving a subnormal erfc rounds once more.
        assert worst <= BOUND["erfc"] + 0.5, f"cdf({x[where]!r}) is {worst:.2f} ulp off"

    def test_pdf_is_exp_of_the_rounded_exponent_over_sqrt_two_pi(self):
        x = rng.uniform(-38.0, 38.0, 3000)
        results = hooks.normal_block("pdf", x)
        with mpmath.workdps(40):
            exact = [mpmath.exp(mpmath.mpf(float(v * (v * -0.5)))) / mpmath.mpf(SQRT2PI) for v in x]
            worst, where = worst_ulp_error(results, exact)
        # exp, then one correctly rounded division.
        assert worst <= BOUND["exp"] + 0.5, f"pdf({x[where]!r}) is {worst:.2f} ulp off"


def exact_log_cdf(z):
    return mpmath.log(mpmath.ncdf(z)) if z <= 0 else mpmath.log1p(-mpmath.ncdf(-z))


def exact_ratio(z):
    return mpmath.npdf(z) / mpmath.ncdf(z)


def exact_curvature(z):
    ratio = exact_ratio(z)
    return ratio * (z + ratio)


TAIL_REFERENCE = {"log_cdf": exact_log_cdf, "pdf_over_cdf": exact_ratio, "curvature_weight": exact_curvature}
TAIL_RANGES = [
    ("far lower tail", -(10 ** rng.uniform(np.log10(38.0), 6.0, 300))),
    ("[-40, -4]", rng.uniform(-40.0, -4.0, 600)),
    ("[-4, -1]", rng.uniform(-4.0, -1.0, 600)),
    ("[-1, 1]", rng.uniform(-1.0, 1.0, 600)),
    ("small magnitudes", loguniform(-1074, -10, 300) * rng.choice([-1.0, 1.0], 300)),
    ("[1, 37]", rng.uniform(1.0, 37.0, 600)),
]
# Measured worst errors are about 2.8 ulp for ln Phi and phi / Phi. The curvature weight lambda (z + lambda)
# loses up to a factor 19 of the accuracy of lambda where z + lambda cancels, on [-4, -1].
TAIL_BOUND = {"log_cdf": 4.0, "pdf_over_cdf": 4.0, "curvature_weight": 5.0}
TAIL_CASES = [(name, label, x, 32.0 if (name, label) == ("curvature_weight", "[-4, -1]") else TAIL_BOUND[name])
              for name in TAIL_REFERENCE for label, x in TAIL_RANGES]


class TestLikelihoodFunctions:
    """ln Phi, phi / Phi and the curvature of -ln Phi without clamp, exact where Phi and phi underflow."""

    @pytest.mark.parametrize("name,label,x,bound", TAIL_CASES, ids=[f"{c[0]}: {c[1]}" for c in TAIL_CASES])
    def test_within_its_bound_of_the_exact_value(self, name, label, x, bound):
        results = hooks.normal_block(name, x)
        with mpmath.workdps(40):
            exact = [TAIL_REFERENCE[name](mpmath.mpf(float(v))) for v in x]
            # Subnormal results have no relative accuracy to speak of.
            keep = [i for i, e in enumerate(exact) if abs(e) >= 2.2250738585072014e-308]
            worst, where = worst_ulp_error(results[keep], [exact[i] for i in keep])
        assert worst <= bound, f"{name}({x[keep][where]!r}) is {worst:.2f} ulp off"

    @pytest.mark.parametrize("enabled", [True, False], ids=["simd", "portable"])
    @pytest.mark.parametrize("n", [0, 1, 17, 257])
    def test_both_at_once_give_the_bits_of_each(self, simd, enabled, n):
        simd(enabled)
        x = mixed_arguments(n)[:n]
        log_cdf, ratio = hooks.log_cdf_and_ratio(x)
        np.testing.assert_array_equal(log_cdf.view(np.uint64), hooks.normal_each("log_cdf", x).view(np.uint64))
        np.testing.assert_array_equal(ratio.view(np.uint64), hooks.normal_each("pdf_over_cdf", x).view(np.uint64))


SPECIAL_VALUES = [
    ("erfc", math.inf, 0.0), ("erfc", -math.inf, 2.0), ("erfc", 0.0, 1.0), ("erfc", 30.0, 0.0),
    ("erfc", -30.0, 2.0), ("erfc", math.nan, math.nan),
    ("exp", -math.inf, 0.0), ("exp", math.inf, math.inf), ("exp", 0.0, 1.0), ("exp", 709.79, math.inf),
    ("exp", -745.14, 0.0), ("exp", -745.1332191019411, 5e-324), ("exp", math.nan, math.nan),
    ("log", 0.0, -math.inf), ("log", -0.0, -math.inf), ("log", -1.0, math.nan), ("log", -math.inf, math.nan),
    ("log", math.inf, math.inf), ("log", 1.0, 0.0), ("log", math.nan, math.nan),
    ("log", 1e-15, -34.538776394910684), ("log", 0.999999999999999, -9.992007221626415e-16),
    ("cdf", -math.inf, 0.0), ("cdf", math.inf, 1.0), ("cdf", 0.0, 0.5), ("cdf", math.nan, math.nan),
    ("pdf", math.inf, 0.0), ("pdf", -math.inf, 0.0), ("pdf", math.nan, math.nan), ("pdf", 0.0, 0.39894228040143265),
    ("clipped_cdf", math.nan, 1e-15), ("clipped_cdf", -math.inf, 1e-15), ("clipped_cdf", -9.0, 1e-15),
    ("clipped_cdf", math.inf, 0.999999999999999), ("clipped_cdf", 9.0, 0.999999999999999),
    ("clipped_cdf", 0.0, 0.5),
    ("log_cdf", -math.inf, -math.inf), ("log_cdf", -1e200, -math.inf), ("log_cdf", math.inf, 0.0),
    ("log_cdf", 0.0, -0.6931471805599453), ("log_cdf", math.nan, math.nan),
    ("pdf_over_cdf", -math.inf, math.inf), ("pdf_over_cdf", math.inf, 0.0),
    ("pdf_over_cdf", 0.0, 0.7978845608028654), ("pdf_over_cdf", math.nan, math.nan),
    ("curvature_weight", -math.inf, 1.0), ("curvature_weight", -1e200, 1.0), ("curvature_weight", math.inf, 0.0),
    ("curvature_weight", math.nan, math.nan),
]


class TestSpecialValues:
    @pytest.mark.parametrize("name,x,expected", SPECIAL_VALUES)
    @pytest.mark.parametrize("call", [hooks.normal_block, hooks.normal_each], ids=["block", "each"])
    def test_exact_result(self, call, name, x, expected):
        result = call(name, np.array([x]))[0]
        if math.isnan(expected):
            assert math.isnan(result)
        else:
            assert result == expected and math.copysign(1.0, result) == math.copysign(1.0, expected)

    def test_gradient_weight_in_the_clamped_tail(self):
        # lambda = phi(z) / max(Phi(z), 1e-15) at z = -8, where Phi(-8) < 1e-15; the tolerance covers
        # 1.5 ulp of pdf, the division and the rounding of the reference value.
        z = np.array([-8.0])
        ratio = hooks.normal_each("pdf", z)[0] / hooks.normal_each("clipped_cdf", z)[0]
        assert ratio == pytest.approx(5.052271083536891, rel=6e-16)


NAMES = ["erfc", "exp", "log", "cdf", "pdf", "clipped_cdf", "log_cdf", "pdf_over_cdf", "curvature_weight"]


def mixed_arguments(n):
    specials = np.array([0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -5e-324, 27.3, -746.0, 710.0])
    x = np.concatenate([rng.uniform(-40.0, 40.0, n), loguniform(-1074, 1024, n) * rng.choice([-1.0, 1.0], n),
                        rng.uniform(-750.0, 715.0, n), specials])
    return rng.permutation(x)


def clamp_to_probability_bounds(c):
    return np.where(np.isnan(c), 1e-15, np.clip(c, 1e-15, 0.999999999999999))


class TestPathsAgree:
    # Which branch a vector takes depends on all its values; a value's bits must not. "mixed" puts values
    # of every range side by side, "sorted" gives whole vectors of one range and a few that straddle two.
    @pytest.mark.parametrize("layout", ["mixed", "sorted"])
    @pytest.mark.parametrize("name", NAMES)
    def test_simd_portable_and_single_value_bits_are_equal(self, simd, name, layout):
        x = mixed_arguments(20000)
        if layout == "sorted":
            x = np.sort(x)
        simd(True)
        fast = hooks.normal_block(name, x)
        simd(False)
        portable = hooks.normal_block(name, x)
        each = hooks.normal_each(name, x)
        np.testing.assert_array_equal(fast.view(np.uint64), each.view(np.uint64))
        np.testing.assert_array_equal(portable.view(np.uint64), each.view(np.uint64))

    @pytest.mark.parametrize("name", ["erfc", "exp", "log", "cdf", "pdf"])
    def test_a_nan_argument_is_returned_as_it_is(self, simd, name):
        # Sign and payload included, which no compiler's folding of negations may change.
        nans = np.array([0x7FF8000000000001, 0xFFF8000000000000], dtype=np.uint64)
        for enabled in (True, False):
            simd(enabled)
            assert hooks.normal_block(name, nans.view(np.float64)).view(np.uint64).tolist() == nans.tolist()
        assert hooks.normal_each(name, nans.view(np.float64)).view(np.uint64).tolist() == nans.tolist()

    @pytest.mark.parametrize("enabled", [True, False], ids=["simd", "portable"])
    @pytest.mark.parametrize("neighbour", [0.5, 9.0, 40.0, math.nan, -800.0, 1e-310])
    def test_a_value_does_not_depend_on_its_neighbours(self, simd, enabled, neighbour):
        # Values near the range limits of erfc (6, 28), exp (707) and the tails of ln Phi (-4, -39.6), each in
        # a block otherwise filled with one neighbour value.
        simd(enabled)
        values = [5.999, 6.0, 6.001, 8.48, 8.49, 27.9, 706.9, 707.1, 0.3, 1e-300, -4.0, -4.001, -39.59, -39.61]
        for name in NAMES:
            for v in values:
                x = np.full(37, neighbour)
                x[17] = v
                alone = hooks.normal_each(name, np.array([v]))[0]
                assert hooks.normal_block(name, x)[17].hex() == alone.hex(), (name, v, neighbour)

    def test_clipped_cdf_is_the_clamped_cdf(self, simd):
        # Far in the tails, where erfc may be evaluated at a limited argument, as well as in between.
        x = np.concatenate([mixed_arguments(5000), rng.uniform(-12.0, 12.0, 5000),
                            np.array([8.485, 8.486, -8.485, -8.486, 8.5, -8.5, 7.94, -7.94])])
        for enabled in (True, False):
            simd(enabled)
            clipped = hooks.normal_block("clipped_cdf", x)
            expected = clamp_to_probability_bounds(hooks.normal_each("cdf", x))
            np.testing.assert_array_equal(clipped.view(np.uint64), expected.view(np.uint64))

    @pytest.mark.parametrize("n", [0, 1, 3, 4, 5, 15, 16, 17, 31, 257])
    def test_every_block_length(self, simd, n):
        # Lengths that are not a multiple of the register width go through a padded tail.
        x = rng.uniform(-8.0, 8.0, n)
        for enabled in (True, False):
            simd(enabled)
            np.testing.assert_array_equal(hooks.normal_block("cdf", x), hooks.normal_each("cdf", x))
