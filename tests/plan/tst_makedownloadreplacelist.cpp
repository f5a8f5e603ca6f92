#include "config/configuration.h"
#include "crypto/tomcryptutil.h"
#include "plan/makedownloadreplacelistfunc.h"
#include "plan/makedownloadreplacelisttaskspecification.h"
#include "support/appsandbox.h"
#include "support/mirrortree.h"
#include "support/poolgate.h"
#include "support/treesnapshot.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <dlfcn.h>
#include <memory>
#include <sys/stat.h>
#include <thread>

// Thread starts come here; on a thread that refuses them they fail as at a process limit.
thread_local bool refuseThreads = false;
extern "C" int pthread_create(pthread_t* id, const pthread_attr_t* attr, void* (*run)(void*),
                              void* arg) noexcept
{
    static const auto real =
        reinterpret_cast<decltype(&pthread_create)>(dlsym(RTLD_NEXT, "pthread_create"));
    return refuseThreads ? EAGAIN : real(id, attr, run, arg);
}

namespace {

const QString CompilingText = QStringLiteral("Compiling download and replace list");
const QString NoFilesText = QStringLiteral("No files in product ini");
const QString InvalidLineText =
    QStringLiteral("Warning: product ini contains invalid line in section %1");

// An application folder sandbox and a temporary folder; "@/" in the product ini stands for the
// sandbox's path relative to the application folder.
class Sandbox
{
public:
    Sandbox()
    {
        config.clientType = QStringLiteral("client_linux_x86");
        config.tempDir = temp.path();
    }

    bool isValid() const { return app.isValid() && temp.isValid(); }
    QString rel(const QString& name) const { return app.relative(name); }
    bool writeIni(QByteArray text) const
    {
        text.replace("@/", rel(QString()).toUtf8());
        return writeFile(temp.path(), config.clientType + QStringLiteral(".ini"), text);
    }
    // data is the content, or "fifo", "folder", "dangling link", or "link to " and what the link
    // leads to: an entry of that name with "~" appended.
    bool install(const QString& name, const QByteArray& data) const
    {
        if (data == "fifo")
            return ::mkfifo(QFile::encodeName(app.filePath(name)).constData(), 0644) == 0;
        if (data.contains("link"))
            return (data.at(0) == 'd' || install(name + '~', data.mid(8))) &&
                   QFile::link(app.filePath(name) + '~', app.filePath(name));
        return writeFile(app.path(), data == "folder" ? name + "/kept" : name, data);
    }
    bool download(const QString& name, const QByteArray& data) const
    {
        return writeFile(temp.path(), rel(name), data);
    }

    AppSandbox app;
    QTemporaryDir temp;
    Configuration config;
};

QStringList describe(const QList<FileDownloadSpecification>& downloads)
{
    QStringList out;
    for (const FileDownloadSpecification& d : downloads)
        out << QStringList{d.section, d.file, d.md5, QString::number(d.size)}.join(
            QLatin1Char('|'));
    return out;
}

QStringList describe(const QList<FileReplaceSpecification>& replaces)
{
    QStringList out;
    for (const FileReplaceSpecification& r : replaces)
        out << QStringList{r.section, r.file, r.unzipMd5, QString::number(r.unzipSize), r.unzipName}
                   .join(QLatin1Char('|'));
    return out;
}

// Runs the compilation on this thread; messages land in the spy.
bool compile(Sandbox& box, FileSpecifications& lists, QStringList* messages = nullptr)
{
    MakeDownloadReplaceListFunc func(&box.config, lists);
    QSignalSpy spy(&func, &ASyncFunc::message);
    const bool ok = func.run();
    if (messages) {
        for (const QList<QVariant>& args : spy)
            *messages << args.at(0).toString();
    }
    return ok;
}

// Raises a flag on the pool thread when its work object is deleted.
class WatchedTask : public MakeDownloadReplaceListTaskSpecification
{
public:
    using MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification;
    ASyncFunc* createFunction() override
    {
        ASyncFunc* func = MakeDownloadReplaceListTaskSpecification::createFunction();
        const std::shared_ptr<QAtomicInt> flag = workDeleted;
        QObject::connect(func, &QObject::destroyed, [flag] { flag->storeRelaxed(1); });
        return func;
    }

