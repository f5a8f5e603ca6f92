#include "net/inidownloadtaskspecification.h"

#include "config/configuration.h"
#include "crypto/checksignaturetaskspecification.h"
#include "net/downloadtaskspecification.h"

#include <QFile>

namespace {
const int maxRetries = 1000;
const double downloadWeight = 0.3333;
} // namespace

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager* manager,
                                                           Mirrors* mirrors, Configuration* config,
                                                           QObject* parent, double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , manager(manager)
    , mirrors(mirrors)
    , config(config)
{
}

void IniDownloadTaskSpecification::execute()
{
    emit message(QStringLiteral("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::reset()
{
    clearSubTasks();
    attempt = 0;
    TaskSpecification::reset();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString name = config->clientType + QLatin1String(".ini");
    const QString local = config->tempDir + QLatin1Char('/') + name;
    const QString sigSuffix = QStringLiteral(".sig");

    double checkWeight = 1.0;
    if (attempt >= 1 || !QFile::exists(local)) {
        addDownload(name, local, CheckSigFunc::MaxSignedFileSize);
        checkWeight -= downloadWeight;
    }
    if (attempt >= 1 || !QFile::exists(local + sigSuffix)) {
        addDownload(name + sigSuffix, local + sigSuffix, CheckSigFunc::MaxSignatureSize);
        checkWeight -= downloadWeight;
    }
    auto* check = new CheckSignatureTaskSpecification(local, QString(), false, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = TaskRunning;
    executeSubTasks();
}

void IniDownloadTaskSpecification::addDownload(const QString& remotePath, const QString& localPath,
                                               qint64 sizeLimit)
{
    auto* download = new DownloadTaskSpecification(manager, mirrors, remotePath, localPath, -1,
                                                   this, downloadWeight);
    download->sizeLimit = sizeLimit;
    addSubTask(download);
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass)
        return;
    ++attempt;
    if (cancelRequested) {
        // A restart would clear the user's cancel and fetch both files again.
        clearSubTasks();
        userCancel();
        return;
    }
    if (attempt > maxRetries) {
        emit message(QStringLiteral("Could not verify the product ini file. Aborting"));
        // The failed check still finishes; released first, it cannot finish this task too.
        clearSubTasks();
        errorCancel();
        return;
    }
    emit message(QStringLiteral("Could not verify the product ini file. Retrying"));
    clearSubTasks();
    TaskSpecification::reset();
    makeSubtasksAndStart();
}
