#include "install/filereplacetaskspecification.h"
#include "support/installsandbox.h"
#include "support/mirrortree.h"
#include "support/poolgate.h"
#include "support/spytexts.h"
#include "support/treesnapshot.h"
#include "tasks/fileentry.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>

namespace {
// linkat() and fchmod() of the code under test, linked in statically, come here: they fail with
// the errno a test sets, and a hook set before a step runs when fchmod() is called.
int linkErrno = 0;
int chmodErrno = 0;
std::function<void()> beforeChmod;
bool chmodOnGuiThread = false; // a copy written on the GUI thread would freeze the window
} // namespace

extern "C" int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) noexcept
{
    using Real = int (*)(int, const char*, int, const char*, int);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "linkat"));
    // Negative: only the links that stage a new file under its temporary name fail.
    const bool fails = linkErrno > 0 || (linkErrno < 0 && std::strstr(to, "/.new."));
    return fails ? (errno = std::abs(linkErrno), -1) : real(fromDir, from, toDir, to, flags);
}

extern "C" int fchmod(int fd, mode_t mode) noexcept
{
    static const auto real = reinterpret_cast<int (*)(int, mode_t)>(dlsym(RTLD_NEXT, "fchmod"));
    if (const auto hook = std::exchange(beforeChmod, nullptr))
        hook();
    chmodOnGuiThread |= QThread::currentThread() == QCoreApplication::instance()->thread();
    return chmodErrno ? (errno = chmodErrno, -1) : real(fd, mode);
}

