#ifndef CHECKSIGFUNC_H
#define CHECKSIGFUNC_H

#include "tasks/asynctaskspecification.h"

#include <QByteArray>
#include <QString>

// Checks one file against an expected MD5 sum or, when the sum is empty, against the RSA
// signature in the file of the same name with ".sig" appended. Only regular files are read: a
// link, a FIFO or a device at either name fails the check at once. run() works wholly on the
// calling thread, so it may also be called directly, without a task and without connections.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT
    Q_DISABLE_COPY(CheckSigFunc)

public:
    CheckSigFunc(QString fileName, QString md5);

    // checkMD5() if md5 is set, else checkRSA(); true when the file passes.
    bool run() override;

    // Reads the whole file into data; false, after a message, if it cannot be read completely.
    bool readFile(QString path, QByteArray& data);
    // Compares md5 with the file's digest, ignoring case but nothing else. The file is hashed
    // in fixed blocks, so memory does not grow with its size.
    bool checkMD5();
    // Verifies fileName against fileName + ".sig" with the embedded public key. Library
    // errors count as a failed check and emit nothing; so does a file over its size bound,
    // which is refused before either file is read.
    bool checkRSA();

    // Bounds of the signature check. A mirror decides what these files hold: nothing larger
    // is read, and their downloads stop once past them.
    static constexpr qint64 MaxSignedFileSize = 64 * 1024 * 1024;
    static constexpr qint64 MaxSignatureSize = 4096;

    QString fileName;
    QString md5;
};

#endif // CHECKSIGFUNC_H
