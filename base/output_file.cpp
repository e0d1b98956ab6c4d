#include "base/base.h"

#include <QSaveFile>

bool saveFileAtomically(const QString &path, const QByteArray &bytes, bool textMode, QString *reason)
{
    QSaveFile file(path);
    QIODevice::OpenMode mode = QIODevice::WriteOnly;
    if (textMode)
        mode |= QIODevice::Text;
    const bool saved = file.open(mode) && file.write(bytes) == bytes.size() && file.commit();
    if (!saved && reason)
        *reason = file.errorString();
    return saved;
}