namespace {
QStringList stepClasses(const ComposedTaskSpecification& task)
{
    QStringList result;
    for (const TaskSpecification* step : task.subTasks)
        result << QString::fromLatin1(step->metaObject()->className());
    return result;
}

bool hasWeights(const ComposedTaskSpecification& task, const QList<double>& weights)
{
    if (task.subTasks.size() != weights.size())
        return false;
    for (int i = 0; i < weights.size(); ++i) {
        if (!qFuzzyCompare(task.subTasks.at(i)->parentProgressRange, weights.at(i)))
            return false;
    }
    return true;
}

int modeOf(const QString& path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

// Whether box is usable and holds an installed version of rel.
bool holdsInstalledVersion(const InstallSandbox& box, const QString& rel)
{
    return box.isValid() && writeFile(box.app.path(), rel, "installed version");
}

// A replacement together with the journal and old-file list of the list it belongs to.
struct Replacement
{
    Replacement(const FileReplaceSpecification& spec, InstallSandbox& box, double range = 1.0)
        : task(spec, &oldFiles, &listJournal, &box.config, nullptr, range)
    {
    }
    Q_DISABLE_COPY(Replacement)

    RollbackDataList listJournal;
    QList<QString> oldFiles;
    FileReplaceTaskSpecification task;
};

// What goes wrong at a seam of a replacement.
enum Fault
{
    InTheWay,           // an entry appears at the "_old_" name
    DownloadGone,       // the download is removed
    DownloadUnreadable, // the download fails half-way through the read
    WrongSum,           // the unpacked file fails its check
    LaterStep,          // nothing in the task: a later step of the list fails
    ModeFails,          // setting the new file's mode fails with err
    Uncopyable,         // the installed file cannot be copied either: it is moved
    Swapped             // a link to elsewhere takes the new file's temporary name
};

// The group of the file at path, and "+" where it has an ACL.
QString groupAndAcl(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    const bool acl = ::getxattr(name.constData(), "system.posix_acl_access", nullptr, 0) > 0;
    return ::stat(name.constData(), &info) == 0 ? QString::number(info.st_gid) + (acl ? "+" : "")
                                                : QString();
}

const QString Copy = QStringLiteral("FileCopyTaskSpecification");
const QString Delete = QStringLiteral("FileDeleteTaskSpecification");
const QString Keep = QStringLiteral("FileKeepTaskSpecification");
const QString Unzip = QStringLiteral("FileUnzipTaskSpecification");
const QString Check = QStringLiteral("CheckSignatureTaskSpecification");
} // namespace

class tst_FileReplace : public QObject
{
    Q_OBJECT

private slots:
    void newFileIsInstalledWithWholeWeight_data();
    void newFileIsInstalledWithWholeWeight();
    void installedFileIsMovedAside_data();
    void installedFileIsMovedAside();
    void wrongUnzippedSumRestoresOldFile();
    void emptyUnzipMd5SelectsSignatureCheck_data();
    void emptyUnzipMd5SelectsSignatureCheck();
    void knownExecutablesGetMode755_data();
    void knownExecutablesGetMode755();
    void cancelBeforeLastStepRestoresOldFile_data();
    void cancelBeforeLastStepRestoresOldFile();
    void cancelDuringUnzipRestoresOldFile();
    void cancelDuringLastCopyStillCompletes();
    void resetAfterSuccessKeepsInstallation();
    void resetAfterFailureAllowsAnotherRun();
    void linksAtEitherNameAreNeverFollowed_data();
    void linksAtEitherNameAreNeverFollowed();
    void linkedFolderInsideTheClientFolderStillInstalls_data();
    void linkedFolderInsideTheClientFolderStillInstalls();
    void failureAtEachSeamLeavesAWholeFile_data();
    void failureAtEachSeamLeavesAWholeFile();
};

void tst_FileReplace::newFileIsInstalledWithWholeWeight_data()
{
    QTest::addColumn<bool>("compressed");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<double>>("weights");
    QTest::addColumn<QString>("setting"); // what else the client folder or download has
    const QList<double> whole{1.0};
    QTest::newRow("copied") << false << QStringList{Copy} << whole << "";
    QTest::newRow("compressed") << true << QStringList{Unzip, Check} << QList<double>{0.8, 0.2}
                                << "";
    QTest::newRow("copied, folder setgid") << false << QStringList{Copy} << whole << "setgid";
    QTest::newRow("copied, default ACL") << false << QStringList{Copy} << whole << "default";
    QTest::newRow("copied, download ACL") << false << QStringList{Copy} << whole << "download";
}

void tst_FileReplace::newFileIsInstalledWithWholeWeight()
{
    QFETCH(bool, compressed);
    QFETCH(QStringList, steps);
    QFETCH(QList<double>, weights);
    QFETCH(QString, setting);
    InstallSandbox box;
    QVERIFY(box.isValid());
    const QByteArray folder = QFile::encodeName(box.app.path());
    if (setting == "setgid" && ::geteuid() != 0)
        QSKIP("Only the superuser can give the folder a group of which it is no member");
    if (setting == "setgid") // to another group than the updater's
        QVERIFY(::chown(folder.constData(), uid_t(-1), 65534) == 0 &&
                ::chmod(folder.constData(), 02700) == 0);
    if (setting == "default")
        QCOMPARE(QProcess::execute("setfacl", {"-d", "-m", "u:nobody:r", box.app.path()}), 0);
    // Shows what any new file in the folder gets.
    QVERIFY(writeFile(box.app.path(), QStringLiteral("other"), "untouched"));
    const TreeSnapshot before = TreeSnapshot::take(box.app.path());
    const QByteArray content = "new client data";
    const FileReplaceSpecification spec =
        compressed ? box.stageGzip(QStringLiteral("data.gz"), QStringLiteral("data"), content)
                   : box.stageCopy(QStringLiteral("data"), content);
    const QString download = QDir(box.config.tempDir).filePath(spec.file);
    if (setting == "download")
        QCOMPARE(QProcess::execute("setfacl", {"-m", "u:nobody:r", download}), 0);

    Replacement run(spec, box, 0.5);
    QVERIFY(run.task.subTasks.isEmpty());
    QSignalSpy messages(&run.task, &TaskSpecification::message);
    run.task.execute();
    QCOMPARE(stepClasses(run.task), steps);
    QVERIFY(hasWeights(run.task, weights));
    QTRY_COMPARE(run.task.state, TaskState(TaskFinished));
    QCOMPARE(run.task.progress, 0.5);

    QCOMPARE(spyTexts(messages), QStringList(QStringLiteral("add/replace %1").arg(spec.file)));
    QCOMPARE(readFile(box.appFile(QStringLiteral("data"))), content);
    // A plain download is not copied: it takes the name itself, and keeps its own, where it
    // has the group and ACL that a new file there gets.
    QCOMPARE(FileEntry::isSameEntry(download, box.appFile(QStringLiteral("data"))),
             !compressed && setting.isEmpty());
    QCOMPARE(groupAndAcl(box.appFile(QStringLiteral("data"))),
             groupAndAcl(box.appFile(QStringLiteral("other"))));
    QVERIFY(run.oldFiles.isEmpty());
    QVERIFY(!run.task.destRenamed);
    // The list's journal got a copy; the task kept its own.
    QCOMPARE(run.listJournal.entries.size(), 1);
    QCOMPARE(run.listJournal.entries.at(0).op, RollbackData::CreateFile);
    QCOMPARE(run.task.ownJournal.entries.size(), 1);

    QVERIFY(run.listJournal.rollback(nullptr));
    QCOMPARE(TreeSnapshot::take(box.app.path()), before);
    QVERIFY(FileEntry::isRegularFile(download));
}

void tst_FileReplace::installedFileIsMovedAside_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("leftover");
    QTest::addColumn<bool>("compressed");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<double>>("weights");
    QTest::addColumn<bool>("listed");

