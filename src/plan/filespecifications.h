#ifndef FILESPECIFICATIONS_H
#define FILESPECIFICATIONS_H

#include "plan/filedownloadspecification.h"
#include "plan/filereplacespecification.h"

#include <QList>
#include <QStringList>

// The three lists of one update: files to download, files to install, and paths relative to
// the application folder to delete at the end.
class FileSpecifications
{
public:
    FileSpecifications() = default;

    void clear();

    QList<FileDownloadSpecification> downloads;
    QList<FileReplaceSpecification> replaces;
    QList<QString> deletes;
};

#endif // FILESPECIFICATIONS_H
