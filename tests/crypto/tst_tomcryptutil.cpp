#include "crypto/tomcryptutil.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <functional>

namespace {

const QString testPrivateKey = QStringLiteral(TEST_SOURCE_DIR "/keys/test_private.key");
const QString testPublicKey = QStringLiteral(TEST_SOURCE_DIR "/keys/test_public.key");

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

QByteArray signature(Rsa_key* key, const QByteArray& message)
{
    unsigned char out[512];
    unsigned long length = sizeof(out);
    sign_msg(key, bytes(message), message.size(), out, &length);
    return QByteArray(reinterpret_cast<const char*>(out), int(length));
}

// The text of the crypt_exception that f throws; empty when it throws none.
QByteArray thrownText(const std::function<void()>& f)
{
    try {
        f();
    } catch (const crypt_exception& e) {
        return QByteArray(e.what());
    }
    return QByteArray();
}

QByteArray exported(Rsa_key* key, int type)
{
    unsigned char buffer[2048];
    unsigned long length = sizeof(buffer);
    check_err("rsa_export", rsa_export(buffer, &length, type, key));
    return QByteArray(reinterpret_cast<const char*>(buffer), int(length));
}

} // namespace

class TestTomCryptUtil : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void initTwiceKeepsPositions();
    void signatureOfMessageVerifies();
    void flippedMessageBitFailsWithoutException();
    void badSignatureFailsOrThrows_data();
    void badSignatureFailsOrThrows();
    void embeddedPublicKeyImportsFromWholeArray();
    void keyFilesRoundTrip_data();
    void keyFilesRoundTrip();
    void missingKeyFileThrowsImportError();
    void saveKeyIntoMissingFolderThrows();
    void readFileReturnsWholeContent_data();
    void readFileReturnsWholeContent();
    void unreadableFileThrows();
    void writeFileReplacesContent();

private:
    QString verifyError(const QByteArray& message, QByteArray sig, bool* valid);

    Rsa_key privateKey;
    Rsa_key publicKey;
};

void TestTomCryptUtil::initTestCase()
{
    crypt_init();
    load_key(&privateKey, QFile::encodeName(testPrivateKey).constData());
    load_key(&publicKey, QFile::encodeName(testPublicKey).constData());
    QCOMPARE(privateKey.type, int(PK_PRIVATE));
    QCOMPARE(publicKey.type, int(PK_PUBLIC));
}

void TestTomCryptUtil::cleanupTestCase()
{
    rsa_free(&privateKey);
    rsa_free(&publicKey);
}

void TestTomCryptUtil::initTwiceKeepsPositions()
{
    crypt_init();
    const int hash = hash_idx;
    const int prng = prng_idx;
    QVERIFY(hash >= 0);
    QVERIFY(prng >= 0);
    QCOMPARE(hash, find_hash("sha1"));
    QCOMPARE(prng, find_prng("sprng"));
    crypt_init();
    QCOMPARE(hash_idx, hash);
    QCOMPARE(prng_idx, prng);
    QCOMPARE(QByteArray(ltc_mp.name), QByteArray("TomsFastMath"));
}

// Verifies signature of message with the test public key: the exception's text, or empty.
QString TestTomCryptUtil::verifyError(const QByteArray& message, QByteArray sig, bool* valid)
{
    try {
        *valid = verify_msg(&publicKey, bytes(message), message.size(),
                            reinterpret_cast<unsigned char*>(sig.data()), sig.size());
        return QString();
    } catch (const crypt_exception& e) {
        *valid = false;
        return QString::fromLatin1(e.what());
    }
}

void TestTomCryptUtil::signatureOfMessageVerifies()
{
    const QByteArray message("the product ini\n[section]\nfile=abc,12\n");
    const QByteArray sig = signature(&privateKey, message);
    QCOMPARE(sig.size(), 128);
    bool valid = false;
    QCOMPARE(verifyError(message, sig, &valid), QString());
    QVERIFY(valid);
    // PSS draws a fresh salt: two signatures differ and both verify.
    const QByteArray second = signature(&privateKey, message);
    QVERIFY(second != sig);
    QCOMPARE(verifyError(message, second, &valid), QString());
    QVERIFY(valid);
    // An empty message has a signature too.
    QCOMPARE(verifyError(QByteArray(), signature(&privateKey, QByteArray()), &valid), QString());
    QVERIFY(valid);
}

