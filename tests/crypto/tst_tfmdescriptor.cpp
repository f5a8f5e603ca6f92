// LibTomMath's descriptor (ltm_desc) is the reference the TomsFastMath one is checked against.
#define LTM_DESC

#include "crypto/tfmdescriptor.h"
#include "crypto/tomcryptutil.h"
#include "support/treesnapshot.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

extern "C" {
#include <tfm.h>
}

namespace {

const QString testPrivateKey = QStringLiteral(TEST_SOURCE_DIR "/keys/test_private.key");

// Makes d the library's math provider for the guard's lifetime.
class UsingMath
{
public:
    explicit UsingMath(const ltc_math_descriptor& d)
        : saved(ltc_mp)
    {
        ltc_mp = d;
    }
    ~UsingMath() { ltc_mp = saved; }
    Q_DISABLE_COPY(UsingMath)

private:
    ltc_math_descriptor saved;
};

QByteArray randomBytes(int length)
{
    QByteArray data(length, Qt::Uninitialized);
    if (length > 0)
        sprng_read(reinterpret_cast<unsigned char*>(data.data()), length, nullptr);
    return data;
}

// Big numbers given as (optionally negative) byte strings, computed with one descriptor.
class Calc
{
public:
    explicit Calc(const ltc_math_descriptor& d)
        : d(d)
    {
    }
    ~Calc()
    {
        for (void* n : numbers)
            d.deinit(n);
    }
    Q_DISABLE_COPY(Calc)

    void* num(const QByteArray& magnitude = QByteArray(), bool negative = false)
    {
        void* n = nullptr;
        d.init(&n);
        numbers.append(n);
        QByteArray copy = magnitude;
        d.unsigned_read(n, reinterpret_cast<unsigned char*>(copy.data()), copy.size());
        if (negative)
            d.neg(n, n);
        return n;
    }

    QString text(int result, void* n)
    {
        if (result != CRYPT_OK)
            return QStringLiteral("error");
        char buffer[4096] = {};
        d.write_radix(n, buffer, 16);
        return QString::fromLatin1(buffer).toLower();
    }

