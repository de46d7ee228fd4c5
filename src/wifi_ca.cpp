#include "wifi_profiles.h"

#include <QCryptographicHash>
#include <QDir>

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vtl::wifi {
namespace {

// A CA certificate is public: anyone, the daemon among them, may read it.
constexpr mode_t ca_mode = 0644;
// More than any certificate's PEM form.
constexpr qsizetype longest_pem = 64 * 1024;

QByteArray pem(const QByteArray& der)
{
    const QByteArray base64 = der.toBase64();
    QByteArray text = "-----BEGIN CERTIFICATE-----\n";
    for (qsizetype at = 0; at < base64.size(); at += 64)
        text += base64.mid(at, 64) + '\n';
    return text + "-----END CERTIFICATE-----\n";
}

// Writes `text` whole to a new file beside `path` and links it there: a file
// already at `path` is never replaced. False when the folder cannot take it.
bool write_new(const QByteArray& path, const QByteArray& text)
{
    QByteArray temporary = path + ".XXXXXX";
    const int descriptor = ::mkstemp(temporary.data());
    if (descriptor < 0)
        return false;
    bool written = ::fchmod(descriptor, ca_mode) == 0;
    for (qsizetype at = 0; written && at < text.size();) {
        const ssize_t size = ::write(descriptor, text.constData() + at, size_t(text.size() - at));
        written = size > 0;
        at += size > 0 ? size : 0;
    }
    written = ::fsync(descriptor) == 0 && written;
    written = ::close(descriptor) == 0 && written;
    written = written && ::link(temporary.constData(), path.constData()) == 0;
    ::unlink(temporary.constData());
    return written;
}

} // namespace

QByteArray ca_folder()
{
    return qEnvironmentVariableIsSet("VANTREL_WIFI_CA_DIR") ? qgetenv("VANTREL_WIFI_CA_DIR")
                                                             : QByteArray("/var/lib/vantrel-wifi/ca");
}

std::unique_ptr<KeptCa> KeptCa::write(const QByteArray& der)
{
    const QByteArray path =
        ca_folder() + '/' + QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex() + ".pem";
    const QByteArray text = pem(der);
    const bool written = write_new(path, text);
    // The same certificate, kept for another profile or an earlier run, serves as well.
    if (!written && read_regular(path, longest_pem) != text)
        return nullptr;
    return std::unique_ptr<KeptCa>(new KeptCa(path, written));
}

KeptCa::~KeptCa()
{
    if (written_)
        ::unlink(path_.constData());
}

QByteArrayList ca_files_of(const Client& client, const std::vector<Profile>& named)
{
    const QByteArray folder = ca_folder();
    QByteArrayList files;
    if (QDir(QString::fromLocal8Bit(folder)).entryList({QStringLiteral("*.pem")}, QDir::Files).isEmpty())
        return files;
    for (const Profile& profile : named) {
        const QByteArray path = text_value(field_of(client, profile.id, "ca_cert").value_or(QByteArray()));
        if (path.startsWith(folder + '/') && !path.mid(folder.size() + 1).contains('/') && !files.contains(path))
            files.append(path);
    }
    return files;
}

void remove_unnamed(const Client& client, QByteArrayList files)
{
    if (files.isEmpty())
        return;
    try {
        for (const Profile& profile : profiles(client))
            files.removeAll(text_value(field_of(client, profile.id, "ca_cert").value_or(QByteArray())));
    } catch (const std::runtime_error&) {
        return;
    }
    for (const QByteArray& file : files)
        ::unlink(file.constData());
}

} // namespace vtl::wifi