    QTest::newRow("ordinary") << "data.pak" << false << false << QStringList{Keep, Copy}
                              << QList<double>{0.1, 0.9} << true;
    QTest::newRow("ordinary, leftover old copy")
        << "data.pak" << true << false << QStringList{Delete, Keep, Copy}
        << QList<double>{0.1, 0.1, 0.8} << true;
    QTest::newRow("compressed in a folder")
        << "maps/world.bin" << false << true << QStringList{Keep, Unzip, Check}
        << QList<double>{0.1, 0.7, 0.2} << true;
    QTest::newRow("compressed, leftover old copy")
        << "world.bin" << true << true << QStringList{Delete, Keep, Unzip, Check}
        << QList<double>{0.1, 0.1, 0.6, 0.2} << true;
    QTest::newRow("special file") << "update" << true << false << QStringList{Delete, Keep, Copy}
                                  << QList<double>{0.1, 0.1, 0.8} << false;
    QTest::newRow("special file in a folder")
        << "plugins/libqgif.so" << false << false << QStringList{Keep, Copy}
        << QList<double>{0.1, 0.9} << false;
    QTest::newRow("special name in other case")
        << "Update" << false << false << QStringList{Keep, Copy} << QList<double>{0.1, 0.9} << true;
}

void tst_FileReplace::installedFileIsMovedAside()
{
    QFETCH(QString, name);
    QFETCH(bool, leftover);
    QFETCH(bool, compressed);
    QFETCH(QStringList, steps);
    QFETCH(QList<double>, weights);
    QFETCH(bool, listed);
    InstallSandbox box;
    QVERIFY(box.isValid());
    const QFileInfo installed(name);
    const QString oldName =
        installed.path() == QLatin1String(".")
            ? QStringLiteral("_old_") + name
            : installed.path() + QStringLiteral("/_old_") + installed.fileName();
    QVERIFY(writeFile(box.app.path(), name, "installed version"));
    const TreeSnapshot withoutLeftover = TreeSnapshot::take(box.app.path());
    if (leftover)
        QVERIFY(writeFile(box.app.path(), oldName, "leftover of an earlier run"));

    const QByteArray content = "fresh version";
    const FileReplaceSpecification spec =
        compressed ? box.stageGzip(QStringLiteral("download.gz"), name, content)
                   : box.stageCopy(name, content);
    Replacement run(spec, box);
    QSignalSpy messages(&run.task, &TaskSpecification::message);
    run.task.execute();
    QCOMPARE(stepClasses(run.task), steps);
    QVERIFY(hasWeights(run.task, weights));
    QTRY_COMPARE(run.task.state, TaskState(TaskFinished));

    // The log names the download's key, the files use the installed name.
    QCOMPARE(spyTexts(messages), QStringList(QStringLiteral("add/replace %1").arg(spec.file)));
    QCOMPARE(readFile(box.appFile(name)), content);
    QCOMPARE(readFile(box.appFile(oldName)), QByteArray("installed version"));
    QCOMPARE(run.oldFiles, listed ? QList<QString>{box.app.relative(oldName)} : QList<QString>());
    QCOMPARE(run.listJournal.entries.size(), 2);

    // Undone by the list: the new file goes, the installed one gets its name back; a leftover
    // deleted on the way is not restored.
    QVERIFY(run.listJournal.rollback(nullptr));
    QCOMPARE(TreeSnapshot::take(box.app.path()), withoutLeftover);
}

