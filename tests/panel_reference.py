"""A NumPy reference of the probit with fixed effects, written apart from quorbis for its tests.

Two references of different kinds:

* ``Concentrated``: the method itself on rows in NumPy -- Newton steps on the slopes with the effects
  concentrated out by weighted alternating projections (Irons-Tuck accelerated), removal of perfectly
  predicted levels, covariances, average partial effects and the analytical bias correction of
  Fernandez-Val and Weidner (2016) in its projected form.
* ``paper_*`` functions: the same statistics from explicit dummy matrices and the paper's sums over
  individuals and periods, with the expectations of the derivatives of ln Phi taken over y = 0, 1 by
  hand, for tiny balanced panels.
"""

import numpy as np
from scipy.special import log_ndtr, ndtr

LOG_SQRT_2PI = 0.5 * np.log(2.0 * np.pi)


def mills(x):
    """phi(x) / Phi(x), from logarithms so that it neither underflows nor overflows."""
    return np.exp(-0.5 * x * x - LOG_SQRT_2PI - log_ndtr(x))


def pdf(x):
    return np.exp(-0.5 * x * x - LOG_SQRT_2PI)


def row_terms(y, eta):
    """ln Phi(q eta), its first derivative lambda and minus its second w, q = 2y - 1."""
    q = 2.0 * y - 1.0
    z = q * eta
    r = mills(z)
    return log_ndtr(z), q * r, r * (z + r)


def fisher_weight(eta):
    """E[-d2 ln L / d eta2] = phi^2 / (Phi (1 - Phi))."""
    return pdf(eta) ** 2 / (ndtr(eta) * ndtr(-eta))


def remove_perfectly_predicted(y, codes):
    """Rows kept once no level of any dimension has only 0s or only 1s, removing again until none has."""
    keep = np.ones(len(y), bool)
    while True:
        drop = np.zeros(len(y), bool)
        for g in codes:
            rows = np.bincount(g[keep], minlength=g.max() + 1)
            ones = np.bincount(g[keep], y[keep], minlength=g.max() + 1)
            drop |= keep & ((ones == 0) | (ones == rows))[g]
        if not drop.any():
            return keep
        keep &= ~drop


def renumber(codes):
    return [np.unique(g, return_inverse=True)[1] for g in codes]


class Projector:
    """Weighted least-squares projection of columns on the effects' dummies, by alternating projections
    over the dimensions (Gauss-Seidel in the effects' coefficients) with Irons-Tuck acceleration."""

    def __init__(self, codes, w, tol=1e-15, max_sweeps=100_000):
        self.codes, self.w, self.tol, self.max_sweeps = codes, w, tol, max_sweeps
        self.sizes = [int(g.max()) + 1 for g in codes]
        self.weight = [np.bincount(g, w, minlength=s) for g, s in zip(codes, self.sizes)]

    def _group_sums(self, d, values):
        return np.stack([np.bincount(self.codes[d], values[:, j], minlength=self.sizes[d])
                         for j in range(values.shape[1])], axis=1)

    def _sweep(self, V, a):
        a = [x.copy() for x in a]
        for d in range(len(a)):
            rest = V - sum(a[e][self.codes[e]] for e in range(len(a)) if e != d)
            a[d] = self._group_sums(d, self.w[:, None] * rest) / self.weight[d][:, None]
        return a

    def coefficients(self, V):
        """The effects' coefficients, one (levels, columns) array per dimension, of the projection of V."""
        a = [np.zeros((s, V.shape[1])) for s in self.sizes]
        flat = lambda a: np.concatenate(a)  # noqa: E731
        shape = lambda x: np.split(x, np.cumsum(self.sizes)[:-1])  # noqa: E731
        x0 = flat(self._sweep(V, a))
        if len(a) == 1:
            return shape(x0)
        for _ in range(self.max_sweeps):
            x1 = flat(self._sweep(V, shape(x0)))
            x2 = flat(self._sweep(V, shape(x1)))
            if np.all(np.abs(x2 - x1) <= self.tol * (1.0 + np.abs(x2))):
                return shape(x2)
            d1, d2 = x2 - x1, x2 - 2 * x1 + x0
            denom = (d2 * d2).sum(axis=0)
            step = np.divide((d1 * d2).sum(axis=0), denom, out=np.zeros_like(denom), where=denom > 0)
            x0 = x2 - step * d1
        raise RuntimeError("projections did not converge")

    def fitted(self, a):
        return sum(a[d][self.codes[d]] for d in range(len(a)))

    def residuals(self, V):
        return V - self.fitted(self.coefficients(V))


