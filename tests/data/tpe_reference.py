"""An independent reference for one TPE step, used to derive known answers.

Written from the algorithm's description, in plain Python floats (IEEE
doubles, the C library's exp and log), without the C++ code. Run it to print
the candidates that tests/core/tpe_test.cc pins:

    python3 tests/data/tpe_reference.py
"""

import math
import struct

M32 = 0xFFFFFFFF
M64 = 0xFFFFFFFFFFFFFFFF


def rotl(x, n):
    return ((x << n) | (x >> (32 - n))) & M32


def chacha8(key, block):
    state = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *key,
             block & M32, block >> 32, 0, 0]
    x = list(state)

    def qr(a, b, c, d):
        x[a] = (x[a] + x[b]) & M32; x[d] = rotl(x[d] ^ x[a], 16)
        x[c] = (x[c] + x[d]) & M32; x[b] = rotl(x[b] ^ x[c], 12)
        x[a] = (x[a] + x[b]) & M32; x[d] = rotl(x[d] ^ x[a], 8)
        x[c] = (x[c] + x[d]) & M32; x[b] = rotl(x[b] ^ x[c], 7)

    for _ in range(4):
        qr(0, 4, 8, 12); qr(1, 5, 9, 13); qr(2, 6, 10, 14); qr(3, 7, 11, 15)
        qr(0, 5, 10, 15); qr(1, 6, 11, 12); qr(2, 7, 8, 13); qr(3, 4, 9, 14)
    return [(x[i] + state[i]) & M32 for i in range(16)]


class Rng:
    def __init__(self, seed):
        s = seed
        self.key = []
        for _ in range(8):
            s = (s * 6364136223846793005 + 11634580027462260723) & M64
            xs = (((s >> 18) ^ s) >> 27) & M32
            r = s >> 59
            self.key.append(((xs >> r) | (xs << (32 - r))) & M32 if r else xs)
        self.counter = 0
        self.buf = [0] * 64
        self.index = 64

    def refill(self, new_index):
        self.buf = []
        for b in range(4):
            self.buf += chacha8(self.key, (self.counter + b) & M64)
        self.counter = (self.counter + 4) & M64
        self.index = new_index

    def u32(self):
        if self.index >= 64:
            self.refill(0)
        v = self.buf[self.index]
        self.index += 1
        return v

    def u64(self):
        if self.index <= 62:
            v = self.buf[self.index] | (self.buf[self.index + 1] << 32)
            self.index += 2
            return v
        if self.index == 63:
            lo = self.buf[63]
            self.refill(1)
            return lo | (self.buf[0] << 32)
        self.refill(2)
        return self.buf[0] | (self.buf[1] << 32)

    def unit(self):
        return (self.u64() >> 11) * 2.0 ** -53

    def range_f(self, lo, hi):
        assert lo <= hi
        bits = 0x3FF0000000000000 | (self.u64() >> 12)
        u = struct.unpack("<d", struct.pack("<Q", bits))[0] - 1.0
        return lo + (hi - lo) * u

    def range_u(self, n):
        m = self.u32() * n
        hi, lo = m >> 32, m & M32
        if lo > ((1 << 32) - n) & M32:
            hi2 = (self.u32() * n) >> 32
            if lo + hi2 >= 1 << 32:
                hi += 1
        return hi

    def normal(self):
        while True:
            x64 = self.u64()
            i = x64 & 0xFF
            u = bits_to_f(0x4000000000000000 | (x64 >> 12)) - 3.0
            x = u * ZX[i]
            if abs(x) < ZX[i + 1]:
                return x
            if i == 0:
                while True:
                    a = bits_to_f(0x3FF0000000000000 | (self.u64() >> 12)) - 0.9999999999999999
                    b = bits_to_f(0x3FF0000000000000 | (self.u64() >> 12)) - 0.9999999999999999
                    tx = math.log(a) / R
                    ty = math.log(b)
                    if not (-2.0 * ty < tx * tx):
                        break
                return tx - R if u < 0 else R - tx
            f = ZF[i + 1] + (ZF[i] - ZF[i + 1]) * self.unit()
            if f < math.exp((x * x) * -0.5):
                return x


def bits_to_f(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


R = 3.654152885361009
V = 0.00492867323399


def zf(t):
    return math.exp(-t * t / 2)


ZX = [V / zf(R), R]
for j in range(2, 256):
    ZX.append(math.sqrt(-2 * math.log(V / ZX[j - 1] + zf(ZX[j - 1]))))
ZX.append(0.0)
ZF = [zf(x) for x in ZX[:256]] + [1.0]
ZF[0], ZF[3], ZF[94] = 0.000477467764586655, 0.004037972593371872, 0.2064054063986793


def plain_sum(values):
    total = 0.0
    for v in values:
        total += v
    return total


def tpe_step(seed, bounds, history, gamma=0.25, n_candidates=24):
    """bounds: sorted list of (name, lo, hi); history: list of (params, value)."""
    rng = Rng((seed + len(history)) & M64)
    if len(history) < n_candidates:
        return {name: rng.range_f(lo, hi) for name, lo, hi in bounds}
    ranked = sorted(history, key=lambda r: r[1])  # stable
    n_good = max(math.ceil(gamma * len(history)), 2)
    good_recs, bad_recs = ranked[:n_good], ranked[n_good:]
    models = []
    for name, lo, hi in bounds:
        good = [p.get(name, 0.0) for p, _ in good_recs]
        bad = [p.get(name, 0.0) for p, _ in bad_recs]
        mean = plain_sum(good) / len(good)
        sigma = math.sqrt(plain_sum([(g - mean) * (g - mean) for g in good]) / len(good))
        h = max(1.06 * sigma * len(good) ** -0.2, 1e-6)
        h = max(h, 0.02 * (hi - lo))
        models.append((name, lo, hi, good, bad, h))
    best, best_score = None, None
    for _ in range(n_candidates):
        cand, s_good, s_bad = {}, 0.0, 0.0
        for name, lo, hi, good, bad, h in models:
            i = rng.range_u(len(good))
            z = rng.normal()
            x = min(max(good[i] + h * z, lo), hi)
            cand[name] = x

            def density(centres):
                total = 0.0
                for g in centres:
                    u = (x - g) / h
                    total += math.exp(-0.5 * (u * u)) / (h * 2.5066282746310002)
                return max(total / len(centres), 1e-12)

            s_good += math.log(density(good))
            s_bad += math.log(density(bad))
        score = s_good - s_bad
        if best is None or score > best_score:
            best, best_score = cand, score
    return best


def reference_history(n):
    """The history of the C++ test: a 2-D quadratic at scattered points."""
    history = []
    for i in range(n):
        x = ((i * 37) % 101) / 100.0 * 10.0 - 5.0
        y = ((i * 53) % 97) / 96.0 * 3.0
        history.append(({"x": x, "y": y}, (x - 1.0) * (x - 1.0) + (y - 2.0) * (y - 2.0)))
    return history


if __name__ == "__main__":
    assert Rng(42).u64() == 0xAE90BFB5395D5BA1
    bounds = [("x", -5.0, 5.0), ("y", 0.0, 3.0)]
    for n in (23, 24, 25, 40):
        c = tpe_step(7, bounds, reference_history(n))
        print(n, repr(c["x"]), repr(c["y"]))
