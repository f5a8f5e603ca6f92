#ifndef FILEDOWNLOADSPECIFICATION_H
#define FILEDOWNLOADSPECIFICATION_H

#include <QString>

// One file to fetch from a mirror into the temporary folder. The download requests
// section + "/" + file; locally the file lands at file below the temporary folder.
class FileDownloadSpecification
{
public:
    QString section;
    QString file;
    QString md5; // of the file as downloaded, hexadecimal
    quint64 size = 0;
};

#endif // FILEDOWNLOADSPECIFICATION_H