void tst_FileReplace::wrongUnzippedSumRestoresOldFile()
{
    InstallSandbox box;
    QVERIFY(holdsInstalledVersion(box, QStringLiteral("world.bin")));
    const TreeSnapshot before = TreeSnapshot::take(box.app.path());
    const FileReplaceSpecification spec =
        box.stageGzip(QStringLiteral("world.gz"), QStringLiteral("world.bin"), "fresh version",
                      MirrorTree::md5Hex("something else"));

    Replacement run(spec, box);
    QSignalSpy messages(&run.task, &TaskSpecification::message);
    QSignalSpy errors(&run.task, &TaskSpecification::error);
    run.task.execute();
    QTRY_VERIFY(run.task.state != TaskRunning);
    QCOMPARE(run.task.state, TaskState(TaskErrorCanceled));
    QVERIFY(spyTexts(messages).contains(QStringLiteral("Signature check failed for %1")
                                            .arg(box.appFile(QStringLiteral("world.bin")))));
    QVERIFY(errors.isEmpty());
    QCOMPARE(TreeSnapshot::take(box.app.path()), before);
    QVERIFY(run.listJournal.entries.isEmpty());
    QVERIFY(run.task.ownJournal.entries.isEmpty());
    QVERIFY(run.oldFiles.isEmpty());
}

void tst_FileReplace::emptyUnzipMd5SelectsSignatureCheck_data()
{
    QTest::addColumn<bool>("withSignature");
    QTest::newRow("signature file next to it") << true;
    QTest::newRow("no signature file") << false;
}

void tst_FileReplace::emptyUnzipMd5SelectsSignatureCheck()
{
    QFETCH(bool, withSignature);
    InstallSandbox box;
    QVERIFY(box.isValid());
    const QByteArray content = "signed content";
    QVERIFY(writeFile(box.app.path(), QStringLiteral("lib.bin"), "installed version"));
    if (withSignature) {
        QString error;
        const QByteArray signature =
            MirrorTree::sign(content, MirrorTree::defaultPrivateKeyPath(), &error);
        QVERIFY2(!signature.isEmpty(), qPrintable(error));
        QVERIFY(writeFile(box.app.path(), QStringLiteral("lib.bin.sig"), signature));
    }
    const TreeSnapshot before = TreeSnapshot::take(box.app.path());
    const FileReplaceSpecification spec = box.stageGzip(
        QStringLiteral("lib.gz"), QStringLiteral("lib.bin"), content, QStringLiteral(""));
    QVERIFY(spec.unzipMd5.isEmpty());

    Replacement run(spec, box);
    QSignalSpy messages(&run.task, &TaskSpecification::message);
    run.task.execute();
    QTRY_VERIFY(run.task.state != TaskRunning);
    const QString installed = box.appFile(QStringLiteral("lib.bin"));
    if (withSignature) {
        QCOMPARE(run.task.state, TaskState(TaskFinished));
        QCOMPARE(readFile(installed), content);
    } else {
        QCOMPARE(run.task.state, TaskState(TaskErrorCanceled));
        QVERIFY(spyTexts(messages).contains(
            QStringLiteral("Could not open file %1 for reading").arg(installed + ".sig")));
        QVERIFY(spyTexts(messages).contains(
            QStringLiteral("Signature check failed for %1").arg(installed)));
        QCOMPARE(TreeSnapshot::take(box.app.path()), before);
    }
}

void tst_FileReplace::knownExecutablesGetMode755_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("mode");
    for (const char* name :
         {"qorclient_linux_x86", "qorclient_linux_amd64", "qorclient_runscript.sh", "update",
          "libQtGui.so.4", "plugins/libqgif.so"})
        QTest::newRow(name) << QString::fromLatin1(name) << 0755;
    for (const char* name : {"Update", "libfoo.SO", "libQtCore.so.4.7", "readme.txt", "so"})
        QTest::newRow(name) << QString::fromLatin1(name) << 0640;
}

void tst_FileReplace::knownExecutablesGetMode755()
{
    QFETCH(QString, name);
    QFETCH(int, mode);
    InstallSandbox box;
    QVERIFY(box.isValid());
    QVERIFY(QDir(box.app.path()).mkpath(QFileInfo(name).path()));
    const FileReplaceSpecification spec = box.stageCopy(name, "binary");
    // The copy takes over the download's mode.
    QVERIFY(::chmod(QFile::encodeName(QDir(box.config.tempDir).filePath(spec.file)).constData(),
                    0640) == 0);

    Replacement run(spec, box);
    run.task.execute();
    QTRY_COMPARE(run.task.state, TaskState(TaskFinished));
    QCOMPARE(modeOf(box.appFile(name)), mode);
}