void TestTomCryptUtil::flippedMessageBitFailsWithoutException()
{
    QByteArray message(1000, 'x');
    const QByteArray sig = signature(&privateKey, message);
    for (int bit : {0, 7, 4000, 7999}) {
        QByteArray changed = message;
        changed[bit / 8] = char(changed[bit / 8] ^ (1 << (bit % 8)));
        bool valid = true;
        QCOMPARE(verifyError(changed, sig, &valid), QString());
        QVERIFY2(!valid, qPrintable(QString::number(bit)));
    }
}

void TestTomCryptUtil::badSignatureFailsOrThrows_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("corruptAt");
    QTest::addColumn<QString>("expectedError"); // empty: false or any library error

    const QString invalidPacket = QStringLiteral("rsa_verify_hash: Invalid input packet.");
    QTest::newRow("empty") << 0 << -1 << invalidPacket;
    QTest::newRow("127 bytes") << 127 << -1 << invalidPacket;
    QTest::newRow("129 bytes") << 129 << -1 << invalidPacket;
    QTest::newRow("first byte corrupted") << 128 << 0 << QString();
    QTest::newRow("middle byte corrupted") << 128 << 64 << QString();
    QTest::newRow("last byte corrupted") << 128 << 127 << QString();
    QTest::newRow("all bits set") << 128 << -2 << QString();
}

void TestTomCryptUtil::badSignatureFailsOrThrows()
{
    QFETCH(int, length);
    QFETCH(int, corruptAt);
    QFETCH(QString, expectedError);

    const QByteArray message("release 42");
    QByteArray sig = signature(&privateKey, message);
    if (corruptAt == -2)
        sig.fill(char(0xff));
    else if (corruptAt >= 0)
        sig[corruptAt] = char(sig[corruptAt] ^ 0x5a);
    if (length < sig.size())
        sig.truncate(length);
    while (sig.size() < length)
        sig.append('\0');

    bool valid = true;
    const QString error = verifyError(message, sig, &valid);
    QVERIFY(!valid);
    if (!expectedError.isEmpty())
        QCOMPARE(error, expectedError);
    else if (!error.isEmpty())
        QVERIFY2(error.startsWith(QLatin1String("rsa_verify_hash: ")), qPrintable(error));
}

void TestTomCryptUtil::embeddedPublicKeyImportsFromWholeArray()
{
    QCOMPARE(sizeof(PUBLIC_KEY), size_t(2048));
    Rsa_key key;
    load_key(&key, PUBLIC_KEY, sizeof(PUBLIC_KEY));
    QCOMPARE(key.type, int(PK_PUBLIC));
    QCOMPARE(rsa_get_size(&key), 128);
    // The build embeds the key of test_public.key.
    QCOMPARE(exported(&key, PK_PUBLIC), exported(&publicKey, PK_PUBLIC));
    QCOMPARE(exported(&key, PK_PUBLIC).size(), 140);
    const QByteArray message("checked with the embedded key");
    QByteArray sig = signature(&privateKey, message);
    QVERIFY(verify_msg(&key, bytes(message), message.size(),
                       reinterpret_cast<unsigned char*>(sig.data()), sig.size()));
    rsa_free(&key);
}

void TestTomCryptUtil::keyFilesRoundTrip_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("public") << int(PK_PUBLIC);
    QTest::newRow("private") << int(PK_PRIVATE);
}

void TestTomCryptUtil::keyFilesRoundTrip()
{
    QFETCH(int, type);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Rsa_key made;
    create_key(&made);
    QCOMPARE(rsa_get_size(&made), 128);
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("made.key")));
    QFile::remove(QString::fromLocal8Bit(path));
    // An existing longer file is replaced, not overwritten in place.
    QFile old(QString::fromLocal8Bit(path));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(5000, 'z'));
    old.close();
    save_key(&made, type, path.constData());
    QCOMPARE(QFileInfo(QString::fromLocal8Bit(path)).size(), qint64(2048));

    Rsa_key loaded;
    load_key(&loaded, path.constData());
    QCOMPARE(loaded.type, type);
    QCOMPARE(exported(&loaded, type), exported(&made, type));

    const QByteArray message("round trip");
    QByteArray sig = signature(&made, message);
    QVERIFY(verify_msg(&loaded, bytes(message), message.size(),
                       reinterpret_cast<unsigned char*>(sig.data()), sig.size()));
    if (type == PK_PRIVATE) {
        QByteArray again = signature(&loaded, message);
        QVERIFY(verify_msg(&made, bytes(message), message.size(),
                           reinterpret_cast<unsigned char*>(again.data()), again.size()));
    }
    rsa_free(&loaded);
    rsa_free(&made);
}