    const ltc_math_descriptor& d;
    QList<void*> numbers;
};

// One operation on arguments a, b, c (byte strings; a may be negated), as text.
using Operation = std::function<QString(Calc&, void* a, void* b, void* c)>;

QMap<QString, Operation> operations()
{
    QMap<QString, Operation> ops;
    ops[QStringLiteral("add")] = [](Calc& k, void* a, void* b, void*) {
        void* r = k.num();
        return k.text(k.d.add(a, b, r), r);
    };
    ops[QStringLiteral("sub")] = [](Calc& k, void* a, void* b, void*) {
        void* r = k.num();
        return k.text(k.d.sub(a, b, r), r);
    };
    ops[QStringLiteral("mul")] = [](Calc& k, void* a, void* b, void*) {
        void* r = k.num();
        return k.text(k.d.mul(a, b, r), r);
    };
    ops[QStringLiteral("sqr")] = [](Calc& k, void* a, void*, void*) {
        void* r = k.num();
        return k.text(k.d.sqr(a, r), r);
    };
    ops[QStringLiteral("mpdiv")] = [](Calc& k, void* a, void* b, void*) {
        void* q = k.num();
        void* r = k.num();
        const int err = k.d.mpdiv(a, b, q, r);
        return k.text(err, q) + QLatin1Char('/') + k.text(err, r);
    };
    ops[QStringLiteral("div_2")] = [](Calc& k, void* a, void*, void*) {
        void* r = k.num();
        return k.text(k.d.div_2(a, r), r);
    };
    ops[QStringLiteral("small digits")] = [](Calc& k, void* a, void* b, void*) {
        const ltc_mp_digit small = k.d.get_int(b) & 0xfffffff;
        void* sum = k.num();
        void* difference = k.num();
        void* product = k.num();
        ltc_mp_digit rest = 0;
        const int modErr = k.d.modi(a, small, &rest);
        return k.text(k.d.addi(a, small, sum), sum) + QLatin1Char(' ') +
               k.text(k.d.subi(a, small, difference), difference) + QLatin1Char(' ') +
               k.text(k.d.muli(a, small, product), product) + QLatin1Char(' ') +
               (modErr == CRYPT_OK ? QString::number(rest) : QStringLiteral("error")) +
               QLatin1Char(' ') + QString::number(k.d.compare_d(a, small));
    };
    ops[QStringLiteral("gcd lcm")] = [](Calc& k, void* a, void* b, void*) {
        void* g = k.num();
        void* l = k.num();
        return k.text(k.d.gcd(a, b, g), g) + QLatin1Char(' ') + k.text(k.d.lcm(a, b, l), l);
    };
    ops[QStringLiteral("mulmod sqrmod")] = [](Calc& k, void* a, void* b, void* c) {
        void* m = k.num();
        void* s = k.num();
        return k.text(k.d.mulmod(a, b, c, m), m) + QLatin1Char(' ') +
               k.text(k.d.sqrmod(a, c, s), s);
    };
    ops[QStringLiteral("addmod submod")] = [](Calc& k, void* a, void* b, void* c) {
        void* s = k.num();
        void* t = k.num();
        return k.text(k.d.addmod(a, b, c, s), s) + QLatin1Char(' ') +
               k.text(k.d.submod(a, b, c, t), t);
    };
    ops[QStringLiteral("invmod")] = [](Calc& k, void* a, void*, void* c) {
        // LibTomMath answers wrongly for a negative a; both get it reduced into [0, c).
        void* zero = k.num();
        void* reduced = k.num();
        void* r = k.num();
        const int err = k.d.addmod(a, zero, c, reduced);
        if (err != CRYPT_OK)
            return k.text(err, reduced);
        return k.text(k.d.invmod(reduced, c, r), r);
    };
    ops[QStringLiteral("exptmod")] = [](Calc& k, void* a, void* b, void* c) {
        void* r = k.num();
        return k.text(k.d.exptmod(a, b, c, r), r);
    };
    ops[QStringLiteral("bits and order")] = [](Calc& k, void* a, void* b, void*) {
        return QStringLiteral("%1 %2 %3 %4 %5")
            .arg(k.d.count_bits(a))
            .arg(k.d.count_lsb_bits(a))
            .arg(k.d.unsigned_size(a))
            .arg(k.d.compare(a, b))
            .arg(k.d.compare(b, a));
    };
    ops[QStringLiteral("radix")] = [](Calc& k, void* a, void*, void*) {
        QString out;
        for (int radix : {2, 10, 16, 64}) {
            char buffer[8192] = {};
            k.d.write_radix(a, buffer, radix);
            void* back = k.num();
            const int err = k.d.read_radix(back, buffer, radix);
            out += QString::fromLatin1(buffer) + QLatin1Char('=') + k.text(err, back) +
                   QLatin1Char(' ');
        }
        return out;
    };
    ops[QStringLiteral("twoexpt copy")] = [](Calc& k, void* a, void*, void*) {
        void* p = k.num();
        void* c = k.num();
        void* i = nullptr;
        const int err = k.d.init_copy(&i, a);
        k.numbers.append(i);
        return k.text(k.d.twoexpt(p, k.d.count_bits(a) % 700), p) + QLatin1Char(' ') +
               k.text(k.d.copy(a, c), c) + QLatin1Char(' ') + k.text(err, i);
    };
    return ops;
}

} // namespace

class TestTfmDescriptor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void arithmeticMatchesLibTomMath_data();
    void arithmeticMatchesLibTomMath();
    void primalityMatchesKnownValues_data();
    void primalityMatchesKnownValues();
    void inverseIsReducedAndChecked();
    void oversizedNumbersAreRefused();
    void randomNumbersComeFromSystemSource();
    void rsaMatchesLibTomMath();
    void generatedKeyIsSound();
    void openSslVerifiesOurSignature();
    void weVerifyOpenSslSignature();

private:
    QString runOpenSsl(const QStringList& arguments, const QString& dir);
};