void tst_FileReplace::cancelBeforeLastStepRestoresOldFile_data()
{
    QTest::addColumn<bool>("compressed");
    QTest::newRow("copied") << false;
    QTest::newRow("compressed") << true;
}

void tst_FileReplace::cancelBeforeLastStepRestoresOldFile()
{
    QFETCH(bool, compressed);
    InstallSandbox box;
    QVERIFY(holdsInstalledVersion(box, QStringLiteral("data.pak")));
    const TreeSnapshot before = TreeSnapshot::take(box.app.path());
    const FileReplaceSpecification spec =
        compressed ? box.stageGzip(QStringLiteral("data.gz"), QStringLiteral("data.pak"), "fresh")
                   : box.stageCopy(QStringLiteral("data.pak"), "fresh");

    Replacement run(spec, box);
    run.task.execute();
    TaskSpecification* rename = run.task.subTasks.at(0);
    TaskSpecification* next = run.task.subTasks.at(1);
    connect(rename, &TaskSpecification::finished, &run.task, [&] {
        QVERIFY(QFileInfo::exists(box.appFile(QStringLiteral("_old_data.pak"))));
        run.task.userCanceled();
    });
    QTRY_VERIFY(run.task.state != TaskRunning);
    QCOMPARE(run.task.state, TaskState(TaskUserCanceled));
    QCOMPARE(next->state, TaskState(TaskIdle));
    QCOMPARE(TreeSnapshot::take(box.app.path()), before);
    QVERIFY(run.listJournal.entries.isEmpty());
    QVERIFY(run.oldFiles.isEmpty());
}

void tst_FileReplace::cancelDuringUnzipRestoresOldFile()
{
    InstallSandbox box;
    QVERIFY(holdsInstalledVersion(box, QStringLiteral("data.pak")));
    const TreeSnapshot before = TreeSnapshot::take(box.app.path());
    const FileReplaceSpecification spec =
        box.stageGzip(QStringLiteral("data.gz"), QStringLiteral("data.pak"), "fresh");

    Replacement run(spec, box);
    QSignalSpy messages(&run.task, &TaskSpecification::message);
    PoolGate gate;
    run.task.execute();
    TaskSpecification* unzip = run.task.subTasks.at(1);
    TaskSpecification* check = run.task.subTasks.at(2);
    QTRY_COMPARE(unzip->state, TaskState(TaskRunning));
    run.task.userCanceled();
    gate.release();

    QTRY_VERIFY(run.task.state != TaskRunning);
    QCOMPARE(unzip->state, TaskState(TaskFinished));
    QCOMPARE(check->state, TaskState(TaskIdle));
    QCOMPARE(run.task.state, TaskState(TaskUserCanceled));
    QCOMPARE(TreeSnapshot::take(box.app.path()), before);
    QVERIFY(run.listJournal.entries.isEmpty());
    QCOMPARE(spyTexts(messages), QStringList(QStringLiteral("add/replace %1").arg(spec.file)));
}

void tst_FileReplace::cancelDuringLastCopyStillCompletes()
{
    InstallSandbox box;
    QVERIFY(holdsInstalledVersion(box, QStringLiteral("data.pak")));
    const FileReplaceSpecification spec = box.stageCopy(QStringLiteral("data.pak"), "fresh");

    Replacement run(spec, box);
    PoolGate gate;
    run.task.execute();
    TaskSpecification* copy = run.task.subTasks.at(1);
    QTRY_COMPARE(copy->state, TaskState(TaskRunning));
    run.task.userCanceled();
    gate.release();

    QTRY_VERIFY(run.task.state != TaskRunning);
    QCOMPARE(run.task.state, TaskState(TaskFinished));
    QCOMPARE(readFile(box.appFile(QStringLiteral("data.pak"))), QByteArray("fresh"));
    QCOMPARE(run.oldFiles, QList<QString>{box.app.relative(QStringLiteral("_old_data.pak"))});
    QCOMPARE(run.listJournal.entries.size(), 2);
}