    const std::shared_ptr<QAtomicInt> workDeleted = std::make_shared<QAtomicInt>(0);
};
} // namespace

class tst_MakeDownloadReplaceList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void twoAndFiveFieldEntriesAreListed();
    void wrongFieldCountFailsNamingTheSection_data();
    void wrongFieldCountFailsNamingTheSection();
    void missingOrEmptyIniFails_data();
    void missingOrEmptyIniFails();
    void deleteSectionListsExistingFilesOnly();
    void sectionNamedDeleteInCapitalsHoldsFiles();
    void installedFileIsCurrentInAnyLetterCase_data();
    void installedFileIsCurrentInAnyLetterCase();
    void fiveFieldEntryTestsUnzipNameAndDownload();
    void downloadedFileIsOnlyReplaced();
    void emptySumFallsBackToSignature();
    void progressStepsOncePerEntry();
    void leftoverOldCopyOfOrdinaryFileIsDeleted_data();
    void leftoverOldCopyOfOrdinaryFileIsDeleted();
    void hostilePathIsRejected_data();
    void hostilePathIsRejected();
    void wellFormedRelativePathsAreKept_data();
    void wellFormedRelativePathsAreKept();
    void failedRunLeavesOutputUnchanged();
    void successfulRunCopiesWorkingCopy();
    void resultForTaskNotRunningIsIgnored();
    void deletingRunningTaskWaitsForItsWork();

private:
    std::unique_ptr<Sandbox> sandbox;
};

void tst_MakeDownloadReplaceList::initTestCase()
{
    crypt_init();
}

void tst_MakeDownloadReplaceList::init()
{
    sandbox = std::make_unique<Sandbox>();
    QVERIFY(sandbox->isValid());
}

void tst_MakeDownloadReplaceList::cleanup()
{
    refuseThreads = false;
    sandbox.reset();
}

void tst_MakeDownloadReplaceList::twoAndFiveFieldEntriesAreListed()
{
    Sandbox& box = *sandbox;
    QVERIFY(box.writeIni("[bin]\n"
                         "@/update=0123::17\n"
                         "@/lib/libx.so.gz=abcd::42::ef01::99::@/lib/libx.so\n"
                         "[data]\n"
                         "@/plain.gz=aa::7::bb::not a number::\n"));
    FileSpecifications lists;
    lists.deletes << QStringLiteral("stale entry");
    QStringList messages;
    QVERIFY(compile(box, lists, &messages));

    QCOMPARE(messages, QStringList{CompilingText});
    QCOMPARE(describe(lists.downloads),
             (QStringList{"bin|" + box.rel("lib/libx.so.gz") + "|abcd|42",
                          "bin|" + box.rel("update") + "|0123|17",
                          "data|" + box.rel("plain.gz") + "|aa|7"}));
    QCOMPARE(describe(lists.replaces),
             (QStringList{"bin|" + box.rel("lib/libx.so.gz") + "|ef01|99|" + box.rel("lib/libx.so"),
                          "bin|" + box.rel("update") + "||0|",
                          "data|" + box.rel("plain.gz") + "|bb|0|"}));
    QVERIFY(lists.deletes.isEmpty());
}

void tst_MakeDownloadReplaceList::wrongFieldCountFailsNamingTheSection_data()
{
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("one field") << QByteArray("abcd");
    QTest::newRow("three fields") << QByteArray("abcd::1::ef");
    QTest::newRow("four fields") << QByteArray("abcd::1::ef::2");
    QTest::newRow("two fields and a separator") << QByteArray("a::b::");
    QTest::newRow("six fields") << QByteArray("a::1::b::2::c::d");
}

void tst_MakeDownloadReplaceList::wrongFieldCountFailsNamingTheSection()
{
    QFETCH(QByteArray, value);
    Sandbox& box = *sandbox;
    QVERIFY(box.writeIni("[a]\n@/first=00::1\n[b]\n@/bad=" + value + "\n@/later=00::1\n"));
    FileSpecifications lists;
    QStringList messages;
    QVERIFY(!compile(box, lists, &messages));
    QCOMPARE(messages, (QStringList{CompilingText, InvalidLineText.arg("b")}));
    QCOMPARE(describe(lists.replaces), QStringList{"a|" + box.rel("first") + "||0|"});
}

