#include "tasks/slowfileoptaskspecification.h"

SlowFileOpFunc::SlowFileOpFunc(const QString& src, const QString& dst, bool replaceDst,
                               bool executable)
    : src(src)
    , dst(dst)
    , replaceDst(replaceDst)
    , executable(executable)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(QString failMessage, RollbackDataList* journal,
                                                 const QString& src, const QString& dst,
                                                 QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , journal(journal)
    , src(src)
    , dst(dst)
    , failMessage(std::move(failMessage))
{
}

void SlowFileOpSpecification::runDone(bool res)
{
    // A result from a run that no longer counts must not touch the journal either.
    if (state != TaskRunning)
        return;
    if (res && journal)
        journal->add(undoEntry());
    if (!res)
        emit message(failMessage);
    ASyncTaskSpecification::runDone(res);
}

RollbackData SlowFileOpSpecification::undoEntry() const
{
    return RollbackData(RollbackData::CreateFile, dst);
}