void tst_FileReplace::resetAfterSuccessKeepsInstallation()
{
    InstallSandbox box;
    QVERIFY(holdsInstalledVersion(box, QStringLiteral("data.pak")));
    const FileReplaceSpecification spec = box.stageCopy(QStringLiteral("data.pak"), "fresh");

    Replacement run(spec, box);
    run.task.execute();
    QTRY_COMPARE(run.task.state, TaskState(TaskFinished));
    // As the deletion step would do after the installation.
    QVERIFY(QFile::remove(box.appFile(QStringLiteral("_old_data.pak"))));
    const TreeSnapshot installed = TreeSnapshot::take(box.app.path());

    QSignalSpy messages(&run.task, &TaskSpecification::message);
    run.task.reset();
    QCOMPARE(run.task.state, TaskState(TaskIdle));
    QCOMPARE(run.task.progress, 0.0);
    QVERIFY(!run.task.destRenamed);
    QVERIFY(run.task.subTasks.isEmpty());
    QVERIFY(run.task.ownJournal.entries.isEmpty());
    QVERIFY(messages.isEmpty());
    QCOMPARE(TreeSnapshot::take(box.app.path()), installed);
    QCOMPARE(run.listJournal.entries.size(), 2);
}

void tst_FileReplace::resetAfterFailureAllowsAnotherRun()
{
    InstallSandbox box;
    QVERIFY(holdsInstalledVersion(box, QStringLiteral("data.pak")));
    FileReplaceSpecification spec = box.stageCopy(QStringLiteral("data.pak"), "fresh");
    const QString download = QDir(box.config.tempDir).filePath(spec.file);
    QVERIFY(QFile::rename(download, download + QStringLiteral(".away")));

    Replacement run(spec, box);
    run.task.execute();
    QTRY_COMPARE(run.task.state, TaskState(TaskErrorCanceled));
    QCOMPARE(readFile(box.appFile(QStringLiteral("data.pak"))), QByteArray("installed version"));

    run.task.reset();
    QVERIFY(QFile::rename(download + QStringLiteral(".away"), download));
    run.task.execute();
    QTRY_COMPARE(run.task.state, TaskState(TaskFinished));
    QCOMPARE(readFile(box.appFile(QStringLiteral("data.pak"))), QByteArray("fresh"));
}

void tst_FileReplace::linksAtEitherNameAreNeverFollowed_data()
{
    QTest::addColumn<bool>("atOldName");
    QTest::addColumn<bool>("dangling");
    QTest::addColumn<bool>("compressed");
    QTest::addColumn<bool>("fails");
    for (const bool atOldName : {false, true}) {
        for (const bool dangling : {false, true}) {
            for (const bool compressed : {false, true}) {
                for (const bool fails : {false, true}) {
                    const QByteArray row = QByteArray(dangling ? "dangling" : "live") +
                                           " link at " + (atOldName ? "old" : "installed") +
                                           " name, " + (compressed ? "unpacked" : "copied") +
                                           (fails ? ", fails" : "");
                    QTest::newRow(row.constData()) << atOldName << dangling << compressed << fails;
                }
            }
        }
    }
}

void tst_FileReplace::linksAtEitherNameAreNeverFollowed()
{
    QFETCH(bool, atOldName);
    QFETCH(bool, dangling);
    QFETCH(bool, compressed);
    QFETCH(bool, fails);
    InstallSandbox box;
    QTemporaryDir outside;
    QVERIFY(box.isValid() && outside.isValid());
    QVERIFY(writeFile(outside.path(), QStringLiteral("target"), "outside the client folder"));
    const QString target = outside.filePath(dangling ? "missing" : "target");
    const QString name = QStringLiteral("data.pak");
    if (atOldName)
        QVERIFY(writeFile(box.app.path(), name, "installed version"));
    else
        QVERIFY(QFile::link(target, box.appFile(name)));
    // A leftover at the old name is deleted on the way and not restored.
    const TreeSnapshot before = TreeSnapshot::take(box.app.path());
    if (atOldName)
        QVERIFY(QFile::link(target, box.appFile(QStringLiteral("_old_data.pak"))));
    const TreeSnapshot outsideBefore = TreeSnapshot::take(outside.path());

    const QByteArray content = "fresh version";
    const FileReplaceSpecification spec =
        compressed ? box.stageGzip(QStringLiteral("data.gz"), name, content,
                                   fails ? MirrorTree::md5Hex("other") : QString())
                   : box.stageCopy(name, content);
    if (fails && !compressed)
        QVERIFY(QFile::remove(QDir(box.config.tempDir).filePath(spec.file)));

    Replacement run(spec, box);
    run.task.execute();
    QTRY_VERIFY(run.task.state != TaskRunning);
    QCOMPARE(TreeSnapshot::take(outside.path()), outsideBefore);
    if (fails) {
        QCOMPARE(run.task.state, TaskState(TaskErrorCanceled));
    } else {
        QCOMPARE(run.task.state, TaskState(TaskFinished));
        const QFileInfo installed(box.appFile(name));
        QVERIFY(installed.isFile() && !installed.isSymLink());
        QCOMPARE(readFile(installed.filePath()), content);
        QVERIFY(run.listJournal.rollback(nullptr));
        QCOMPARE(TreeSnapshot::take(outside.path()), outsideBefore);
    }
    const TreeSnapshot after = TreeSnapshot::take(box.app.path());
    QVERIFY2(after == before, qPrintable(before.diff(after)));
}