void tst_MakeDownloadReplaceList::missingOrEmptyIniFails_data()
{
    QTest::addColumn<bool>("writeIni");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("no product ini") << false << QByteArray();
    QTest::newRow("empty file") << true << QByteArray();
    QTest::newRow("empty sections") << true << QByteArray("[bin]\n[delete]\n");
    QTest::newRow("keys outside sections") << true << QByteArray("a=00::1\n");
}

void tst_MakeDownloadReplaceList::missingOrEmptyIniFails()
{
    QFETCH(bool, writeIni);
    QFETCH(QByteArray, text);
    Sandbox& box = *sandbox;
    if (writeIni)
        QVERIFY(box.writeIni(text));
    FileSpecifications lists;
    QStringList messages;
    QVERIFY(!compile(box, lists, &messages));
    QCOMPARE(messages, (QStringList{CompilingText, NoFilesText}));
}

void tst_MakeDownloadReplaceList::deleteSectionListsExistingFilesOnly()
{
    Sandbox& box = *sandbox;
    QVERIFY(box.install("old.txt", "dangling link"));
    QVERIFY(box.install("plugins/libold.so", "y"));
    QVERIFY(box.writeIni("[delete]\n@/old.txt=\n@/missing.txt=\n@/plugins/libold.so=ignored\n"));
    FileSpecifications lists;
    QVERIFY(compile(box, lists));
    QCOMPARE(lists.deletes, (QStringList{box.rel("old.txt"), box.rel("plugins/libold.so")}));
    QVERIFY(lists.downloads.isEmpty());
    QVERIFY(lists.replaces.isEmpty());
}

void tst_MakeDownloadReplaceList::sectionNamedDeleteInCapitalsHoldsFiles()
{
    Sandbox& box = *sandbox;
    QVERIFY(box.install("old.txt", "x"));
    QVERIFY(box.writeIni("[Delete]\n@/old.txt=\n"));
    FileSpecifications lists;
    QStringList messages;
    QVERIFY(!compile(box, lists, &messages));
    QCOMPARE(messages.last(), InvalidLineText.arg("Delete"));

    QVERIFY(box.writeIni("[Delete]\n@/old.txt=00::1\n"));
    QVERIFY(compile(box, lists));
    QVERIFY(lists.deletes.isEmpty());
    QCOMPARE(describe(lists.replaces), QStringList{"Delete|" + box.rel("old.txt") + "||0|"});
}

void tst_MakeDownloadReplaceList::installedFileIsCurrentInAnyLetterCase_data()
{
    QTest::addColumn<QString>("sum");
    QTest::addColumn<bool>("current");

    const QString sum = MirrorTree::md5Hex("installed content");
    QTest::newRow("lower case") << sum.toLower() << true;
    QTest::newRow("upper case") << sum.toUpper() << true;
    QTest::newRow("mixed case") << sum.left(16).toUpper() + sum.mid(16) << true;
    QTest::newRow("other sum") << MirrorTree::md5Hex("other content") << false;
    QTest::newRow("trailing blank") << sum + QLatin1Char(' ') << false;
}

void tst_MakeDownloadReplaceList::installedFileIsCurrentInAnyLetterCase()
{
    QFETCH(QString, sum);
    QFETCH(bool, current);
    Sandbox& box = *sandbox;
    QVERIFY(box.install("bin/client", "installed content"));
    QVERIFY(box.writeIni("[bin]\n@/bin/client=\"" + sum.toLatin1() + "::17\"\n"));
    FileSpecifications lists;
    QVERIFY(compile(box, lists));
    QCOMPARE(lists.replaces.size(), current ? 0 : 1);
    QCOMPARE(lists.downloads.size(), current ? 0 : 1);
}