void TestTfmDescriptor::initTestCase()
{
    crypt_init();
    QCOMPARE(QByteArray(ltc_mp.name), QByteArray(tfm_desc.name));
    // Every member but the elliptic-curve ones is set.
    const ltc_math_descriptor& d = tfm_desc;
    QVERIFY(d.init && d.init_copy && d.deinit && d.neg && d.copy && d.set_int && d.get_int &&
            d.get_digit && d.get_digit_count && d.compare && d.compare_d && d.count_bits &&
            d.count_lsb_bits && d.twoexpt && d.read_radix && d.write_radix && d.unsigned_size &&
            d.unsigned_write && d.unsigned_read && d.add && d.addi && d.sub && d.subi && d.mul &&
            d.muli && d.sqr && d.mpdiv && d.div_2 && d.modi && d.gcd && d.lcm && d.mulmod &&
            d.sqrmod && d.invmod && d.montgomery_setup && d.montgomery_normalization &&
            d.montgomery_reduce && d.montgomery_deinit && d.exptmod && d.isprime && d.rsa_keygen &&
            d.rsa_me && d.addmod && d.submod && d.rand);
}

void TestTfmDescriptor::arithmeticMatchesLibTomMath_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("sizeA");
    QTest::addColumn<int>("sizeB");
    QTest::addColumn<int>("sizeC");
    QTest::addColumn<bool>("negativeA");
    QTest::addColumn<bool>("oddC");

    const auto ops = operations();
    for (auto it = ops.cbegin(); it != ops.cend(); ++it) {
        const QString& op = it.key();
        QTest::newRow(qPrintable(op + QLatin1String(" small")))
            << op << 7 << 5 << 9 << false << true;
        QTest::newRow(qPrintable(op + QLatin1String(" rsa sized")))
            << op << 128 << 128 << 128 << false << true;
        QTest::newRow(qPrintable(op + QLatin1String(" uneven")))
            << op << 300 << 20 << 64 << false << false;
        QTest::newRow(qPrintable(op + QLatin1String(" negative")))
            << op << 64 << 40 << 33 << true << true;
        QTest::newRow(qPrintable(op + QLatin1String(" zero a")))
            << op << 0 << 16 << 16 << false << true;
    }
}

void TestTfmDescriptor::arithmeticMatchesLibTomMath()
{
    QFETCH(QString, operation);
    QFETCH(int, sizeA);
    QFETCH(int, sizeB);
    QFETCH(int, sizeC);
    QFETCH(bool, negativeA);
    QFETCH(bool, oddC);

    const Operation op = operations().value(operation);
    for (int round = 0; round < 40; ++round) {
        const QByteArray a = randomBytes(sizeA);
        const QByteArray b = randomBytes(sizeB);
        QByteArray c = randomBytes(sizeC);
        if (!c.isEmpty())
            c[c.size() - 1] = char(oddC ? (c[c.size() - 1] | 1) : (c[c.size() - 1] & ~1));
        if (!c.isEmpty())
            c[0] = char(c[0] | 0x80);
        Calc fast(tfm_desc);
        Calc reference(ltm_desc);
        const QString expected =
            op(reference, reference.num(a, negativeA), reference.num(b), reference.num(c));
        const QString actual = op(fast, fast.num(a, negativeA), fast.num(b), fast.num(c));
        QVERIFY(!expected.isEmpty());
        QCOMPARE(actual, expected);
    }
}

void TestTfmDescriptor::primalityMatchesKnownValues_data()
{
    QTest::addColumn<QString>("decimal");
    QTest::addColumn<bool>("prime");

    for (int n : {2, 3, 5, 7, 11, 13, 1613, 1619, 7919, 65537, 2147483647})
        QTest::newRow(qPrintable(QString::number(n))) << QString::number(n) << true;
    for (int n : {0, 1, 4, 9, 15, 561, 1105, 41041, 1613 * 1619, 65535})
        QTest::newRow(qPrintable(QString::number(n))) << QString::number(n) << false;
    // 2^127 - 1 and 2^521 - 1 are Mersenne primes; 2^128 + 1 is not prime.
    QTest::newRow("2^127-1") << QStringLiteral("170141183460469231731687303715884105727") << true;
    QTest::newRow("2^521-1")
        << QStringLiteral("686479766013060971498190079908139321726943530014330540939446345918554"
                          "318339765605212255964066145455497729631139148085803712198799971664381"
                          "2574028291115057151")
        << true;
    QTest::newRow("2^128+1") << QStringLiteral("340282366920938463463374607431768211457") << false;
    QTest::newRow("negative 7") << QStringLiteral("-7") << false;
}