void TestTomCryptUtil::missingKeyFileThrowsImportError()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Rsa_key key;
    const QByteArray missing = QFile::encodeName(dir.filePath(QStringLiteral("none.key")));
    const QByteArray error = thrownText([&] { load_key(&key, missing.constData()); });
    QVERIFY2(error.startsWith("rsa_import: "), error.constData());
}

void TestTomCryptUtil::saveKeyIntoMissingFolderThrows()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("no/such/out.key")));
    QCOMPARE(thrownText([&] { save_key(&publicKey, PK_PUBLIC, path.constData()); }),
             "Cannot open file for writing: " + path);
    // A public key cannot be exported as private: the existing file stays as it was.
    const QByteArray kept = QFile::encodeName(dir.filePath(QStringLiteral("kept.key")));
    save_key(&publicKey, PK_PUBLIC, kept.constData());
    const QByteArray before = [&] {
        QFile f(QString::fromLocal8Bit(kept));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    QVERIFY_EXCEPTION_THROWN(save_key(&publicKey, PK_PRIVATE, kept.constData()), crypt_exception);
    QFile after(QString::fromLocal8Bit(kept));
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), before);
}

void TestTomCryptUtil::readFileReturnsWholeContent_data()
{
    QTest::addColumn<int>("size");
    for (int size : {0, 1, 2047, 2048, 2049, 100000})
        QTest::newRow(qPrintable(QString::number(size))) << size;
}

void TestTomCryptUtil::readFileReturnsWholeContent()
{
    QFETCH(int, size);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QByteArray content(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        content[i] = char(i * 7 + i / 256);
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("data.bin")));
    write_file(path.constData(), reinterpret_cast<unsigned char*>(content.data()), content.size());
    unsigned char* buffer = nullptr;
    unsigned long length = 12345;
    read_file(path.constData(), &buffer, &length);
    QCOMPARE(length, static_cast<unsigned long>(size));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer), int(length)), content);
    std::free(buffer);
}

void TestTomCryptUtil::unreadableFileThrows()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("missing")));
    unsigned char* buffer = nullptr;
    unsigned long length = 99;
    QCOMPARE(thrownText([&] { read_file(path.constData(), &buffer, &length); }),
             "Cannot open file for reading: " + path);
    QCOMPARE(length, 0ul);
    // A folder opens but fails to read: an error, not an empty file.
    const QByteArray folder = QFile::encodeName(dir.path());
    QCOMPARE(thrownText([&] { read_file(folder.constData(), &buffer, &length); }),
             "Cannot read file: " + folder);
    std::free(buffer);
}

void TestTomCryptUtil::writeFileReplacesContent()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("out")));
    QByteArray longer(4096, 'a');
    write_file(path.constData(), reinterpret_cast<unsigned char*>(longer.data()), longer.size());
    QByteArray shorter("short");
    write_file(path.constData(), reinterpret_cast<unsigned char*>(shorter.data()), shorter.size());
    QFile file(QString::fromLocal8Bit(path));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), shorter);
    const QByteArray missing = QFile::encodeName(dir.filePath(QStringLiteral("no/out")));
    const auto writeTo = [&](const QByteArray& fileName) {
        return thrownText([&] {
            write_file(fileName.constData(), reinterpret_cast<unsigned char*>(longer.data()),
                       longer.size());
        });
    };
    QCOMPARE(writeTo(missing), "Cannot open file for writing: " + missing);
    // A full disk, which may show only when the data is flushed.
    if (!QFile::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full");
    QCOMPARE(writeTo("/dev/full"), QByteArray("Cannot write file: /dev/full"));
}

QTEST_GUILESS_MAIN(TestTomCryptUtil)
#include "tst_tomcryptutil.moc"
