#ifndef APPSANDBOX_H
#define APPSANDBOX_H

#include <QString>
#include <QTemporaryDir>

// A fresh temporary folder inside the application folder (the folder of the running test
// program), for code that resolves installed paths against Configuration::getAppRootPath().
// Paths handed to such code are relative to the application folder: relative() puts the
// sandbox's own name in front. Removed with everything in it on destruction.
class AppSandbox
{
public:
    AppSandbox();
    Q_DISABLE_COPY(AppSandbox)

    bool isValid() const { return dir.isValid(); }
    // Absolute path of the sandbox.
    QString path() const { return dir.path(); }
    // Absolute path of rel inside the sandbox.
    QString filePath(const QString& rel) const;
    // rel as a path relative to the application folder.
    QString relative(const QString& rel) const;

private:
    QTemporaryDir dir;
};

#endif // APPSANDBOX_H