void TestTfmDescriptor::primalityMatchesKnownValues()
{
    QFETCH(QString, decimal);
    QFETCH(bool, prime);

    for (const ltc_math_descriptor* d : {&tfm_desc, &ltm_desc}) {
        // LibTomMath refuses negative numbers.
        if (d == &ltm_desc && decimal.startsWith(QLatin1Char('-')))
            continue;
        Calc k(*d);
        void* n = k.num();
        QCOMPARE(d->read_radix(n, decimal.toLatin1().constData(), 10), int(CRYPT_OK));
        for (int rounds : {0, 8}) {
            int result = -1;
            QCOMPARE(d->isprime(n, rounds, &result), int(CRYPT_OK));
            QVERIFY2(result == (prime ? LTC_MP_YES : LTC_MP_NO), d->name);
        }
    }
}

void TestTfmDescriptor::inverseIsReducedAndChecked()
{
    for (int round = 0; round < 20; ++round) {
        Calc k(tfm_desc);
        QByteArray modulus = randomBytes(64);
        modulus[63] = char(modulus[63] | 1);
        void* m = k.num(modulus);
        void* a = k.num(randomBytes(40), true);
        void* g = k.num();
        QCOMPARE(tfm_desc.gcd(a, m, g), int(CRYPT_OK));
        if (tfm_desc.compare_d(g, 1) != LTC_MP_EQ)
            continue;
        void* inverse = k.num();
        QCOMPARE(tfm_desc.invmod(a, m, inverse), int(CRYPT_OK));
        QCOMPARE(tfm_desc.compare_d(inverse, 0), int(LTC_MP_GT));
        QCOMPARE(tfm_desc.compare(inverse, m), int(LTC_MP_LT));
        void* product = k.num();
        QCOMPARE(tfm_desc.mulmod(a, inverse, m, product), int(CRYPT_OK));
        QCOMPARE(tfm_desc.compare_d(product, 1), int(LTC_MP_EQ));
        // A negative exponent inverts the base first.
        void* minusOne = k.num(QByteArray("\x01", 1), true);
        void* power = k.num();
        QCOMPARE(tfm_desc.exptmod(a, minusOne, m, power), int(CRYPT_OK));
        QCOMPARE(tfm_desc.compare(power, inverse), int(LTC_MP_EQ));
    }
    // fp_invmod answers this one with the inverse plus the modulus.
    const QByteArray value = QByteArray::fromHex(
        "d54e30c5e729c0d9e7028683e0ff47069d1f8edc430994d287768b24bd9c1bcaf6b5173d021a35ca39ae55eb"
        "23d619ae83eb7797a760b382e9830c4f9ad75ce4ca98c0cea9b1ede26503429d9e8d27641f51aa07edecbe77"
        "8fddab95b64afd50f25e0a4472b91c47bfa66c8d512992ea3eb451ba03f37575b8cd76866602612e");
    const QByteArray modulus = QByteArray::fromHex(
        "f2afe6c293c6b10e9ac8be9a329da63cb217e09e5eb3f470519f3ba5596c29da4cbe536d95fd7474ac544bfc"
        "ad1479d25917fcf9f21c5fa10ff84a1e3f1207074975138db10be75b69dd2ce4ef2d09ed2c28cc25d56b6a2d"
        "cea224d67417c57be55cab0183580c4694367ab080a3dc120dbe2fbc6e963504b65a65047399a4c3");
    Calc reference(ltm_desc);
    void* expected = reference.num();
    QCOMPARE(ltm_desc.invmod(reference.num(value), reference.num(modulus), expected),
             int(CRYPT_OK));
    Calc k(tfm_desc);
    void* r = k.num();
    QCOMPARE(tfm_desc.invmod(k.num(value), k.num(modulus), r), int(CRYPT_OK));
    QCOMPARE(k.text(CRYPT_OK, r), reference.text(CRYPT_OK, expected));
    void* m = k.num(modulus);
    QCOMPARE(tfm_desc.invmod(k.num(value), m, m), int(CRYPT_OK));
    QCOMPARE(k.text(CRYPT_OK, m), reference.text(CRYPT_OK, expected));

    // No inverse: an error rather than an endless loop.
    QCOMPARE(tfm_desc.invmod(k.num(QByteArray("\x06", 1)), k.num(QByteArray("\x09", 1)), r),
             int(CRYPT_INVALID_ARG));
    QCOMPARE(tfm_desc.invmod(k.num(), k.num(QByteArray("\x09", 1)), r), int(CRYPT_INVALID_ARG));
    void* minusOne = k.num(QByteArray("\x01", 1), true);
    QCOMPARE(
        tfm_desc.exptmod(k.num(QByteArray("\x06", 1)), minusOne, k.num(QByteArray("\x09", 1)), r),
        int(CRYPT_INVALID_ARG));
}

