#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <sys/stat.h>

// What a row may ask a status file to be besides its text: "|" makes it a
// FIFO that no one writes, "->target" a symbolic link to target (/dev/zero
// reads without end).
inline bool special_file(const QByteArray& contents)
{
    return contents == "|" || contents.startsWith("->");
}

inline void make_file(const QString& path, const QByteArray& contents)
{
    if (contents == "|") {
        ::mkfifo(QFile::encodeName(path).constData(), 0600);
    } else if (contents.startsWith("->")) {
        QFile::link(QString::fromUtf8(contents.mid(2)), path);
    } else {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(contents);
    }
}