class Concentrated:
    """The fit of y on X with one effect per level of each column of codes, and what follows from it."""

    def __init__(self, y, X, codes, tol=1e-13, max_iter=100):
        codes = [np.asarray(g) for g in codes]
        self.keep = remove_perfectly_predicted(y, codes)
        self.y, X = y[self.keep], X[self.keep]
        self.codes = renumber([g[self.keep] for g in codes])
        self.omitted = self._explained(X)
        self.X = np.delete(X, self.omitted, axis=1)
        self.beta, self.alpha, self.loglike = self._fit(tol, max_iter)
        self.eta = self.X @ self.beta + sum(a[g] for a, g in zip(self.alpha, self.codes))

    def _explained(self, X, rtol=1e-10):
        """The columns that the effects and the columns before them explain: those whose residual sum of
        squares is at most rtol times their sum of squares."""
        Xt = Projector(self.codes, np.ones(len(X))).residuals(X)
        kept = []
        for j in range(X.shape[1]):
            basis = Xt[:, kept]
            rest = Xt[:, j] - basis @ np.linalg.lstsq(basis, Xt[:, j], rcond=None)[0] if kept else Xt[:, j]
            if rest @ rest > rtol * (X[:, j] @ X[:, j]):
                kept.append(j)
        return [j for j in range(X.shape[1]) if j not in kept]

    def _fit(self, tol, max_iter):
        n, k = self.X.shape
        beta, alpha = np.zeros(k), [np.zeros(int(g.max()) + 1) for g in self.codes]
        index = lambda b, a: self.X @ b + sum(e[g] for e, g in zip(a, self.codes))  # noqa: E731
        loglike = row_terms(self.y, index(beta, alpha))[0].sum()
        for _ in range(max_iter):
            _, lam, w = row_terms(self.y, index(beta, alpha))
            projector = Projector(self.codes, w)
            V = np.column_stack([self.X, lam / w])
            a = projector.coefficients(V)
            res = V - projector.fitted(a)
            Xt, rt = res[:, :k], res[:, k]
            step = np.linalg.solve(Xt.T @ (w[:, None] * Xt), Xt.T @ (w * rt))
            d_alpha = [c[:, k] - c[:, :k] @ step for c in a]
            for halving in range(11):
                s = 0.5 ** halving
                trial_beta, trial_alpha = beta + s * step, [e + s * d for e, d in zip(alpha, d_alpha)]
                trial = row_terms(self.y, index(trial_beta, trial_alpha))[0].sum()
                if trial >= loglike:
                    break
            beta, alpha, change, loglike = trial_beta, trial_alpha, trial - loglike, trial
            if abs(change) < tol:
                return beta, alpha, loglike
        raise RuntimeError("no convergence")

    def demeaned(self, w, V=None):
        return Projector(self.codes, w).residuals(self.X if V is None else V)

    def covariance(self, kind="nonrobust", clusters=None, eta=None):
        """The slopes' covariance from the rows' terms at eta (the estimates when None)."""
        _, lam, w = row_terms(self.y, self.eta if eta is None else eta)
        Xt = self.demeaned(w)
        bread = np.linalg.inv(Xt.T @ (w[:, None] * Xt))
        if kind == "nonrobust":
            return bread
        scores = _cluster_sums(lam[:, None] * Xt, clusters) if kind == "cluster" else lam[:, None] * Xt
        return bread @ scores.T @ scores @ bread

    def bias(self, L=0):
        """A^-1 b of the analytical correction, the corrected slopes being beta + A^-1 b: the conditional
        expectations at the estimates (Fisher weights), the first dimension the individuals, rows of an
        individual in time order."""
        w = fisher_weight(self.eta)
        z = -self.eta * w
        _, v, _ = row_terms(self.y, self.eta)
        Xt = self.demeaned(w)
        b = sum(_group_ratio(g, 0.5 * z[:, None] * Xt, w) for g in self.codes)
        if L:
            b = b + _spectral(self.codes[0], w[:, None] * Xt, v, w, L)
        return np.linalg.solve(Xt.T @ (w[:, None] * Xt), b)

    def effects_at(self, beta, tol=1e-14, max_iter=200):
        """The effects' maximum likelihood at fixed slopes beta, by Newton steps on the effects."""
        alpha = [a.copy() for a in self.alpha]
        index = lambda a: self.X @ beta + sum(e[g] for e, g in zip(a, self.codes))  # noqa: E731
        loglike = row_terms(self.y, index(alpha))[0].sum()
        for _ in range(max_iter):
            _, lam, w = row_terms(self.y, index(alpha))
            a = Projector(self.codes, w).coefficients((lam / w)[:, None])
            alpha = [e + c[:, 0] for e, c in zip(alpha, a)]
            new = row_terms(self.y, index(alpha))[0].sum()
            if abs(new - loglike) < tol:
                return alpha
            loglike = new
        raise RuntimeError("no convergence")

    def partial_effects(self, beta, eta, binary):
        """Per row and column: the partial effect and its first and second derivatives in the index, and
        the derivative of the effect in the column's own slope."""
        Delta, D1, D2, own = (np.empty((len(eta), len(beta))) for _ in range(4))
        for j, b in enumerate(beta):
            if binary[j]:
                e0 = eta - self.X[:, j] * b
                e1 = e0 + b
                Delta[:, j] = ndtr(e1) - ndtr(e0)
                D1[:, j] = pdf(e1) - pdf(e0)
                D2[:, j] = -e1 * pdf(e1) + e0 * pdf(e0)
                own[:, j] = pdf(e1)
            else:
                Delta[:, j] = b * pdf(eta)
                D1[:, j] = -b * eta * pdf(eta)
                D2[:, j] = b * (eta * eta - 1.0) * pdf(eta)
                own[:, j] = pdf(eta)
        return Delta, D1, D2, own

    def ame(self, binary, kind="nonrobust", clusters=None, population=True, corrected=False, L=0):
        """(effects, covariance) of the average partial effects, everything at the reported estimates:
        with corrected, the corrected slopes and their effects, the effects less their estimated bias."""
        n, k = self.X.shape
        beta = self.beta + (self.bias(L) if corrected else 0.0)
        alpha = self.effects_at(beta) if corrected else self.alpha
        eta = self.X @ beta + sum(a[g] for a, g in zip(alpha, self.codes))
        Delta, D1, D2, own = self.partial_effects(beta, eta, binary)
        delta = Delta.mean(axis=0)
        _, v, w = row_terms(self.y, eta)
        Xt = self.demeaned(w)
        # d sum(Delta) / d beta, the effects following beta: a dummy's own column is held at 0 and 1
        J = np.empty((k, k))
        for j in range(k):
            held = self.X.copy()
            if binary[j]:
                held[:, j] = 0.0
            J[j] = D1[:, j] @ (held - (self.X - Xt))
            J[j, j] += own[:, j].sum()
        PPsi = D1 / w[:, None] - self.demeaned(w, D1 / w[:, None])
        cov = self.covariance(kind, clusters, eta)
        Gamma = (Xt @ np.linalg.solve(Xt.T @ (w[:, None] * Xt), J.T) + PPsi) * v[:, None]
        if kind == "nonrobust":
            V = J @ cov @ J.T + PPsi.T @ (w[:, None] * PPsi)
        else:
            G = _cluster_sums(Gamma, clusters) if kind == "cluster" else Gamma
            V = G.T @ G
        if population:
            centred = Delta - delta
            sums = [_cluster_sums(centred, g) for g in self.codes]
            V = V + sum(s.T @ s for s in sums) - (len(self.codes) - 1) * centred.T @ centred
            if L:
                cross = sums[0].T @ _cluster_sums(Gamma, self.codes[0])
                V = V + cross + cross.T
        if corrected:
            wf = fisher_weight(eta)
            zf = -eta * wf
            Psi = D1 / wf[:, None]
            PPsi_f = Psi - self.demeaned(wf, Psi)
            bias = sum(_group_ratio(g, 0.5 * (D2 - PPsi_f * zf[:, None]), wf) for g in self.codes)
            if L:
                bias = bias + _spectral(self.codes[0], D1 - PPsi_f * wf[:, None], v, wf, L)
            delta = delta - bias / n
        return delta, V / n ** 2