void tst_FileReplace::linkedFolderInsideTheClientFolderStillInstalls_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<bool>("compressed");
    QTest::newRow("new, copied") << false << false;
    QTest::newRow("replaced, unpacked") << true << true;
}

void tst_FileReplace::linkedFolderInsideTheClientFolderStillInstalls()
{
    QFETCH(bool, installed);
    QFETCH(bool, compressed);
    InstallSandbox box;
    QVERIFY(box.isValid());
    QVERIFY(QDir(box.app.path()).mkdir(QStringLiteral("real")));
    QVERIFY(QFile::link(QStringLiteral("real"), box.appFile(QStringLiteral("linked"))));
    if (installed)
        QVERIFY(writeFile(box.app.path(), QStringLiteral("real/data"), "installed version"));
    const QString name = QStringLiteral("linked/data");
    const FileReplaceSpecification spec =
        compressed ? box.stageGzip(QStringLiteral("data.gz"), name, "fresh version")
                   : box.stageCopy(name, "fresh version");

    Replacement run(spec, box);
    run.task.execute();
    QTRY_COMPARE(run.task.state, TaskState(TaskFinished));
    QCOMPARE(readFile(box.appFile(QStringLiteral("real/data"))), QByteArray("fresh version"));
    QCOMPARE(readFile(box.appFile(QStringLiteral("real/_old_data"))),
             installed ? QByteArray("installed version") : QByteArray());
}

void tst_FileReplace::failureAtEachSeamLeavesAWholeFile_data()
{
    QTest::addColumn<bool>("compressed");
    QTest::addColumn<int>("seam"); // the step after which the fault comes
    QTest::addColumn<int>("fault");
    // ModeFails: of fchmod(); else of every linkat() (negative: of those staging the new file)
    QTest::addColumn<int>("err");
    QTest::newRow("copied, after the leftover went") << false << 0 << int(InTheWay) << 0;
    QTest::newRow("copied, after keeping the old file") << false << 1 << int(DownloadGone) << 0;
    QTest::newRow("copied, while copying") << false << 1 << int(DownloadUnreadable) << 0;
    QTest::newRow("copied, after it was put in place") << false << 2 << int(LaterStep) << 0;
    QTest::newRow("unpacked, after the leftover went") << true << 0 << int(InTheWay) << 0;
    QTest::newRow("unpacked, after keeping the old file") << true << 1 << int(DownloadGone) << 0;
    QTest::newRow("unpacked, while unpacking") << true << 1 << int(DownloadUnreadable) << 0;
    QTest::newRow("unpacked, after it was put in place") << true << 2 << int(WrongSum) << 0;
    QTest::newRow("unpacked, after its check") << true << 3 << int(LaterStep) << 0;
    QTest::newRow("no links (EPERM), download gone") << false << 1 << int(DownloadGone) << EPERM;
    QTest::newRow("no links (EXDEV), later step") << false << 2 << int(LaterStep) << EXDEV;
    QTest::newRow("no links (EIO), wrong sum") << true << 2 << int(WrongSum) << EIO;
    QTest::newRow("download elsewhere (EXDEV)") << false << 2 << int(LaterStep) << -EXDEV;
    QTest::newRow("no links (EPERM), no copy of the old file")
        << false << 0 << int(Uncopyable) << EPERM;
    QTest::newRow("copied, no modes (ENOSYS)") << false << 1 << int(ModeFails) << ENOSYS;
    QTest::newRow("copied, no modes (EPERM)") << false << 1 << int(ModeFails) << EPERM;
    QTest::newRow("unpacked, no modes (EOPNOTSUPP)") << true << 1 << int(ModeFails) << EOPNOTSUPP;
    QTest::newRow("unpacked, mode fails (EIO)") << true << 1 << int(ModeFails) << EIO;
    QTest::newRow("copied, swapped") << false << 1 << int(Swapped) << 0;
    QTest::newRow("unpacked, swapped") << true << 1 << int(Swapped) << 0;
}

