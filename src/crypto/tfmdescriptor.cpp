#include "crypto/tfmdescriptor.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

// tfm.h has no C++ guard of its own.
extern "C" {
#include <tfm.h>
}

// Every local fp_int is zeroed first: fp_add, fp_sub and friends clear their destination up
// to its previous length, which would be garbage.

namespace {

// Numbers read in stay below half of the fixed size, so that the product of two of them fits
// (fp_read_unsigned_bin also writes past the number for inputs near the full size).
constexpr int MaxDigits = (FP_SIZE - 1) / 2;
constexpr unsigned long MaxBytes = MaxDigits * sizeof(fp_digit);

fp_int* num(void* a)
{
    return static_cast<fp_int*>(a);
}

int fpError(int err)
{
    switch (err) {
    case FP_OKAY:
        return CRYPT_OK;
    case FP_MEM:
        return CRYPT_MEM;
    default:
        return CRYPT_INVALID_ARG;
    }
}

int used(void* a)
{
    return num(a)->used;
}

// fp_ arithmetic silently truncates a result longer than FP_SIZE - 1 digits (fp_sqr keeps no
// more), so results that might not fit are refused beforehand.
bool fits(int digits)
{
    return digits < FP_SIZE;
}

int init(void** a)
{
    LTC_ARGCHK(a != nullptr);
    *a = std::calloc(1, sizeof(fp_int));
    if (*a == nullptr)
        return CRYPT_MEM;
    fp_init(num(*a));
    return CRYPT_OK;
}

void deinit(void* a)
{
    std::free(a);
}

int neg(void* a, void* b)
{
    fp_neg(num(a), num(b));
    return CRYPT_OK;
}

int copy(void* a, void* b)
{
    fp_copy(num(a), num(b));
    return CRYPT_OK;
}

int initCopy(void** a, void* b)
{
    const int err = init(a);
    if (err != CRYPT_OK)
        return err;
    return copy(b, *a);
}

int setInt(void* a, ltc_mp_digit b)
{
    fp_set(num(a), static_cast<fp_digit>(b));
    return CRYPT_OK;
}

unsigned long getInt(void* a)
{
    return num(a)->used == 0 ? 0 : static_cast<unsigned long>(num(a)->dp[0]);
}

ltc_mp_digit getDigit(void* a, int n)
{
    fp_int* A = num(a);
    return (n < 0 || n >= A->used) ? 0 : static_cast<ltc_mp_digit>(A->dp[n]);
}

int getDigitCount(void* a)
{
    return num(a)->used;
}

int toLtcOrder(int cmp)
{
    if (cmp < 0)
        return LTC_MP_LT;
    return cmp > 0 ? LTC_MP_GT : LTC_MP_EQ;
}

int compare(void* a, void* b)
{
    return toLtcOrder(fp_cmp(num(a), num(b)));
}

int compareD(void* a, ltc_mp_digit b)
{
    return toLtcOrder(fp_cmp_d(num(a), static_cast<fp_digit>(b)));
}

int countBits(void* a)
{
    return fp_count_bits(num(a));
}

int countLsbBits(void* a)
{
    return fp_cnt_lsb(num(a));
}

int twoExpt(void* a, int n)
{
    if (n < 0 || !fits(n / DIGIT_BIT + 1))
        return CRYPT_OVERFLOW;
    fp_2expt(num(a), n);
    return CRYPT_OK;
}

int bitsPerSymbol(int radix)
{
    int bits = 0;
    while ((1 << bits) < radix)
        ++bits;
    return bits;
}

int readRadix(void* a, const char* str, int radix)
{
    if (radix < 2 || radix > 64)
        return CRYPT_INVALID_ARG;
    const char* digits = str;
    while (*digits == '-' || *digits == '0')
        ++digits;
    if (std::strlen(digits) * bitsPerSymbol(radix) > MaxBytes * 8)
        return CRYPT_OVERFLOW;
    return fpError(fp_read_radix(num(a), str, radix));
}

int writeRadix(void* a, char* str, int radix)
{
    return fpError(fp_toradix(num(a), str, radix));
}

unsigned long unsignedSize(void* a)
{
    return static_cast<unsigned long>(fp_unsigned_bin_size(num(a)));
}

int unsignedWrite(void* a, unsigned char* b)
{
    fp_to_unsigned_bin(num(a), b);
    return CRYPT_OK;
}

int unsignedRead(void* a, unsigned char* b, unsigned long len)
{
    while (len > 0 && *b == 0) {
        ++b;
        --len;
    }
    if (len > MaxBytes)
        return CRYPT_OVERFLOW;
    fp_read_unsigned_bin(num(a), b, static_cast<int>(len));
    return CRYPT_OK;
}

int add(void* a, void* b, void* c)
{
    if (!fits(std::max(used(a), used(b)) + 1))
        return CRYPT_OVERFLOW;
    fp_add(num(a), num(b), num(c));
    return CRYPT_OK;
}

int addi(void* a, ltc_mp_digit b, void* c)
{
    if (!fits(used(a) + 1))
        return CRYPT_OVERFLOW;
    fp_add_d(num(a), static_cast<fp_digit>(b), num(c));
    return CRYPT_OK;
}

int sub(void* a, void* b, void* c)
{
    if (!fits(std::max(used(a), used(b)) + 1))
        return CRYPT_OVERFLOW;
    fp_sub(num(a), num(b), num(c));
    return CRYPT_OK;
}

int subi(void* a, ltc_mp_digit b, void* c)
{
    if (!fits(used(a) + 1))
        return CRYPT_OVERFLOW;
    fp_sub_d(num(a), static_cast<fp_digit>(b), num(c));
    return CRYPT_OK;
}

int mul(void* a, void* b, void* c)
{
    if (!fits(used(a) + used(b)))
        return CRYPT_OVERFLOW;
    fp_mul(num(a), num(b), num(c));
    return CRYPT_OK;
}

int muli(void* a, ltc_mp_digit b, void* c)
{
    if (!fits(used(a) + 1))
        return CRYPT_OVERFLOW;
    fp_mul_d(num(a), static_cast<fp_digit>(b), num(c));
    return CRYPT_OK;
}

int sqr(void* a, void* b)
{
    if (!fits(2 * used(a)))
        return CRYPT_OVERFLOW;
    fp_sqr(num(a), num(b));
    return CRYPT_OK;
}

int mpdiv(void* a, void* b, void* c, void* d)
{
    // fp_div normalises the dividend by up to a digit and keeps one more for the quotient.
    if (!fits(used(a) + 2))
        return CRYPT_OVERFLOW;
    return fpError(fp_div(num(a), num(b), num(c), num(d)));
}

int div2(void* a, void* b)
{
    fp_div_2(num(a), num(b));
    return CRYPT_OK;
}

int modi(void* a, ltc_mp_digit b, ltc_mp_digit* c)
{
    fp_digit rest = 0;
    const int err = fp_mod_d(num(a), static_cast<fp_digit>(b), &rest);
    if (err != FP_OKAY)
        return fpError(err);
    *c = static_cast<ltc_mp_digit>(rest);
    return CRYPT_OK;
}

// fp_gcd can loop forever on a negative operand; gcd and lcm depend only on magnitudes.
int gcd(void* a, void* b, void* c)
{
    if (!fits(std::max(used(a), used(b)) + 2))
        return CRYPT_OVERFLOW;
    fp_int x;
    fp_int y;
    fp_abs(num(a), &x);
    fp_abs(num(b), &y);
    fp_gcd(&x, &y, num(c));
    return CRYPT_OK;
}

int lcm(void* a, void* b, void* c)
{
    // fp_lcm divides by the gcd, which for a zero operand is the other one at full length.
    if (fp_iszero(num(a)) || fp_iszero(num(b))) {
        fp_zero(num(c));
        return CRYPT_OK;
    }
    if (!fits(used(a) + used(b)))
        return CRYPT_OVERFLOW;
    fp_int x;
    fp_int y;
    fp_abs(num(a), &x);
    fp_abs(num(b), &y);
    fp_lcm(&x, &y, num(c));
    return CRYPT_OK;
}

int mulmod(void* a, void* b, void* c, void* d)
{
    if (!fits(used(a) + used(b) + 2) || !fits(used(c) + 2))
        return CRYPT_OVERFLOW;
    return fpError(fp_mulmod(num(a), num(b), num(c), num(d)));
}

int sqrmod(void* a, void* b, void* c)
{
    if (!fits(2 * used(a) + 2) || !fits(used(b) + 2))
        return CRYPT_OVERFLOW;
    return fpError(fp_sqrmod(num(a), num(b), num(c)));
}

// fp_invmod loops forever when a has no inverse, answers wrongly for a negative a and may leave
// its result above the modulus: reduce a first, refuse when it shares a factor with the
// modulus, and reduce the result.
int invmod(void* a, void* b, void* c)
{
    fp_int* m = num(b);
    if (m->sign == FP_NEG || fp_cmp_d(m, 1) != FP_GT)
        return CRYPT_INVALID_ARG;
    if (!fits(used(a) + 2) || !fits(used(b) + 2))
        return CRYPT_OVERFLOW;
    fp_int reduced;
    fp_init(&reduced);
    int err = fp_mod(num(a), m, &reduced);
    if (err != FP_OKAY)
        return fpError(err);
    fp_int common;
    fp_init(&common);
    fp_gcd(&reduced, m, &common);
    if (fp_cmp_d(&common, 1) != FP_EQ)
        return CRYPT_INVALID_ARG;
    // Into a local: c may be the modulus itself.
    fp_int inverse;
    fp_init(&inverse);
    err = fp_invmod(&reduced, m, &inverse);
    if (err != FP_OKAY)
        return fpError(err);
    return fpError(fp_mod(&inverse, m, num(c)));
}

int addmod(void* a, void* b, void* c, void* d)
{
    if (!fits(std::max(used(a), used(b)) + 3) || !fits(used(c) + 2))
        return CRYPT_OVERFLOW;
    return fpError(fp_addmod(num(a), num(b), num(c), num(d)));
}

int submod(void* a, void* b, void* c, void* d)
{
    if (!fits(std::max(used(a), used(b)) + 3) || !fits(used(c) + 2))
        return CRYPT_OVERFLOW;
    return fpError(fp_submod(num(a), num(b), num(c), num(d)));
}

int montgomerySetup(void* a, void** b)
{
    if (used(a) > MaxDigits)
        return CRYPT_OVERFLOW;
    auto* rho = static_cast<fp_digit*>(std::calloc(1, sizeof(fp_digit)));
    if (rho == nullptr)
        return CRYPT_MEM;
    const int err = fp_montgomery_setup(num(a), rho);
    if (err != FP_OKAY) {
        std::free(rho);
        return fpError(err);
    }
    *b = rho;
    return CRYPT_OK;
}

int montgomeryNormalization(void* a, void* b)
{
    if (used(b) > MaxDigits)
        return CRYPT_OVERFLOW;
    fp_montgomery_calc_normalization(num(a), num(b));
    return CRYPT_OK;
}

int montgomeryReduce(void* a, void* b, void* c)
{
    // fp_montgomery_reduce returns without a word for a modulus it cannot handle.
    if (used(b) > MaxDigits)
        return CRYPT_OVERFLOW;
    fp_montgomery_reduce(num(a), num(b), *static_cast<fp_digit*>(c));
    return CRYPT_OK;
}

void montgomeryDeinit(void* a)
{
    std::free(a);
}

// Square-and-multiply for the moduli that fp_exptmod refuses (even ones); e is not negative.
int plainExptmod(fp_int* g, fp_int* e, fp_int* m, fp_int* y)
{
    fp_int base;
    fp_init(&base);
    fp_int result;
    fp_init(&result);
    int err = fp_mod(g, m, &base);
    if (err != FP_OKAY)
        return fpError(err);
    fp_set(&result, 1);
    err = fp_mod(&result, m, &result);
    for (int bit = fp_count_bits(e) - 1; bit >= 0 && err == FP_OKAY; --bit) {
        err = fp_sqrmod(&result, m, &result);
        const int digit = bit / DIGIT_BIT;
        if (err == FP_OKAY && ((e->dp[digit] >> (bit % DIGIT_BIT)) & 1))
            err = fp_mulmod(&result, &base, m, &result);
    }
    if (err != FP_OKAY)
        return fpError(err);
    fp_copy(&result, y);
    return CRYPT_OK;
}

int exptmod(void* a, void* b, void* c, void* d)
{
    fp_int* m = num(c);
    if (fp_iszero(m) || m->sign == FP_NEG)
        return CRYPT_INVALID_ARG;
    // Montgomery reduction works on twice the modulus length.
    if (m->used > MaxDigits || !fits(used(a) + 2))
        return CRYPT_OVERFLOW;
    fp_int base;
    fp_init(&base);
    fp_copy(num(a), &base);
    fp_int exponent;
    fp_init(&exponent);
    fp_copy(num(b), &exponent);
    if (exponent.sign == FP_NEG) {
        const int err = invmod(num(a), m, &base);
        if (err != CRYPT_OK)
            return err;
        exponent.sign = FP_ZPOS;
    }
    if (fp_iseven(m))
        return plainExptmod(&base, &exponent, m, num(d));
    return fpError(fp_exptmod(&base, &exponent, m, num(d)));
}

constexpr int SmallPrimeCount = 256;

// The first SmallPrimeCount primes: trial divisors and Miller-Rabin bases.
const fp_digit* smallPrimes()
{
    static const auto table = [] {
        struct Table
        {
            fp_digit p[SmallPrimeCount];
        } t{};
        int count = 0;
        for (fp_digit n = 2; count < SmallPrimeCount; ++n) {
            bool prime = true;
            for (int i = 0; i < count && t.p[i] * t.p[i] <= n; ++i)
                prime = prime && n % t.p[i] != 0;
            if (prime)
                t.p[count++] = n;
        }
        return t;
    }();
    return table.p;
}

// One Miller-Rabin round of the odd n > 3 with n - 1 = d * 2^s.
bool passesMillerRabin(fp_int* n, fp_int* nMinusOne, fp_int* d, int s, fp_digit base)
{
    fp_int a;
    fp_init(&a);
    fp_int x;
    fp_init(&x);
    fp_set(&a, base);
    if (fp_exptmod(&a, d, n, &x) != FP_OKAY)
        return false;
    if (fp_cmp_d(&x, 1) == FP_EQ || fp_cmp(&x, nMinusOne) == FP_EQ)
        return true;
    for (int i = 1; i < s; ++i) {
        if (fp_sqrmod(&x, n, &x) != FP_OKAY)
            return false;
        if (fp_cmp(&x, nMinusOne) == FP_EQ)
            return true;
        if (fp_cmp_d(&x, 1) == FP_EQ)
            return false;
    }
    return false;
}

// fp_isprime calls small primes composite, and the round-count variant is not exported.
int isprime(void* a, int b, int* c)
{
    fp_int* n = num(a);
    *c = LTC_MP_NO;
    if (n->sign == FP_NEG || fp_cmp_d(n, 2) == FP_LT)
        return CRYPT_OK;
    const fp_digit* primes = smallPrimes();
    for (int i = 0; i < SmallPrimeCount; ++i) {
        if (fp_cmp_d(n, primes[i]) == FP_EQ) {
            *c = LTC_MP_YES;
            return CRYPT_OK;
        }
        fp_digit rest = 0;
        if (fp_mod_d(n, primes[i], &rest) != FP_OKAY)
            return CRYPT_ERROR;
        if (rest == 0)
            return CRYPT_OK;
    }
    // fp_exptmod refuses such a modulus, which would read as "composite".
    if (n->used > MaxDigits)
        return CRYPT_OVERFLOW;
    int rounds = b > 0 ? b : LTC_MILLER_RABIN_REPS;
    if (rounds > SmallPrimeCount)
        rounds = SmallPrimeCount;
    fp_int nMinusOne;
    fp_init(&nMinusOne);
    fp_sub_d(n, 1, &nMinusOne);
    const int s = fp_cnt_lsb(&nMinusOne);
    fp_int d;
    fp_init(&d);
    fp_int dropped;
    fp_init(&dropped);
    fp_div_2d(&nMinusOne, s, &d, &dropped);
    for (int i = 0; i < rounds; ++i) {
        if (!passesMillerRabin(n, &nMinusOne, &d, s, primes[i]))
            return CRYPT_OK;
    }
    *c = LTC_MP_YES;
    return CRYPT_OK;
}

// size digits with a non-zero top digit, from the registered system source (fp_rand uses
// libc rand()).
int randomNumber(void* a, int size)
{
    if (size <= 0 || size > MaxDigits)
        return CRYPT_INVALID_ARG;
    const int prng = find_prng("sprng");
    if (prng < 0)
        return CRYPT_INVALID_PRNG;
    fp_int* A = num(a);
    fp_zero(A);
    const unsigned long bytes = static_cast<unsigned long>(size) * sizeof(fp_digit);
    if (prng_descriptor[prng].read(reinterpret_cast<unsigned char*>(A->dp), bytes, nullptr) !=
        bytes)
        return CRYPT_ERROR_READPRNG;
    while (A->dp[size - 1] == 0) {
        if (prng_descriptor[prng].read(reinterpret_cast<unsigned char*>(&A->dp[size - 1]),
                                       sizeof(fp_digit), nullptr) != sizeof(fp_digit))
            return CRYPT_ERROR_READPRNG;
    }
    A->used = size;
    A->sign = FP_ZPOS;
    return CRYPT_OK;
}

ltc_math_descriptor makeDescriptor()
{
    ltc_math_descriptor d{};
    d.name = "TomsFastMath";
    d.bits_per_digit = DIGIT_BIT;
    d.init = init;
    d.init_copy = initCopy;
    d.deinit = deinit;
    d.neg = neg;
    d.copy = copy;
    d.set_int = setInt;
    d.get_int = getInt;
    d.get_digit = getDigit;
    d.get_digit_count = getDigitCount;
    d.compare = compare;
    d.compare_d = compareD;
    d.count_bits = countBits;
    d.count_lsb_bits = countLsbBits;
    d.twoexpt = twoExpt;
    d.read_radix = readRadix;
    d.write_radix = writeRadix;
    d.unsigned_size = unsignedSize;
    d.unsigned_write = unsignedWrite;
    d.unsigned_read = unsignedRead;
    d.add = add;
    d.addi = addi;
    d.sub = sub;
    d.subi = subi;
    d.mul = mul;
    d.muli = muli;
    d.sqr = sqr;
    d.mpdiv = mpdiv;
    d.div_2 = div2;
    d.modi = modi;
    d.gcd = gcd;
    d.lcm = lcm;
    d.mulmod = mulmod;
    d.sqrmod = sqrmod;
    d.invmod = invmod;
    d.montgomery_setup = montgomerySetup;
    d.montgomery_normalization = montgomeryNormalization;
    d.montgomery_reduce = montgomeryReduce;
    d.montgomery_deinit = montgomeryDeinit;
    d.exptmod = exptmod;
    d.isprime = isprime;
    d.rsa_keygen = rsa_make_key;
    d.rsa_me = rsa_exptmod;
    d.addmod = addmod;
    d.submod = submod;
    d.rand = randomNumber;
    return d;
}

} // namespace

extern "C" const ltc_math_descriptor tfm_desc = makeDescriptor();