void TestTfmDescriptor::oversizedNumbersAreRefused()
{
    // Numbers up to half the fixed size minus a digit read in, so that their product fits.
    const int maxBytes = int((FP_SIZE - 1) / 2 * sizeof(fp_digit));
    QVERIFY(maxBytes >= 512); // RSA keys up to 4096 bits
    Calc k(tfm_desc);
    Calc reference(ltm_desc);
    const QByteArray half(maxBytes, '\xff');
    void* n = k.num();
    QCOMPARE(tfm_desc.unsigned_read(n, reinterpret_cast<unsigned char*>(QByteArray(half).data()),
                                    half.size()),
             int(CRYPT_OK));
    QCOMPARE(tfm_desc.unsigned_size(n), static_cast<unsigned long>(half.size()));
    // Leading zeros do not count.
    QByteArray padded = QByteArray(600, '\0') + half;
    QCOMPARE(
        tfm_desc.unsigned_read(n, reinterpret_cast<unsigned char*>(padded.data()), padded.size()),
        int(CRYPT_OK));
    QCOMPARE(tfm_desc.unsigned_size(n), static_cast<unsigned long>(half.size()));
    for (int size : {maxBytes + 1, 1081, 1088, 5000}) {
        QByteArray big(size, '\x01');
        QCOMPARE(
            tfm_desc.unsigned_read(n, reinterpret_cast<unsigned char*>(big.data()), big.size()),
            int(CRYPT_OVERFLOW));
    }
    // The largest square is exact; a result that would not fit is an error, not a truncated
    // number.
    void* full = k.num();
    QCOMPARE(tfm_desc.sqr(k.num(half), full), int(CRYPT_OK));
    void* fullReference = reference.num();
    QCOMPARE(ltm_desc.sqr(reference.num(half), fullReference), int(CRYPT_OK));
    QCOMPARE(k.text(CRYPT_OK, full), reference.text(CRYPT_OK, fullReference));
    void* r = k.num();
    QCOMPARE(tfm_desc.mul(full, k.num(half), r), int(CRYPT_OVERFLOW));
    QCOMPARE(tfm_desc.sqr(full, r), int(CRYPT_OVERFLOW));
    QCOMPARE(tfm_desc.exptmod(k.num(half), k.num(half), full, r), int(CRYPT_OVERFLOW));
    QCOMPARE(tfm_desc.read_radix(r, QByteArray(2000, '7').constData(), 10), int(CRYPT_OVERFLOW));
    // Moduli beyond what fp_exptmod and fp_montgomery_reduce take: an error, not a wrong answer
    // (2^4423 - 1 is prime).
    void* mersenne = k.num();
    QCOMPARE(tfm_desc.twoexpt(mersenne, 4423), int(CRYPT_OK));
    QCOMPARE(tfm_desc.subi(mersenne, 1, mersenne), int(CRYPT_OK));
    int prime = -1;
    QCOMPARE(tfm_desc.isprime(mersenne, 8, &prime), int(CRYPT_OVERFLOW));
    ltc_mp_digit rho = 1;
    QCOMPARE(tfm_desc.montgomery_normalization(r, mersenne), int(CRYPT_OVERFLOW));
    QCOMPARE(tfm_desc.montgomery_reduce(full, mersenne, &rho), int(CRYPT_OVERFLOW));
    // The lcm with zero is zero, also for the longest number.
    void* longest = k.num();
    QCOMPARE(tfm_desc.twoexpt(longest, (FP_SIZE - 2) * DIGIT_BIT), int(CRYPT_OK));
    QCOMPARE(tfm_desc.set_int(r, 5), int(CRYPT_OK));
    QCOMPARE(tfm_desc.lcm(longest, k.num(), r), int(CRYPT_OK));
    QCOMPARE(tfm_desc.compare_d(r, 0), int(LTC_MP_EQ));

    // A public key whose modulus is too large to hold fails to import instead of crashing.
    const QByteArray modulus = QByteArray(1, '\0') + QByteArray(1200, '\x7f');
    const QByteArray exponent = QByteArray::fromHex("020301 0001");
    QByteArray integer = QByteArray::fromHex("028204b1") + modulus;
    QByteArray der = QByteArray::fromHex("3082") + char((integer.size() + 5) >> 8) +
                     char((integer.size() + 5) & 0xff) + integer + exponent;
    Rsa_key key;
    QCOMPARE(rsa_import(reinterpret_cast<const unsigned char*>(der.constData()), der.size(), &key),
             int(CRYPT_OVERFLOW));
}