void tst_FileReplace::failureAtEachSeamLeavesAWholeFile()
{
    QFETCH(bool, compressed);
    QFETCH(int, seam);
    QFETCH(int, fault);
    QFETCH(int, err);
    InstallSandbox box;
    const QString name = QStringLiteral("libdata.so");
    const QString oldName = QStringLiteral("_old_libdata.so");
    QVERIFY(holdsInstalledVersion(box, name));
    TreeSnapshot expected = TreeSnapshot::take(box.app.path());
    QVERIFY(writeFile(box.app.path(), oldName, "leftover of an earlier run"));
    const QByteArray content = QByteArray("fresh version ").repeated(50000);
    const FileReplaceSpecification spec =
        compressed ? box.stageGzip(QStringLiteral("data.gz"), name, content,
                                   fault == WrongSum ? MirrorTree::md5Hex("other") : QString())
                   : box.stageCopy(name, content);
    const QString download = QDir(box.config.tempDir).filePath(spec.file);
    const int oldMode = modeOf(box.appFile(name));
    const bool modeRefused = fault == ModeFails && err != EIO;
    const bool fails = fault != LaterStep && fault != Uncopyable && !modeRefused;
    linkErrno = fault == ModeFails ? 0 : err;
    chmodErrno = fault == ModeFails ? err : 0;
    if (fault == Uncopyable) // the copy of the old file is the first to get a mode
        beforeChmod = [] { chmodErrno = EIO, beforeChmod = [] { chmodErrno = 0; }; };

    Replacement run(spec, box);
    run.task.execute();
    QList<int> torn; // the steps after which the installed name held no whole file
    for (int step = 0; step < run.task.subTasks.size(); ++step) {
        connect(run.task.subTasks.at(step), &TaskSpecification::finished, &run.task, [&, step] {
            const QByteArray now = readFile(box.appFile(name));
            const int mode = modeOf(box.appFile(name));
            if (!(now == "installed version" && mode == oldMode) &&
                !(now == content && (mode == 0755 || modeRefused)))
                torn << step;
            if (step != seam)
                return;
            if (fault == InTheWay) {
                writeFile(box.app.path(), oldName, "in the way");
                expected = TreeSnapshot::take(box.app.path());
            } else if (fault == DownloadGone) {
                QFile::remove(download);
            } else if (fault == DownloadUnreadable) {
                // Unpacked: every block is written before the checksum at the end fails.
                QByteArray broken = MirrorTree::gzip(content);
                broken[broken.size() - 8] = char(~broken.at(broken.size() - 8));
                QFile::remove(download);
                if (compressed)
                    writeFile(box.config.tempDir, spec.file, broken);
                else
                    QDir().mkdir(download);
            } else if (fault == Swapped) {
                beforeChmod = [&] {
                    const QString temp = FileEntry::tempName(box.appFile(name));
                    QFile::remove(temp) && QFile::link(download + "-outside", temp);
                };
            }
        });
    }
    QTRY_VERIFY(run.task.state != TaskRunning);
    linkErrno = chmodErrno = 0;
    beforeChmod = nullptr;
    QCOMPARE(run.task.state, TaskState(fails ? TaskErrorCanceled : TaskFinished));
    // Only a file moved aside leaves its name empty, until the new one takes it.
    QVERIFY2(torn == (fault == Uncopyable ? QList<int>{1} : QList<int>()),
             qPrintable(QStringLiteral("torn after step %1").arg(torn.value(0))));
    QVERIFY(!QFileInfo::exists(download + "-outside"));
    QVERIFY(!std::exchange(chmodOnGuiThread, false));
    if (!fails) {
        QCOMPARE(readFile(box.appFile(name)), content);
        QVERIFY(run.listJournal.rollback(nullptr));
    }
    const TreeSnapshot after = TreeSnapshot::take(box.app.path());
    QVERIFY2(after == expected, qPrintable(expected.diff(after)));
}

QTEST_MAIN(tst_FileReplace)
#include "tst_filereplace.moc"