void tst_MakeDownloadReplaceList::fiveFieldEntryTestsUnzipNameAndDownload()
{
    Sandbox& box = *sandbox;
    const QByteArray packed("packed bytes");
    const QByteArray unpacked("unpacked bytes");
    const QByteArray line = MirrorTree::md5Hex(packed).toLatin1() +
                            "::12::" + MirrorTree::md5Hex(unpacked).toLatin1() + "::14::";

    // Installed under the key, not under the unzip name: not current. The download already
    // has the unpacked content, which is not what the mirror serves: still to download.
    QVERIFY(box.install("a.gz", packed));
    QVERIFY(box.download("a.gz", unpacked));
    // Installed under the unzip name with the unpacked sum: current, nothing to do.
    QVERIFY(box.install("b", unpacked));
    // Not installed; the temporary copy has the packed sum: only to install.
    QVERIFY(box.download("c.gz", packed));
    QVERIFY(box.writeIni("[s]\n@/a.gz=" + line + "@/a\n@/b.gz=" + line + "@/b\n@/c.gz=" + line +
                         "@/c\n"));
    FileSpecifications lists;
    refuseThreads = true; // nor is any thread to be had: it judges each entry itself
    QVERIFY(compile(box, lists));
    QCOMPARE(
        describe(lists.replaces),
        (QStringList{
            "s|" + box.rel("a.gz") + "|" + MirrorTree::md5Hex(unpacked) + "|14|" + box.rel("a"),
            "s|" + box.rel("c.gz") + "|" + MirrorTree::md5Hex(unpacked) + "|14|" + box.rel("c")}));
    QCOMPARE(describe(lists.downloads),
             QStringList{"s|" + box.rel("a.gz") + "|" + MirrorTree::md5Hex(packed) + "|12"});
}

void tst_MakeDownloadReplaceList::downloadedFileIsOnlyReplaced()
{
    Sandbox& box = *sandbox;
    const QByteArray fresh("new version");
    QVERIFY(box.install("lib/libq.so", "old version"));
    QVERIFY(box.download("lib/libq.so", fresh));
    QVERIFY(box.download("broken", "truncat"));
    QVERIFY(box.writeIni("[lib]\n@/lib/libq.so=" + MirrorTree::md5Hex(fresh).toLatin1() +
                         "::11\n@/broken=" + MirrorTree::md5Hex("truncated").toLatin1() + "::9\n"));
    FileSpecifications lists;
    QVERIFY(compile(box, lists));
    QCOMPARE(lists.replaces.size(), 2);
    QCOMPARE(describe(lists.downloads), QStringList{"lib|" + box.rel("broken") + "|" +
                                                    MirrorTree::md5Hex("truncated") + "|9"});
}

void tst_MakeDownloadReplaceList::emptySumFallsBackToSignature()
{
    Sandbox& box = *sandbox;
    const QByteArray signature = MirrorTree::sign("signed", MirrorTree::defaultPrivateKeyPath());
    QCOMPARE(signature.size(), 128);
    // With an empty sum only a ".sig" file next to the copy can vouch for it.
    QVERIFY(box.install("unsigned", "data"));
    QVERIFY(box.download("unsigned", "data"));
    QVERIFY(box.install("signed", "signed"));
    QVERIFY(box.install("signed.sig", signature));
    QVERIFY(box.download("fetched", "signed"));
    QVERIFY(box.download("fetched.sig", signature));
    QVERIFY(box.install("b", "plain"));
    QVERIFY(box.download("b.gz", "packed"));
    QVERIFY(box.writeIni("[s]\n@/unsigned=::4\n@/signed=::6\n@/fetched=::6\n@/b.gz=" +
                         MirrorTree::md5Hex("packed").toLatin1() + "::6::::5::@/b\n"));
    FileSpecifications lists;
    QVERIFY(compile(box, lists));
    QCOMPARE(describe(lists.replaces), (QStringList{"s|" + box.rel("b.gz") + "||5|" + box.rel("b"),
                                                    "s|" + box.rel("fetched") + "||0|",
                                                    "s|" + box.rel("unsigned") + "||0|"}));
    QCOMPARE(describe(lists.downloads), QStringList{"s|" + box.rel("unsigned") + "||4"});
}

