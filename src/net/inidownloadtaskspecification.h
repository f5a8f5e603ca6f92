#ifndef INIDOWNLOADTASKSPECIFICATION_H
#define INIDOWNLOADTASKSPECIFICATION_H

#include "tasks/composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

// Brings the product ini "<clientType>.ini" and its ".sig" file into the temporary folder and
// verifies the signature with the embedded public key, one step after the other. The first
// attempt reuses copies already in the folder; after a failed verification both files are
// downloaded afresh, at most 1000 times, without removing a mirror; a cancel requested while
// the check runs makes a failed verification end the task as cancelled by the user instead.
// A product ini over 64 MiB or a signature over 4096 bytes fails the check unread, and its
// download stops once past that size. Both files stay in the folder afterwards.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(IniDownloadTaskSpecification)

public:
    // manager, mirrors and config are shared and not owned. Creates no sub-task yet.
    IniDownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                 Configuration* config, QObject* parent, double weight);

    // Logs "Download / check product ini" and starts the first attempt.
    void execute() override;
    // Releases the sub-tasks, forgets earlier attempts and returns to TaskIdle, progress 0.
    void reset() override;

    // Builds one attempt (the downloads it needs, then the signature check) and starts it.
    void makeSubtasksAndStart();

    QNetworkAccessManager* manager = nullptr;
    Mirrors* mirrors = nullptr;
    Configuration* config = nullptr;
    // Failed verifications so far; 0 means the first attempt, which reuses local copies.
    int attempt = 0;

private:
    // A download of weight 0.3333 that stops once past the check's bound for that file.
    void addDownload(const QString& remotePath, const QString& localPath, qint64 sizeLimit);

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);
};

#endif // INIDOWNLOADTASKSPECIFICATION_H