def _cluster_sums(M, ids):
    _, ids = np.unique(ids, return_inverse=True)
    return np.stack([np.bincount(ids, M[:, j]) for j in range(M.shape[1])], axis=1)


def _group_ratio(g, M, w):
    """sum over the levels of g of (the level's column sums of M) / (its sum of w)."""
    return (_cluster_sums(M, g) / np.bincount(g, w)[:, None]).sum(axis=0)


def _spectral(g, M, v, w, L):
    """sum over levels of sum_{l=1..L} T/(T-l) sum_t M_t v_{t-l} / sum_t w_t, rows of a level in order."""
    total = np.zeros(M.shape[1])
    for level in range(int(g.max()) + 1):
        rows = np.flatnonzero(g == level)
        T = len(rows)
        part = sum(T / (T - l) * (M[rows[l:]] * v[rows[:T - l], None]).sum(axis=0) for l in range(1, min(L, T - 1) + 1))
        total += part / w[rows].sum()
    return total


# ---- the paper's sums on a balanced panel, effects as explicit dummies ----

def log_cdf_derivatives(x):
    """The first three derivatives of ln Phi at x."""
    r = mills(x)
    return r, -r * (x + r), r * (x + r) * (x + 2 * r) - r


def expected_derivatives(pi):
    """E over y ~ Bernoulli(Phi(pi)) of d ln L/d pi * d2 ln L/d pi2, d2 ln L/d pi2 and d3 ln L/d pi3, with
    ln L = y ln Phi(pi) + (1 - y) ln Phi(-pi)."""
    one = log_cdf_derivatives(pi)
    zero = [(-1) ** (m + 1) * d for m, d in enumerate(log_cdf_derivatives(-pi))]
    p = ndtr(pi)
    mean = lambda f1, f0: p * f1 + (1 - p) * f0  # noqa: E731
    return mean(one[0] * one[1], zero[0] * zero[1]), mean(one[1], zero[1]), mean(one[2], zero[2])


