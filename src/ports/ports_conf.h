#pragma once
// A ports.conf: "COM<N>=PATH" lines, '#' comments. Every line or file that
// cannot be used becomes a warning that names the file (and the line), so a
// binding someone wrote is never dropped without a word.

#include <QHash>
#include <QString>
#include <QStringList>

namespace flash3 {

struct FileBinding {
    QString path;
    int line = 0;  // where in the file, for "bound already on line N"
};

// Adds the bindings of `file` to `into` (the first binding of a COM number
// wins); no file there adds nothing and says nothing.
void readPortsConf(const QString& file, QHash<int, FileBinding>& into, QStringList& warnings);

} // namespace flash3
