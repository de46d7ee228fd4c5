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
// More than any key or PKCS#12 bundle of a person's.
constexpr qsizetype longest_key_file = 1024 * 1024;

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
    const std::optional<QByteArray> text = read_regular(path, longest_ca_file);
    return text && text->contains("-----BEGIN CERTIFICATE-----");
}

QString shown_path(const QByteArray& path)
{
    return QString::fromLocal8Bit(path);
}

// A TLS join's key: a PEM key beside a PEM certificate, or a PKCS#12 bundle
// (DER) that holds its own; private to its owner, as ssh insists.
void check_key(const EnterpriseWords& words, Enterprise& chosen)
{
    const QByteArray& path = *words.private_key;
    mode_t mode = 0;
    const std::optional<QByteArray> text = read_regular(path, longest_key_file, &mode);
    const bool pem = text && text->contains("PRIVATE KEY-----");
    const bool bundle = text && !pem && text->startsWith('\x30');
    if (!pem && !bundle)
        throw failure(QStringLiteral("Could not read a private key from %1.").arg(shown_path(path)));
    if (pem && !words.client_cert)
        throw failure(QStringLiteral("A PEM private key needs --client-cert FILE."));
    if (pem && !holds_certificate(*words.client_cert))
        throw failure(QStringLiteral("Could not read a client certificate from %1.").arg(shown_path(*words.client_cert)));
    if (bundle && words.client_cert)
        throw failure(QStringLiteral("%1 holds its own certificate; leave out --client-cert.").arg(shown_path(path)));
    if (pem && !words.passphrase
        && (text->contains("ENCRYPTED PRIVATE KEY") || text->contains("Proc-Type: 4,ENCRYPTED")))
        throw failure(QStringLiteral("The private key %1 is encrypted; give its passphrase with --password-stdin.")
                          .arg(shown_path(path)));
    if (mode & (S_IRGRP | S_IROTH))
        throw failure(QStringLiteral("%1 can be read by other users; make it private with chmod 600 %1.")
                          .arg(shown_path(path)));
    chosen.private_key = absolute(path);
    chosen.client_cert = pem ? absolute(*words.client_cert) : QByteArray();
    chosen.passphrase = words.passphrase;
}