def dummies(codes):
    return np.column_stack([np.eye(int(g.max()) + 1)[g] for g in codes])


def weighted_fit(D, weight, values):
    """Fitted values of the weighted least-squares regression of each column of values on D."""
    root = np.sqrt(weight)[:, None]
    coef = np.linalg.lstsq(D * root, values * root, rcond=None)[0]
    return D @ coef


def paper_bias_correction(y, X, individual, period, beta, pi, L=0):
    """Corrected slopes beta - W^-1 B / T - W^-1 D / N, B and D as in Fernandez-Val and Weidner (2016) with
    the expectations of the derivatives at the estimates; period is None for individual effects only.
    An individual's rows are its periods in order; N T is the number of rows."""
    codes = [individual] + ([] if period is None else [period])
    d1d2, d2, d3 = expected_derivatives(pi)
    _, v, _ = row_terms(y, pi)
    Xi = weighted_fit(dummies(codes), -d2, X)  # the projection of d_beta_pi l / d_pi2 l = x
    Xt = X - Xi
    N = individual.max() + 1
    T = len(y) / N
    W = -(d2[:, None] * Xt).T @ Xt / (N * T)
    B = np.zeros(X.shape[1])
    for i in range(N):
        rows = np.flatnonzero(individual == i)
        Ti = len(rows)
        num = sum(d1d2[rows, None] * Xt[rows]) + 0.5 * sum(d3[rows, None] * Xt[rows])
        for j in range(1, min(L, Ti - 1) + 1):
            num += Ti / (Ti - j) * sum(v[rows[t - j]] * d2[rows[t]] * Xt[rows[t]] for t in range(j, Ti))
        B -= num / d2[rows].sum() / N
    D = np.zeros(X.shape[1])
    if period is not None:
        for t in range(period.max() + 1):
            rows = np.flatnonzero(period == t)
            num = sum(d1d2[rows, None] * Xt[rows]) + 0.5 * sum(d3[rows, None] * Xt[rows])
            D -= num / d2[rows].sum() / T
    return beta - np.linalg.solve(W, B) / T - np.linalg.solve(W, D) / (len(y) / T)


