#ifndef STAGEDFILE_H
#define STAGEDFILE_H

#include <QString>

// A new file written under a temporary name in the folder of its final name and given that
// name by one rename at the end, with its content and mode complete, so the final name holds
// its previous entry or the whole new file at every instant. The temporary file is created
// fresh, never through a link, and is removed again unless it was put in place.
class StagedFile
{
public:
    // Creates the temporary file, mode 0666 less the umask, after removing what a killed run
    // left at its name (a folder as a whole tree). With replace false nothing is created when anything stands at path
    // already (a dangling link included).
    StagedFile(const QString& path, bool replace);
    // Stages the file open at source itself: the temporary name becomes a second name of it,
    // so that no byte is copied and the file placed is the very one opened. Nothing is staged
    // where the file system cannot give it that name (another file system, FAT, too many
    // links, a file of another owner), or where the file lacks what a file created in path's
    // folder gets (its group and ACL); the caller then writes a copy instead.
    StagedFile(const QString& path, bool replace, int source);
    ~StagedFile();
    Q_DISABLE_COPY(StagedFile)

    bool isOpen() const { return fd >= 0; }
    // The open temporary file; it stays owned by this object.
    int handle() const { return fd; }
    // Gives the file its mode. A file system that cannot hold it (no modes at all, as on
    // FAT or fusefat) is no failure: the file keeps the mode it has.
    bool setMode(unsigned mode);
    // Writes all of data at the current offset.
    bool write(const char* data, qint64 size);
    // Closes the temporary file and gives it the final name: over what stands there when
    // replace was set, else only where nothing stands. Fails when the temporary name no longer
    // holds the file written here. A failure leaves the final name as it was.
    bool place();

private:
    // Gives the temporary name to a new entry made by create, which fails with EEXIST where
    // something stands there: what a killed run left is removed and the name tried again.
    template <typename Create>
    void stage(Create create);

    const QString path;
    const bool replace;
    QString temp;
    int fd = -1;
    bool placed = false;
};

#endif // STAGEDFILE_H
