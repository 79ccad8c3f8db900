"""Fits the polynomial and rational coefficients of src/core/normal/kernels/coefficients.hpp and prints them
with the split of ln 2.

Run with mpmath installed: python tools/fit_normal_coefficients.py (takes about 40 seconds).
Each fit is a near-minimax approximation computed at 50 digits: Chebyshev interpolation for the
polynomials, and for the rational function a linearised least-squares fit refined by Lawson's
reweighting towards equal ripple.
"""
import mpmath as mp

mp.mp.dps = 50


def chebyshev_interpolant(f, a, b, degree):
    """Monomial coefficients of the polynomial interpolating f at the Chebyshev points of [a, b]."""
    a, b, n = mp.mpf(a), mp.mpf(b), degree + 1
    nodes = [(a + b) / 2 + (b - a) / 2 * mp.cos(mp.pi * (k + mp.mpf(1) / 2) / n) for k in range(n)]
    vandermonde = mp.matrix([[x**j for j in range(n)] for x in nodes])
    c = mp.lu_solve(vandermonde, mp.matrix([f(x) for x in nodes]))
    return [c[j] for j in range(n)]


def rational_fit(f, a, b, m, n, points=200, sweeps=30):
    """P(x) / Q(x) with deg P = m, deg Q = n, Q(0) = 1, near-minimax in absolute error."""
    a, b = mp.mpf(a), mp.mpf(b)
    xs = [(a + b) / 2 - (b - a) / 2 * mp.cos(mp.pi * (i + mp.mpf(1) / 2) / points) for i in range(points)]
    fs = [f(x) for x in xs]
    weights, previous_q, best = [mp.mpf(1)] * points, [mp.mpf(1)] * points, None
    for sweep in range(sweeps):
        rows, rhs = [], []
        for x, fx, w, q in zip(xs, fs, weights, previous_q):
            s = mp.sqrt(w) / q
            rows.append([s * x**j for j in range(m + 1)] + [-s * fx * x**j for j in range(1, n + 1)])
            rhs.append(s * fx)
        sol, _ = mp.qr_solve(mp.matrix(rows), mp.matrix(rhs))
        p = [sol[j] for j in range(m + 1)]
        q = [mp.mpf(1)] + [sol[m + 1 + j] for j in range(n)]
        previous_q = [mp.polyval(q[::-1], x) for x in xs]
        errors = [mp.polyval(p[::-1], x) / qx - fx for x, qx, fx in zip(xs, previous_q, fs)]
        worst = max(abs(e) for e in errors)
        if best is None or worst < best[2]:
            best = (p, q, worst)
        if sweep >= 8:  # least squares has settled; push towards equal ripple
            total = sum(w * abs(e) for w, e in zip(weights, errors))
            weights = [w * abs(e) / total for w, e in zip(weights, errors)]
    return best


def emit(name, coefficients):
    print(f"// {name}")
    print(",\n".join(f"    {float(c)!r}" for c in coefficients))


def main():
    ln2 = mp.log(2)
    ln2_hi = mp.floor(ln2 * 2**42 + mp.mpf(1) / 2) / 2**42  # 42 bits: k * ln2_hi is exact for |k| < 2^11
    print(f"ln2_hi = {float(ln2_hi)!r}, ln2_lo = {float(ln2 - ln2_hi)!r}, 1/ln2 = {float(1 / ln2)!r}")

    # exp(r) = 1 + r + r^2 E(r) on |r| <= ln2 / 2 (with a little room for the rounding of k).
    def e_of_r(r):
        if abs(r) < mp.mpf("1e-10"):
            return sum(r**j / mp.factorial(j + 2) for j in range(6))
        return (mp.exp(r) - 1 - r) / r**2
    emit("exp: E(r), r in [-0.3467, 0.3467]", chebyshev_interpolant(e_of_r, "-0.3467", "0.3467", 10))

    # log(1 + f) = 2 atanh(s) = 2 s + s z T(z), s = f / (2 + f), z = s^2, |s| <= (sqrt2 - 1) / (sqrt2 + 1).
    def t_of_z(z):
        if z < mp.mpf("1e-12"):
            return sum(2 * z**j / (2 * j + 3) for j in range(4))
        s = mp.sqrt(z)
        return (2 * mp.atanh(s) / s - 2) / z
    emit("log: T(z), z in [0, 0.02944]", chebyshev_interpolant(t_of_z, 0, "0.02944", 6))

    # erfc(x) = exp(-x^2) (1 + v(x)) / (1 + 2x) for x >= 0 with v = 3/16 + P(x) / Q(x) on [0, 28]; the
    # offset halves the size, and so the rounding errors, of the computed part (|v - 3/16| < 0.19).
    def w_of_x(x):
        return (1 + 2 * x) * mp.exp(x * x) * mp.erfc(x) - 1 - mp.mpf(3) / 16
    p, q, worst = rational_fit(w_of_x, 0, 28, 11, 11)
    print(f"erfc rational: max abs error {mp.nstr(worst, 4)}")
    emit("erfc: P(x)", p)
    emit("erfc: Q(x)", q)

    # The same v on [0, 6] alone, where most arguments fall: degree 9 suffices there.
    p, q, worst = rational_fit(w_of_x, 0, 6, 9, 9, sweeps=40)
    print(f"erfc near rational: max abs error {mp.nstr(worst, 4)}")
    emit("erfc near: P(x)", p)
    emit("erfc near: Q(x)", q)


if __name__ == "__main__":
    main()