void TestTfmDescriptor::randomNumbersComeFromSystemSource()
{
    Calc k(tfm_desc);
    void* a = k.num();
    void* b = k.num();
    QCOMPARE(tfm_desc.rand(a, 16), int(CRYPT_OK));
    QCOMPARE(tfm_desc.rand(b, 16), int(CRYPT_OK));
    QCOMPARE(tfm_desc.get_digit_count(a), 16);
    QVERIFY(tfm_desc.get_digit(a, 15) != 0);
    QVERIFY(tfm_desc.compare(a, b) != LTC_MP_EQ);
    // libc's generator, reseeded the same way, would give the same numbers.
    srand(1);
    tfm_desc.rand(a, 4);
    srand(1);
    tfm_desc.rand(b, 4);
    QVERIFY(tfm_desc.compare(a, b) != LTC_MP_EQ);
    QCOMPARE(tfm_desc.rand(a, 0), int(CRYPT_INVALID_ARG));
    QCOMPARE(tfm_desc.rand(a, FP_SIZE), int(CRYPT_INVALID_ARG));
}

void TestTfmDescriptor::rsaMatchesLibTomMath()
{
    const QByteArray message("same key, same message, either arithmetic");
    QByteArray input = randomBytes(128);
    input[0] = 0x01; // below the modulus
    QMap<QString, QByteArray> results;
    QMap<QString, QByteArray> signatures;
    for (const ltc_math_descriptor* d : {&tfm_desc, &ltm_desc}) {
        UsingMath math(*d);
        Rsa_key key;
        load_key(&key, QFile::encodeName(testPrivateKey).constData());
        for (int which : {PK_PUBLIC, PK_PRIVATE}) {
            unsigned char out[128];
            unsigned long length = sizeof(out);
            QCOMPARE(rsa_exptmod(reinterpret_cast<const unsigned char*>(input.constData()),
                                 input.size(), out, &length, which, &key),
                     int(CRYPT_OK));
            results[QString::number(which)] +=
                QByteArray(reinterpret_cast<const char*>(out), int(length));
        }
        unsigned char sig[128];
        unsigned long length = sizeof(sig);
        sign_msg(&key, reinterpret_cast<const unsigned char*>(message.constData()), message.size(),
                 sig, &length);
        signatures[QString::fromLatin1(d->name)] =
            QByteArray(reinterpret_cast<const char*>(sig), int(length));
        rsa_free(&key);
    }
    for (const QByteArray& both : results)
        QCOMPARE(both.left(128), both.mid(128));
    // Each arithmetic verifies the signatures of both.
    for (const ltc_math_descriptor* d : {&tfm_desc, &ltm_desc}) {
        UsingMath math(*d);
        Rsa_key key;
        load_key(&key, PUBLIC_KEY, sizeof(PUBLIC_KEY));
        for (QByteArray sig : signatures) {
            QVERIFY(verify_msg(&key, reinterpret_cast<const unsigned char*>(message.constData()),
                               message.size(), reinterpret_cast<unsigned char*>(sig.data()),
                               sig.size()));
        }
        rsa_free(&key);
    }
}

QString TestTfmDescriptor::runOpenSsl(const QStringList& arguments, const QString& dir)
{
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty())
        return QStringLiteral("openssl not found");
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(openssl, arguments);
    if (!process.waitForFinished(30000))
        return QStringLiteral("openssl did not finish");
    const QString output = QString::fromLocal8Bit(process.readAll());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("openssl failed: ") + output;
    return QString();
}

