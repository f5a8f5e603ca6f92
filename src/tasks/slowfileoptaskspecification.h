#ifndef SLOWFILEOPTASKSPECIFICATION_H
#define SLOWFILEOPTASKSPECIFICATION_H

#include "tasks/asynctaskspecification.h"
#include "tasks/rollback.h"

// The work object of a slow file operation: reads its own copies of src and dst on the pool
// thread. It creates dst fresh; an existing dst is replaced, in one step, only with replaceDst.
// With executable, dst has ExecutableMode before it gets its name.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
    Q_DISABLE_COPY(SlowFileOpFunc)

public:
    SlowFileOpFunc(const QString& src, const QString& dst, bool replaceDst = false,
                   bool executable = false);

    // Owner rwx, everyone else r-x: a program that others may write to could be replaced by
    // any local user and run as whoever starts the client next.
    static constexpr unsigned ExecutableMode = 0755;

    const QString src;
    const QString dst;
    const bool replaceDst;
    const bool executable;
};

// A file operation that reads and writes whole files on the thread pool and creates dst.
// On success it records the creation of dst in the journal (on the GUI thread, before
// finished); on failure it emits failMessage and records nothing.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(SlowFileOpSpecification)

public:
    // journal may be null; not owned.
    SlowFileOpSpecification(QString failMessage, RollbackDataList* journal, const QString& src,
                            const QString& dst, QObject* parent, double weight);

    void runDone(bool res) override;

    RollbackDataList* journal = nullptr; // not owned
    QString src;
    QString dst;
    QString failMessage;
    // dst may stand already (an installed file kept under a second name): the new file then
    // takes its place in one step. Otherwise the operation fails when dst exists.
    bool replaceDst = false;
    // dst is a program or library: it is executable from the moment it has its name.
    bool executable = false;

protected:
    // What the journal gets on success: the creation of dst.
    virtual RollbackData undoEntry() const;
};

#endif // SLOWFILEOPTASKSPECIFICATION_H
