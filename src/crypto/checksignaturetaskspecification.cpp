#include "crypto/checksignaturetaskspecification.h"

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(QString fileName, QString md5,
                                                                 bool abortOnFailure,
                                                                 QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , fileName(std::move(fileName))
    , md5(std::move(md5))
    , abortOnFailure(abortOnFailure)
{
}

ASyncFunc* CheckSignatureTaskSpecification::createFunction()
{
    return new CheckSigFunc(fileName, md5);
}

void CheckSignatureTaskSpecification::runDone(bool ok)
{
    if (state != TaskRunning)
        return;
    if (ok) {
        emit checkDone(true, this);
        finish();
        return;
    }
    emit message(QStringLiteral("Signature check failed for %1").arg(fileName));
    emit checkDone(false, this);
    if (abortOnFailure)
        errorCancel();
    else
        finish();
}
