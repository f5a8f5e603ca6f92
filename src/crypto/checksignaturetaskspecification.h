#ifndef CHECKSIGNATURETASKSPECIFICATION_H
#define CHECKSIGNATURETASKSPECIFICATION_H

#include "crypto/checksigfunc.h"
#include "tasks/asynctaskspecification.h"

#include <QObject>
#include <QString>

// Checks one file on the global pool (see CheckSigFunc). A cancel request does not stop the
// check. No error signal: a failure is logged and reported through checkDone, and ends the
// task as TaskErrorCanceled only when abortOnFailure is set, else as TaskFinished.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(CheckSignatureTaskSpecification)

public:
    // fileName is used as given; an empty md5 selects the signature check.
    CheckSignatureTaskSpecification(QString fileName, QString md5, bool abortOnFailure,
                                    QObject* parent, double weight);

    // A new CheckSigFunc on copies of fileName and md5; the pool's runnable owns it.
    ASyncFunc* createFunction() override;
    // Only while TaskRunning: on failure logs "Signature check failed for <file>"; emits
    // checkDone before the task ends. Otherwise does nothing.
    void runDone(bool ok) override;

    QString fileName;
    QString md5;
    bool abortOnFailure = false;

signals:
    // Emitted while the task is still running, just before finished() or canceled().
    void checkDone(bool pass, CheckSignatureTaskSpecification* task);
};

#endif // CHECKSIGNATURETASKSPECIFICATION_H