def effects_given_slopes(y, X, D, beta, iterations=100):
    """The maximum likelihood of the effects' coefficients on the dummies D with the slopes held at beta."""
    a = np.zeros(D.shape[1])
    for _ in range(iterations):
        _, lam, w = row_terms(y, X @ beta + D @ a)
        step = np.linalg.lstsq(D.T @ (w[:, None] * D), D.T @ lam, rcond=None)[0]
        a += step
        if np.abs(step).max() < 1e-13:
            break
    return X @ beta + D @ a


def partial_effects(X, beta, pi, binary):
    """Per row and slope: the partial effect and its first two derivatives in the index."""
    cols = []
    for j, b in enumerate(beta):
        if binary[j]:
            e0 = pi - X[:, j] * b
            e1 = e0 + b
            cols.append((ndtr(e1) - ndtr(e0), pdf(e1) - pdf(e0), -e1 * pdf(e1) + e0 * pdf(e0)))
        else:
            cols.append((b * pdf(pi), -b * pi * pdf(pi), b * (pi * pi - 1.0) * pdf(pi)))
    return [np.column_stack(c) for c in zip(*cols)]


def paper_corrected_effects(y, X, individual, period, beta, pi, binary, L=0):
    """The corrected average partial effects delta(beta~, effects(beta~)) - B^delta / T - D^delta / N, the bias
    per individual (period) [sum_j T/(T-j) sum_t E(dl_{t-j} d2l_t) Psi_t + (1/2) sum_t E(d2_pi Delta_t +
    d3l_t Psi_t)] / sum_t E(-d2l_t), with the lagged terms d_pi Delta_t dl_{t-j} too, Psi the projection of
    d_pi Delta / E(-d2l) on the effects with weights E(-d2l)."""
    codes = [individual] + ([] if period is None else [period])
    D = dummies(codes)
    corrected = paper_bias_correction(y, X, individual, period, beta, pi, L)
    pi = effects_given_slopes(y, X, D, corrected)
    Delta, D1, D2 = partial_effects(X, corrected, pi, binary)
    d1d2, d2, d3 = expected_derivatives(pi)
    _, v, _ = row_terms(y, pi)
    Psi = weighted_fit(D, -d2, D1 / -d2[:, None])
    bias = np.zeros(X.shape[1])
    for d, g in enumerate(codes):
        for level in range(g.max() + 1):
            rows = np.flatnonzero(g == level)
            num = (Psi[rows] * d1d2[rows, None]).sum(axis=0) + 0.5 * (D2[rows] + Psi[rows] * d3[rows, None]).sum(axis=0)
            if d == 0:
                Ti = len(rows)
                for j in range(1, min(L, Ti - 1) + 1):
                    num += Ti / (Ti - j) * sum(v[rows[t - j]] * (D1[rows[t]] + Psi[rows[t]] * d2[rows[t]])
                                               for t in range(j, Ti))
            bias += num / -d2[rows].sum()
    return Delta.mean(axis=0) - bias / len(y)