void tst_MakeDownloadReplaceList::progressStepsOncePerEntry()
{
    Sandbox& box = *sandbox;
    QVERIFY(box.writeIni("[delete]\n@/x=\n@/y=\n[s]\n@/a=00::1\n@/b=00::1\n"));
    FileSpecifications lists;
    MakeDownloadReplaceListFunc func(&box.config, lists);
    QSettings settings(box.temp.filePath("client_linux_x86.ini"), QSettings::IniFormat);
    QCOMPARE(func.getFileCount(settings), 4);
    QSignalSpy spy(&func, &ASyncFunc::progress);
    QVERIFY(func.run());
    QCOMPARE(spy.count(), 4);
    for (int i = 0; i < spy.count(); ++i)
        QCOMPARE(spy.at(i).at(0).toDouble(), (i + 1) / 4.0);
}

void tst_MakeDownloadReplaceList::leftoverOldCopyOfOrdinaryFileIsDeleted_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<bool>("packed");
    QTest::addColumn<bool>("listed");

    // "new" is the listed content; an empty installed text means no installed file.
    QTest::newRow("next to a current file") << "lib/libx.so" << QByteArray("new") << false << true;
    QTest::newRow("next to a missing file") << "lib/libx.so" << QByteArray() << false << true;
    // Moving the outdated file aside deletes the leftover and lists the new copy.
    QTest::newRow("next to an outdated file")
        << "lib/libx.so" << QByteArray("old") << false << false;
    QTest::newRow("next to a current unpacked file")
        << "data.pak" << QByteArray("new") << true << true;
    QTest::newRow("next to a missing unpacked file") << "data.pak" << QByteArray() << true << true;
    QTest::newRow("next to a current special file")
        << "update" << QByteArray("new") << false << false;
    QTest::newRow("next to a missing special file") << "update" << QByteArray() << false << false;
    QTest::newRow("next to a FIFO") << "f" << QByteArray("fifo") << false << false;
    QTest::newRow("next to a linked FIFO") << "f" << QByteArray("link to fifo") << false << false;
    QTest::newRow("next to linked new data") << "f" << QByteArray("link to new") << false << false;
    QTest::newRow("next to a folder") << "f" << QByteArray("folder") << false << false;
    QTest::newRow("dangling old copy") << "f" << QByteArray("new|dangling link") << false << true;
    QTest::newRow("folder as old copy") << "f" << QByteArray("new|folder") << false << true;
}

void tst_MakeDownloadReplaceList::leftoverOldCopyOfOrdinaryFileIsDeleted()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, installed);
    QFETCH(bool, packed);
    QFETCH(bool, listed);
    Sandbox& box = *sandbox;
    FileReplaceSpecification entry;
    entry.unzipName = packed ? box.rel(name) : QString();
    entry.file = packed ? box.rel(name + ".gz") : box.rel(name);
    const QByteArray sum = MirrorTree::md5Hex("new").toLatin1();
    const QByteArray fields =
        packed ? "00::1::" + sum + "::3::" + entry.unzipName.toUtf8() : sum + "::3";
    QVERIFY(box.writeIni("[s]\n" + entry.file.toUtf8() + "=" + fields + "\n"));
    const mode_t mask = ::umask(0); // files at 0666: the repair must not leave them writable
    // After a "|" installed names what stands at the old name instead of an older file.
    const QList<QByteArray> kinds = (installed + "|older").split('|');
    if (!installed.isEmpty())
        QVERIFY(box.install(name, kinds[0]));
    QVERIFY(box.install(QFileInfo(name).path() + "/_old_" + QFileInfo(name).fileName(), kinds[1]));
    for (const char* prefix : {"/.new.", "/.new._old_"})
        QVERIFY(box.install(QFileInfo(name).path() + prefix + QFileInfo(name).fileName(), "part"));
    ::umask(mask);

    FileSpecifications lists;
    QVERIFY(compile(box, lists));
    QCOMPARE(lists.deletes, (listed ? QStringList{entry.oldDestFileName()} : QStringList())
                                << entry.destFileName(".new.") << entry.destFileName(".new._old_"));
    QCOMPARE(lists.replaces.size(), installed.startsWith("new") ? 0 : 1);
    // A current program or library gets back execute bits that a crash took.
    const QFileInfo file(box.app.filePath(name));
    QCOMPARE(file.isFile() && file.permissions() == QFileDevice::Permissions(0x7755),
             entry.isExecutable() && installed.startsWith("new"));
}

