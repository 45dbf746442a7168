// Prints the coefficients of the sine and cosine polynomials of
// dsp/exact_math.cpp and their error: P(z) with sin r = r + r³·P(r²) and Q(z)
// with cos r = 1 − r²/2 + r⁴·Q(r²), each interpolating its function at the
// Chebyshev nodes of z ∈ [0, 0.6178] (r up to 0.786), computed with MPFR.
//
//   zq_exact_math_fit [terms]      (6 by default)

#include <mpfr.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr mpfr_prec_t kPrec = 320;
constexpr double kTop = 0.6178; // 0.786²

class Big {
public:
    Big() { mpfr_init2(v_, kPrec); }
    ~Big() { mpfr_clear(v_); }
    Big(const Big& o) : Big() { mpfr_set(v_, o.v_, MPFR_RNDN); }
    Big& operator=(const Big& o)
    {
        mpfr_set(v_, o.v_, MPFR_RNDN);
        return *this;
    }
    mpfr_ptr operator*() { return v_; }
    mpfr_srcptr operator*() const { return v_; }

private:
    mpfr_t v_;
};

// (sin s − s)/s³ or (cos s − 1 + s²/2)/s⁴ at z = s².
Big target(bool sine, const Big& z)
{
    Big s, t, d, out;
    mpfr_sqrt(*s, *z, MPFR_RNDN);
    if (sine) {
        mpfr_sin(*t, *s, MPFR_RNDN);
        mpfr_sub(*t, *t, *s, MPFR_RNDN);
        mpfr_mul(*d, *s, *z, MPFR_RNDN);
    } else {
        mpfr_cos(*t, *s, MPFR_RNDN);
        mpfr_sub_ui(*t, *t, 1, MPFR_RNDN);
        mpfr_div_2ui(*d, *z, 1, MPFR_RNDN);
        mpfr_add(*t, *t, *d, MPFR_RNDN);
        mpfr_sqr(*d, *z, MPFR_RNDN);
    }
    mpfr_div(*out, *t, *d, MPFR_RNDN);
    return out;
}

void fit(bool sine, int n)
{
    // The interpolation conditions at the nodes, solved by Gauss-Jordan
    // elimination with partial pivoting.
    std::vector<std::vector<Big>> a(n, std::vector<Big>(n + 1));
    Big z, t;
    for (int k = 0; k < n; ++k) {
        mpfr_const_pi(*t, MPFR_RNDN);
        mpfr_mul_ui(*t, *t, 2 * k + 1, MPFR_RNDN);
        mpfr_div_ui(*t, *t, 2 * n, MPFR_RNDN);
        mpfr_cos(*t, *t, MPFR_RNDN);
        mpfr_ui_sub(*t, 1, *t, MPFR_RNDN);
        mpfr_mul_d(*z, *t, kTop / 2, MPFR_RNDN);
        mpfr_set_ui(*t, 1, MPFR_RNDN);
        for (int j = 0; j < n; ++j) {
            mpfr_set(*a[k][j], *t, MPFR_RNDN);
            mpfr_mul(*t, *t, *z, MPFR_RNDN);
        }
        a[k][n] = target(sine, z);
    }
    for (int c = 0; c < n; ++c) {
        int pivot = c;
        for (int r = c + 1; r < n; ++r) {
            if (mpfr_cmpabs(*a[r][c], *a[pivot][c]) > 0) {
                pivot = r;
            }
        }
        std::swap(a[c], a[pivot]);
        for (int r = 0; r < n; ++r) {
            if (r == c) {
                continue;
            }
            Big f, p;
            mpfr_div(*f, *a[r][c], *a[c][c], MPFR_RNDN);
            for (int j = c; j <= n; ++j) {
                mpfr_mul(*p, *f, *a[c][j], MPFR_RNDN);
                mpfr_sub(*a[r][j], *a[r][j], *p, MPFR_RNDN);
            }
        }
    }
    std::vector<double> coef(n);
    std::printf("%s:", sine ? "P (sin)" : "Q (cos)");
    for (int c = 0; c < n; ++c) {
        mpfr_div(*t, *a[c][n], *a[c][c], MPFR_RNDN);
        coef[c] = mpfr_get_d(*t, MPFR_RNDN);
        std::printf(" %a", coef[c]);
    }
    // The error of the polynomial with its coefficients rounded to double,
    // relative to sin r or cos r, on a fine grid.
    double worst = 0.0;
    for (int i = 1; i <= 20000; ++i) {
        const double zz = kTop * i / 20000.0;
        mpfr_set_d(*z, zz, MPFR_RNDN);
        const Big f = target(sine, z);
        mpfr_set_d(*t, coef[n - 1], MPFR_RNDN);
        for (int j = n - 2; j >= 0; --j) {
            mpfr_mul(*t, *t, *z, MPFR_RNDN);
            mpfr_add_d(*t, *t, coef[j], MPFR_RNDN);
        }
        mpfr_sub(*t, *t, *f, MPFR_RNDN);
        const double d = std::fabs(mpfr_get_d(*t, MPFR_RNDN));
        const double s = std::sqrt(zz);
        worst = std::fmax(worst, sine ? d * zz / (std::sin(s) / s) : d * zz * zz / std::cos(s));
    }
    std::printf("\n  error below 2^%.2f of the result\n", std::log2(worst));
}

} // namespace

int main(int argc, char** argv)
{
    const int n = argc > 1 ? std::atoi(argv[1]) : 6;
    if (n < 2 || n > 10) {
        std::fprintf(stderr, "usage: %s [terms 2..10]\n", argv[0]);
        return 2;
    }
    fit(true, n);
    fit(false, n);
    return 0;
}