void TestTfmDescriptor::generatedKeyIsSound()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Rsa_key key;
    create_key(&key);
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("made.key")));
    save_key(&key, PK_PRIVATE, path.constData());
    rsa_free(&key);
    // OpenSSL checks that p and q are prime and that d, dP, dQ and qInv belong to them.
    const QString error =
        runOpenSsl({QStringLiteral("rsa"), QStringLiteral("-inform"), QStringLiteral("DER"),
                    QStringLiteral("-in"), QStringLiteral("made.key"), QStringLiteral("-check"),
                    QStringLiteral("-noout")},
                   dir.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void TestTfmDescriptor::openSslVerifiesOurSignature()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QFile::copy(testPrivateKey, dir.filePath(QStringLiteral("private.key"))));
    QVERIFY(writeFile(dir.path(), QStringLiteral("message"), randomBytes(3000)));
    const QByteArray message = readFile(dir.filePath(QStringLiteral("message")));
    Rsa_key key;
    load_key(&key, QFile::encodeName(testPrivateKey).constData());
    unsigned char sig[128];
    unsigned long length = sizeof(sig);
    sign_msg(&key, reinterpret_cast<const unsigned char*>(message.constData()), message.size(), sig,
             &length);
    rsa_free(&key);
    QVERIFY(writeFile(dir.path(), QStringLiteral("message.sig"),
                      QByteArray(reinterpret_cast<const char*>(sig), int(length))));
    QString error =
        runOpenSsl({QStringLiteral("rsa"), QStringLiteral("-inform"), QStringLiteral("DER"),
                    QStringLiteral("-in"), QStringLiteral("private.key"), QStringLiteral("-pubout"),
                    QStringLiteral("-out"), QStringLiteral("public.pem")},
                   dir.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QStringList verify = {
        QStringLiteral("dgst"),       QStringLiteral("-sha1"),
        QStringLiteral("-sigopt"),    QStringLiteral("rsa_padding_mode:pss"),
        QStringLiteral("-sigopt"),    QStringLiteral("rsa_pss_saltlen:8"),
        QStringLiteral("-verify"),    QStringLiteral("public.pem"),
        QStringLiteral("-signature"), QStringLiteral("message.sig"),
        QStringLiteral("message")};
    error = runOpenSsl(verify, dir.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    // And it rejects the signature for other data, so the check above means something.
    QVERIFY(writeFile(dir.path(), QStringLiteral("message"), message + "x"));
    QVERIFY(!runOpenSsl(verify, dir.path()).isEmpty());
}

void TestTfmDescriptor::weVerifyOpenSslSignature()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QFile::copy(testPrivateKey, dir.filePath(QStringLiteral("private.key"))));
    const QByteArray message = randomBytes(5000);
    QVERIFY(writeFile(dir.path(), QStringLiteral("message"), message));
    QString error =
        runOpenSsl({QStringLiteral("rsa"), QStringLiteral("-inform"), QStringLiteral("DER"),
                    QStringLiteral("-in"), QStringLiteral("private.key"), QStringLiteral("-out"),
                    QStringLiteral("private.pem")},
                   dir.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    error = runOpenSsl({QStringLiteral("dgst"), QStringLiteral("-sha1"), QStringLiteral("-sigopt"),
                        QStringLiteral("rsa_padding_mode:pss"), QStringLiteral("-sigopt"),
                        QStringLiteral("rsa_pss_saltlen:8"), QStringLiteral("-sign"),
                        QStringLiteral("private.pem"), QStringLiteral("-out"),
                        QStringLiteral("message.sig"), QStringLiteral("message")},
                       dir.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QByteArray sig = readFile(dir.filePath(QStringLiteral("message.sig")));
    QCOMPARE(sig.size(), 128);
    Rsa_key key;
    load_key(&key, PUBLIC_KEY, sizeof(PUBLIC_KEY));
    const bool valid =
        verify_msg(&key, reinterpret_cast<const unsigned char*>(message.constData()),
                   message.size(), reinterpret_cast<unsigned char*>(sig.data()), sig.size());
    QByteArray other = message;
    other[100] = char(other[100] ^ 1);
    const bool otherValid =
        verify_msg(&key, reinterpret_cast<const unsigned char*>(other.constData()), other.size(),
                   reinterpret_cast<unsigned char*>(sig.data()), sig.size());
    rsa_free(&key);
    QVERIFY(valid);
    QVERIFY(!otherValid);
}

QTEST_GUILESS_MAIN(TestTfmDescriptor)
#include "tst_tfmdescriptor.moc"
