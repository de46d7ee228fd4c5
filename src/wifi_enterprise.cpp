#include "wifi_credentials.h"
#include "wifi_private.h"

#include <QString>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vtl::wifi {
namespace {

constexpr int longest_identity = 253;
constexpr int longest_domain = 253;
// More than any CA bundle: a file this long is not a certificate to read whole.
constexpr qsizetype longest_ca_file = 4 * 1024 * 1024;

void check_identity(const std::optional<QByteArray>& identity)
{
    if (!identity)
        return;
    if (identity->isEmpty() || identity->size() > longest_identity)
        throw failure(QStringLiteral("An identity must contain 1 to 253 bytes."));
    if (identity->contains('\0') || identity->contains('\n') || identity->contains('\r'))
        throw failure(QStringLiteral("An identity cannot contain NUL or newline characters."));
}

// Letters, digits, hyphens, and dots between labels that are not empty.
bool host_name(const QByteArray& domain)
{
    if (domain.isEmpty() || domain.size() > longest_domain)
        return false;
    const bool letters = std::all_of(domain.begin(), domain.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    });
    return letters && !domain.startsWith('.') && !domain.endsWith('.') && !domain.contains("..");
}

// The daemon has a working directory of its own: the path it gets is absolute.
QByteArray absolute(const QByteArray& path)
{
    if (path.startsWith('/'))
        return path;
    char directory[4096];
    if (!::getcwd(directory, sizeof directory))
        return QByteArray();
    return QByteArray(directory) + '/' + path;
}

// A regular file we can read that holds a PEM certificate.
bool holds_certificate(const QByteArray& path)
{
    // Opened without waiting (a FIFO would hold the run), then only a regular file is read.
    const struct Closing {
        int descriptor;
        ~Closing()
        {
            if (descriptor >= 0)
                ::close(descriptor);
        }
    } file{::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    struct stat info {};
    if (file.descriptor < 0 || ::fstat(file.descriptor, &info) != 0 || !S_ISREG(info.st_mode)
        || info.st_size > longest_ca_file)
        return false;
    QByteArray text(qsizetype(info.st_size), Qt::Uninitialized);
    const ssize_t got = ::read(file.descriptor, text.data(), size_t(text.size()));
    return got > 0 && text.left(got).contains("-----BEGIN CERTIFICATE-----");
}

QByteArray ca_bundle()
{
    return qEnvironmentVariableIsSet("VANTREL_CA_BUNDLE") ? qgetenv("VANTREL_CA_BUNDLE")
                                                          : QByteArray("/etc/ssl/certs/ca-certificates.crt");
}

QByteArray quoted(const QByteArray& value)
{
    return '"' + value + '"';
}

// The text of `name='...'` in an event; a value runs to the quote before the
// next field, or to the last quote.
QByteArray event_field(const QByteArray& event, const QByteArray& name, const QByteArray& next)
{
    const qsizetype start = event.indexOf(' ' + name + "='");
    if (start < 0)
        return QByteArray();
    const qsizetype from = start + name.size() + 3;
    const qsizetype end = next.isEmpty() ? event.lastIndexOf('\'') : event.lastIndexOf("' " + next + "='");
    return end >= from ? event.mid(from, end - from) : event.mid(from);
}

} // namespace