void tst_MakeDownloadReplaceList::hostilePathIsRejected_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("section");

    QTest::newRow("key to parent") << QByteArray("[s]\n../x=00::1\n") << "s";
    QTest::newRow("key climbing out of a folder") << QByteArray("[s]\na/../../x=00::1\n") << "s";
    QTest::newRow("key through a parent folder") << QByteArray("[s]\na/../b=00::1\n") << "s";
    QTest::newRow("key with backslashes") << QByteArray("[s]\n..\\..\\x=00::1\n") << "s";
    QTest::newRow("key with escaped dots") << QByteArray("[s]\n%2E%2E/x=00::1\n") << "s";
    QTest::newRow("key naming the folder") << QByteArray("[s]\nsub/..=00::1\n") << "s";
    QTest::newRow("key with a dot folder") << QByteArray("[s]\n@/new/./x=00::1\n") << "s";
    QTest::newRow("absolute key") << QByteArray("[s]\n/etc/x=00::1\n") << "s";
    QTest::newRow("unzip name to parent") << QByteArray("[s]\n@/a.gz=00::1::00::1::../x\n") << "s";
    QTest::newRow("absolute unzip name") << QByteArray("[s]\n@/a.gz=00::1::00::1::/etc/x\n") << "s";
    QTest::newRow("unzip name climbing out")
        << QByteArray("[s]\n@/a.gz=00::1::00::1::@/../../x\n") << "s";
    QTest::newRow("unzip name as resource") << QByteArray("[s]\n@/a.gz=00::1::00::1:::/x\n") << "s";
    QTest::newRow("key cut short by a null") << QByteArray("[s]\n..%U0000/x=00::1\n") << "s";
    QTest::newRow("unzip name cut short by a null")
        << QByteArray("[s]\n@/a.gz=\"00::1::00::1::..\\0/x\"\n") << "s";
    QTest::newRow("delete key to parent") << QByteArray("[delete]\n../x=\n") << "delete";
    QTest::newRow("absolute delete key") << QByteArray("[delete]\n/etc/x=\n") << "delete";
    QTest::newRow("delete key climbing out") << QByteArray("[delete]\n@/../../x=\n") << "delete";
    QTest::newRow("delete key naming the folder") << QByteArray("[delete]\n.=\n") << "delete";
}

void tst_MakeDownloadReplaceList::hostilePathIsRejected()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, section);
    Sandbox& box = *sandbox;
    QVERIFY(box.writeIni(ini));
    FileSpecifications lists;
    QStringList messages;
    QVERIFY(!compile(box, lists, &messages));
    QCOMPARE(messages.last(), InvalidLineText.arg(section));
}

void tst_MakeDownloadReplaceList::wellFormedRelativePathsAreKept_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("unzipName");

    QTest::newRow("nested folders") << "a/b/c.txt"
                                    << "";
    QTest::newRow("dot file") << ".hidden"
                              << "";
    QTest::newRow("dot folder") << ".config/app/settings"
                                << "";
    QTest::newRow("names starting with two dots") << "..name/...x"
                                                  << "";
    QTest::newRow("nested unzip name") << "pkg/a.gz"
                                       << "plugins/.cache/libx.so";
}

void tst_MakeDownloadReplaceList::wellFormedRelativePathsAreKept()
{
    QFETCH(QString, key);
    QFETCH(QString, unzipName);
    Sandbox& box = *sandbox;
    const QString target = unzipName.isEmpty() ? key : unzipName;
    QVERIFY(box.install(target, "current"));
    QVERIFY(box.install("gone/" + key, "to delete"));
    const QByteArray fields =
        unzipName.isEmpty()
            ? MirrorTree::md5Hex("current").toLatin1() + "::7"
            : "00::1::" + MirrorTree::md5Hex("current").toLatin1() + "::7::@/" + unzipName.toUtf8();
    QVERIFY(box.writeIni("[delete]\n@/gone/" + key.toUtf8() + "=\n[s]\n@/" + key.toUtf8() + "=" +
                         fields + "\n@/new/" + key.toUtf8() + "=00::1\n"));
    FileSpecifications lists;
    QVERIFY(compile(box, lists));
    QCOMPARE(lists.deletes, QStringList{box.rel("gone/" + key)});
    QCOMPARE(describe(lists.downloads), QStringList{"s|" + box.rel("new/" + key) + "|00|1"});
}

