#ifndef FILEREPLACESPECIFICATION_H
#define FILEREPLACESPECIFICATION_H

#include <QString>

// One file to install into the application folder: the downloaded file itself under its key,
// or, with an unzipName, its decompressed content under unzipName.
class FileReplaceSpecification
{
public:
    bool hasUnzip() const;
    // The installed path relative to the application folder.
    QString pureDestFilePath() const;
    // The installed path with prefix put in front of its file-name part; an empty prefix
    // returns pureDestFilePath() unchanged.
    QString destFileName(const QString& prefix) const;
    // Where the installation keeps the previous installed copy while it replaces it.
    QString oldDestFileName() const;
    // Whether the installed file is one of the known programs or libraries, which must be
    // executable.
    bool isExecutable() const;

    QString section;
    QString file;
    QString unzipMd5;
    quint64 unzipSize = 0;
    QString unzipName;
};

#endif // FILEREPLACESPECIFICATION_H
