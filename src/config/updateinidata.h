#ifndef UPDATEINIDATA_H
#define UPDATEINIDATA_H

#include <QString>

// The record of an update session: group "current" of "update.ini" in the application
// folder, naming the version whose files a temporary folder holds. Static operations only.
class UpdateIniData
{
public:
    UpdateIniData() = delete;

    // The path of "update.ini" in the application folder.
    static QString filename();
    // True only for a usable record: a numeric "version", a non-empty "type" and a "dir" that
    // is a folder the updater makes itself (Configuration::isTempDirPath, so in its clean form)
    // and a real folder (not a symbolic link) owned by the current user. The values then go to
    // the out-parameters that are not null, "dir" exactly as checked, so callers may empty and
    // remove it; otherwise they are left as they were.
    static bool get(int* version, QString* type, QString* dir);
    // Writes the record ("version", "dir", "type"); a failure to write is not reported.
    static void modify(int version, const QString& dir, const QString& type);
    // Removes the record; the other groups of "update.ini" stay as they are.
    static void cleanup();
};

#endif // UPDATEINIDATA_H