void tst_MakeDownloadReplaceList::failedRunLeavesOutputUnchanged()
{
    Sandbox& box = *sandbox;
    QVERIFY(box.install("old", "x"));
    QVERIFY(box.writeIni("[a]\n@/good=00::1\n[delete]\n@/old=\n[z]\n@/bad=00\n"));
    FileSpecifications output;
    output.deletes << QStringLiteral("kept");
    output.downloads << FileDownloadSpecification{"s", "kept", "00", 1};
    MakeDownloadReplaceListTaskSpecification task(&box.config, output, nullptr, 0.05);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy errors(&task, &TaskSpecification::error);
    task.execute();
    QCOMPARE(task.state, TaskRunning);
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(task.state, TaskErrorCanceled);
    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(1).at(0).toString(), InvalidLineText.arg("z"));
    QCOMPARE(errors.count(), 0);
    QCOMPARE(output.deletes, QStringList{"kept"});
    QCOMPARE(describe(output.downloads), QStringList{"s|kept|00|1"});
    QVERIFY(output.replaces.isEmpty());
    QCOMPARE(task.workingCopy.replaces.size(), 1);
}

void tst_MakeDownloadReplaceList::successfulRunCopiesWorkingCopy()
{
    Sandbox& box = *sandbox;
    QVERIFY(box.install("old", "x"));
    QVERIFY(box.writeIni("[a]\n@/good=00::1::11::2::@/good.txt\n[delete]\n@/old=\n"));
    FileSpecifications output;
    output.replaces << FileReplaceSpecification();
    MakeDownloadReplaceListTaskSpecification task(&box.config, output, nullptr, 0.05);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(task.state, TaskFinished);
    QCOMPARE(progress.last().at(0).toDouble(), 0.05);
    QCOMPARE(describe(output.downloads), describe(task.workingCopy.downloads));
    QCOMPARE(describe(output.replaces), describe(task.workingCopy.replaces));
    QCOMPARE(output.deletes, task.workingCopy.deletes);
    QCOMPARE(describe(output.replaces),
             QStringList{"a|" + box.rel("good") + "|11|2|" + box.rel("good.txt")});
    QCOMPARE(output.deletes, QStringList{box.rel("old")});
}

void tst_MakeDownloadReplaceList::resultForTaskNotRunningIsIgnored()
{
    Sandbox& box = *sandbox;
    FileSpecifications output;
    MakeDownloadReplaceListTaskSpecification task(&box.config, output, nullptr, 0.05);
    task.workingCopy.deletes << QStringLiteral("late");
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.runDone(true);
    QCOMPARE(task.state, TaskIdle);
    QCOMPARE(finished.count(), 0);
    QVERIFY(output.deletes.isEmpty());
}

void tst_MakeDownloadReplaceList::deletingRunningTaskWaitsForItsWork()
{
    Sandbox& box = *sandbox;
    QVERIFY(box.writeIni("[s]\n@/a=00::1\n"));
    FileSpecifications output;
    auto* task = new WatchedTask(&box.config, output, nullptr, 0.05);
    const std::shared_ptr<QAtomicInt> workDeleted = task->workDeleted;
    PoolGate gate;
    task->execute();
    // The deletion blocks this thread, so the pool is opened from another one, late enough
    // that a deletion which does not wait would come back while the work is still held.
    std::thread opener([&gate] {
        QThread::msleep(100);
        gate.release();
    });
    delete task;
    const int workEnded = workDeleted->loadRelaxed();
    opener.join();
    QCOMPARE(workEnded, 1);
}

QTEST_GUILESS_MAIN(tst_MakeDownloadReplaceList)
#include "tst_makedownloadreplacelist.moc"