Enterprise enterprise_options(const EnterpriseWords& words)
{
    Enterprise chosen;
    if (words.eap && *words.eap != "peap" && *words.eap != "ttls")
        throw failure(QStringLiteral("--eap must be peap or ttls."));
    if (words.phase2 && *words.phase2 != "mschapv2" && *words.phase2 != "pap")
        throw failure(QStringLiteral("--phase2 must be mschapv2 or pap."));
    if (words.eap == "ttls" && !words.phase2)
        throw failure(QStringLiteral("TTLS needs --phase2 pap or --phase2 mschapv2."));
    if (words.eap == "peap" && words.phase2 == "pap")
        throw failure(QStringLiteral("PEAP uses --phase2 mschapv2."));
    check_identity(words.identity);
    check_identity(words.anonymous_identity);
    if (words.domain && !host_name(*words.domain))
        throw failure(QStringLiteral("A server domain is a name such as radius.example.org."));
    if (words.ca_cert && (words.ca_cert->isEmpty() || !holds_certificate(*words.ca_cert)))
        throw failure(QStringLiteral("Could not read a CA certificate from %1.").arg(QString::fromLocal8Bit(*words.ca_cert)));
    chosen.ca_cert = words.ca_cert ? absolute(*words.ca_cert) : ca_bundle();
    if (words.eap && !words.ca_cert && ::access(chosen.ca_cert.constData(), R_OK) != 0)
        throw failure(QStringLiteral("No CA bundle at %1; give a CA certificate with connect --ca-cert FILE.")
                          .arg(QString::fromLocal8Bit(chosen.ca_cert)));
    chosen.method = words.eap.value_or(QByteArray()).toUpper();
    chosen.inner = words.phase2.value_or("mschapv2").toUpper();
    chosen.identity = words.identity.value_or(QByteArray());
    chosen.domain = words.domain.value_or(QByteArray());
    // The realm routes the outer identity to the user's home server (eduroam).
    const qsizetype at = chosen.identity.lastIndexOf('@');
    chosen.anonymous_identity = words.anonymous_identity ? *words.anonymous_identity
        : at >= 0 && at + 1 < chosen.identity.size() ? "anonymous" + chosen.identity.mid(at)
                                                      : QByteArray();
    return chosen;
}

// Protected management frames where the adapter can; required where the
// network offers nothing older.
std::vector<Setting> enterprise_settings(const Enterprise& enterprise, const QByteArray& password)
{
    check_secret(kind_of(Credentials::Enterprise), password);
    check_line(password);
    std::vector<Setting> settings{
        {"key_mgmt", enterprise.sha256_only ? "WPA-EAP-SHA256" : "WPA-EAP WPA-EAP-SHA256"},
        {"ieee80211w", enterprise.sha256_only ? "2" : "1"},
        {"eap", enterprise.method},
        {"identity", enterprise.identity.toHex()},
    };
    if (!enterprise.anonymous_identity.isEmpty())
        settings.push_back({"anonymous_identity", enterprise.anonymous_identity.toHex()});
    settings.push_back({"password", password.toHex()});
    settings.push_back({"phase2", quoted("auth=" + enterprise.inner)});
    settings.push_back({"ca_cert", quoted(enterprise.ca_cert)});
    settings.push_back({"domain_suffix_match", quoted(enterprise.domain)});
    return settings;
}

std::optional<QString> eap_failure(const QByteArray& event, const QByteArray& ca_file)
{
    const QByteArray text = event.startsWith('<') ? event.mid(event.indexOf('>') + 1) : event;
    if (text.startsWith("CTRL-EVENT-EAP-TLS-CERT-ERROR "))
        return QStringLiteral("Could not verify the network's server: %1 (it presented %2).")
            .arg(QString::fromUtf8(event_field(text, "err", QByteArray())),
                 QString::fromUtf8(event_field(text, "subject", "err")));
    if (text.startsWith("CTRL-EVENT-EAP-FAILURE"))
        return QStringLiteral("The network refused the identity or password.");
    if (text.startsWith("EAP: Failed to initialize EAP method")) {
        const qsizetype open = text.lastIndexOf('(');
        const QByteArray method = open >= 0 ? text.mid(open + 1).chopped(text.endsWith(')') ? 1 : 0) : QByteArray("EAP");
        return QStringLiteral("wpa_supplicant could not start %1; can it read %2?")
            .arg(QString::fromUtf8(method), QString::fromLocal8Bit(ca_file));
    }
    return std::nullopt;
}

} // namespace vtl::wifi