// 64 hex digits, or 32 pairs of them between colons; in lower case.
std::optional<QByteArray> sha256_digits(const QByteArray& given)
{
    const QByteArrayList pairs = given.split(':');
    const bool paired = pairs.size() == 32
        && std::all_of(pairs.begin(), pairs.end(), [](const QByteArray& pair) { return pair.size() == 2; });
    const QByteArray digits = paired ? pairs.join() : given;
    const bool hex = digits.size() == 64 && std::all_of(digits.begin(), digits.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
    return hex ? std::optional<QByteArray>(digits.toLower()) : std::nullopt;
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

// Protected management frames where the adapter can; required where the
// network offers nothing older.
std::vector<Setting> key_management(const Enterprise& enterprise)
{
    return {{"key_mgmt", enterprise.sha256_only ? "WPA-EAP-SHA256" : "WPA-EAP WPA-EAP-SHA256"},
            {"ieee80211w", enterprise.sha256_only ? "2" : "1"}};
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

constexpr char pin_prefix[] = "hash://server/sha256/";

// What a person can do about a server that is not the one trusted: compare
// it with what the organisation publishes, then take it, or not.
QString next_step(const QByteArray& ssid, bool saved)
{
    const QString name = shell_word(ssid_label(ssid));
    return saved ? QStringLiteral(", then trust it with vantrel-wifi trust %1.").arg(name)
                 : QStringLiteral(" (vantrel-wifi server %1 shows it).").arg(name);
}

} // namespace

std::optional<QByteArray> read_regular(const QByteArray& path, qsizetype longest, mode_t* mode)
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
    if (path.isEmpty() || file.descriptor < 0 || ::fstat(file.descriptor, &info) != 0 || !S_ISREG(info.st_mode)
        || info.st_size > longest)
        return std::nullopt;
    QByteArray text(qsizetype(info.st_size), Qt::Uninitialized);
    const ssize_t got = ::read(file.descriptor, text.data(), size_t(text.size()));
    if (got < 0)
        return std::nullopt;
    if (mode)
        *mode = info.st_mode;
    return text.left(got);
}

void check_method(const std::optional<QByteArray>& eap)
{
    if (eap && *eap != "peap" && *eap != "ttls" && *eap != "tls")
        throw failure(QStringLiteral("--eap must be peap, ttls or tls."));
}

Enterprise enterprise_options(const EnterpriseWords& words)
{
    Enterprise chosen;
    const bool tls = words.eap == "tls";
    check_method(words.eap);
    if (words.phase2 && *words.phase2 != "mschapv2" && *words.phase2 != "pap")
        throw failure(QStringLiteral("--phase2 must be mschapv2 or pap."));
    if (tls && words.phase2)
        throw failure(QStringLiteral("TLS takes no --phase2."));
    if (words.eap == "ttls" && !words.phase2)
        throw failure(QStringLiteral("TTLS needs --phase2 pap or --phase2 mschapv2."));
    if (words.eap == "peap" && words.phase2 == "pap")
        throw failure(QStringLiteral("PEAP uses --phase2 mschapv2."));
    if ((words.client_cert || words.private_key) && !tls)
        throw failure(QStringLiteral("--client-cert and --private-key are for --eap tls."));
    if (tls && !words.private_key)
        throw failure(QStringLiteral("TLS needs --private-key."));
    if (tls)
        check_key(words, chosen);
    check_identity(words.identity);
    check_identity(words.anonymous_identity);
    if (words.domain && !host_name(*words.domain))
        throw failure(QStringLiteral("A server domain is a name such as radius.example.org."));
    const std::optional<QByteArray> pin = words.server_cert ? sha256_digits(*words.server_cert) : std::nullopt;
    if (words.server_cert && !pin)
        throw failure(QStringLiteral("--server-cert must be 64 hexadecimal digits."));
    if (pin && words.ca_cert)
        throw failure(QStringLiteral("Give --ca-cert or --server-cert, not both."));
    if (words.ca_cert && !holds_certificate(*words.ca_cert))
        throw failure(QStringLiteral("Could not read a CA certificate from %1.").arg(shown_path(*words.ca_cert)));
    chosen.ca_cert = pin ? pinned(*pin) : words.ca_cert ? absolute(*words.ca_cert) : ca_bundle();
    if (words.eap && !words.ca_cert && !pin && ::access(chosen.ca_cert.constData(), R_OK) != 0)
        throw failure(QStringLiteral("No CA bundle at %1; give a CA certificate with connect --ca-cert FILE.")
                          .arg(shown_path(chosen.ca_cert)));
    chosen.method = words.eap.value_or(QByteArray()).toUpper();
    chosen.inner = tls ? QByteArray() : words.phase2.value_or("mschapv2").toUpper();
    chosen.identity = words.identity.value_or(QByteArray());
    chosen.domain = words.domain.value_or(QByteArray());
    // The realm routes the outer identity to the user's home server (eduroam).
    // TLS sends its identity in clear: the certificate is what proves it.
    const qsizetype at = chosen.identity.lastIndexOf('@');
    chosen.anonymous_identity = tls                   ? QByteArray()
        : words.anonymous_identity                    ? *words.anonymous_identity
        : at >= 0 && at + 1 < chosen.identity.size() ? "anonymous" + chosen.identity.mid(at)
                                                      : QByteArray();
    return chosen;
}

QByteArray pinned(const QByteArray& sha256)
{
    return pin_prefix + sha256;
}

std::vector<Setting> enterprise_settings(const Enterprise& enterprise, const QByteArray& password)
{
    const bool tls = enterprise.method == "TLS";
    const Kind& kind = kind_of(tls ? Credentials::Certificate : Credentials::Enterprise);
    check_secret(kind, password);
    check_line(password);
    if (tls && enterprise.passphrase && password.isEmpty())
        throw failure(QString::fromUtf8(kind.secret_rule));
    std::vector<Setting> settings = key_management(enterprise);
    settings.push_back({"eap", enterprise.method});
    settings.push_back({"identity", enterprise.identity.toHex()});
    if (tls) {
        if (!enterprise.client_cert.isEmpty())
            settings.push_back({"client_cert", quoted(enterprise.client_cert)});
        settings.push_back({"private_key", quoted(enterprise.private_key)});
        if (enterprise.passphrase)
            settings.push_back({"private_key_passwd", password.toHex()});
    } else {
        if (!enterprise.anonymous_identity.isEmpty())
            settings.push_back({"anonymous_identity", enterprise.anonymous_identity.toHex()});
        settings.push_back({"password", password.toHex()});
        settings.push_back({"phase2", quoted("auth=" + enterprise.inner)});
    }
    settings.push_back({"ca_cert", quoted(enterprise.ca_cert)});
    settings.push_back({"domain_suffix_match", quoted(enterprise.domain)});
    return settings;
}

// Either tunnel the server proposes; the daemon's probe shows the chain and
// stops at the first certificate.
std::vector<Setting> probe_settings(const Enterprise& enterprise)
{
    std::vector<Setting> settings = key_management(enterprise);
    settings.push_back({"eap", "PEAP TTLS"});
    const QByteArray outer = enterprise.anonymous_identity.isEmpty() ? "anonymous" : enterprise.anonymous_identity;
    settings.push_back({"identity", outer.toHex()});
    settings.push_back({"ca_cert", quoted("probe://")});
    return settings;
}

QString EapWatch::another_certificate(const QByteArray& presented, const QByteArray& pinned) const
{
    const QString trusted = saved_ ? QStringLiteral("trusted for %1").arg(ssid_label(ssid_)) : QStringLiteral("given");
    return QStringLiteral("The network's server presented another certificate than the one %1 (sha256 %2; %3: %4). "
                          "Your organisation may have renewed it, or another access point may be impersonating "
                          "the network: compare it with the fingerprint your organisation publishes%5")
        .arg(trusted, QString::fromLatin1(presented), saved_ ? QStringLiteral("trusted") : QStringLiteral("given"),
             QString::fromLatin1(pinned), next_step(ssid_, saved_));
}

QString EapWatch::unverified(const QString& subject, const QByteArray& presented) const
{
    return QStringLiteral("The CA trusted for %1 does not vouch for the network's server (it presented %2, sha256 %3). "
                          "Your organisation may have changed its certificates, or another access point may be "
                          "impersonating the network: compare it with the fingerprint your organisation publishes%4")
        .arg(ssid_label(ssid_), subject, QString::fromLatin1(presented), next_step(ssid_, true));
}

QByteArray event_text(const QByteArray& event)
{
    return event.startsWith('<') ? event.mid(event.indexOf('>') + 1) : event;
}

EapWatch::EapWatch(const Enterprise& enterprise, const QByteArray& ssid, bool saved)
    : enterprise_(enterprise), ssid_(ssid), saved_(saved)
{
}

void EapWatch::read(const QByteArray& event)
{
    chain_.read(event);
    const QByteArray text = event_text(event);
    const bool tls = enterprise_.method == "TLS";
    if (text.startsWith("CTRL-EVENT-EAP-TLS-CERT-ERROR ")) {
        const QByteArray error = event_field(text, "err", QByteArray());
        const QString subject = QString::fromUtf8(event_field(text, "subject", "err"));
        const std::vector<ServerCertificate>& chain = chain_.chain().chain;
        const QByteArray presented = !chain.empty() && chain.front().depth == 0 ? chain.front().sha256 : QByteArray();
        if (error == "Server certificate mismatch")
            throw failure(another_certificate(presented, enterprise_.ca_cert.mid(sizeof pin_prefix - 1)));
        if (text.contains(" reason=1 ") && saved_)
            throw failure(unverified(subject, presented));
        const QString message = QStringLiteral("Could not verify the network's server: %1 (it presented %2).")
                                    .arg(QString::fromUtf8(error), subject);
        // The chain ends at a CA the check does not hold: a person may know the server.
        if (text.contains(" reason=1 "))
            throw UntrustedServer(failure(message).what(), chain_.chain());
        throw failure(message);
    }
    if (text.startsWith("CTRL-EVENT-EAP-FAILURE"))
        throw failure(tls ? QStringLiteral("The network refused the certificate.")
                          : QStringLiteral("The network refused the identity or password."));
    if (tls && (text.startsWith("EAP: Failed to initialize EAP method") || text.startsWith("CTRL-REQ-PASSPHRASE")))
        throw failure(QStringLiteral("wpa_supplicant could not use the private key %1; check its passphrase and that "
                                     "the daemon can read it.")
                          .arg(shown_path(enterprise_.private_key)));
    if (text.startsWith("EAP: Failed to initialize EAP method")) {
        const qsizetype open = text.lastIndexOf('(');
        const QByteArray method = open >= 0 ? text.mid(open + 1).chopped(text.endsWith(')') ? 1 : 0) : QByteArray("EAP");
        throw failure(QStringLiteral("wpa_supplicant could not start %1; can it read %2?")
                          .arg(QString::fromUtf8(method), shown_path(enterprise_.ca_cert)));
    }
}

} // namespace vtl::wifi
