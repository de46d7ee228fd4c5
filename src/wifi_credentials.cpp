#include "wifi_credentials.h"

#include <QByteArrayList>
#include <QString>

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace vtl::wifi {
namespace {

// In the order of Credentials. WPA3 demands management-frame protection.
const Kind kinds[] = {
    {Credentials::Open, "open", 0, 0, nullptr, nullptr, nullptr,
     {{"key_mgmt", "NONE", "set open-network security"}}, {}},
    {Credentials::Psk, "WPA personal", 8, 63, "A WPA password must contain 8 to 63 UTF-8 bytes.", nullptr, nullptr,
     {{"key_mgmt", "WPA-PSK", "set WPA security"}, {"psk", nullptr, "set WPA password"}},
     {"scan_ssid", "priority"}},
    {Credentials::Sae, "WPA personal", 1, 128, "A WPA3 password must contain 1 to 128 bytes.", "SAE",
     "This Wi-Fi adapter does not support WPA3.",
     {{"key_mgmt", "SAE", "set WPA3 security"}, {"ieee80211w", "2", "set WPA3 security"},
      {"sae_password", nullptr, "set WPA3 password"}},
     {"scan_ssid", "priority"}},
    // Its fields are the user's (enterprise_settings); a new password keeps
    // the old profile's method, identities and server check.
    {Credentials::Enterprise, "WPA enterprise", 1, 256, "An enterprise password must contain 1 to 256 bytes.",
     nullptr, nullptr, {},
     {"key_mgmt", "ieee80211w", "eap", "identity", "anonymous_identity", "phase1", "phase2", "ca_cert", "ca_path",
      "domain_suffix_match", "domain_match", "scan_ssid", "priority"},
     true},
    // The key's passphrase is the secret, and is optional: a key may have none.
    {Credentials::Certificate, "WPA enterprise", 0, 256, "A key passphrase must contain 1 to 256 bytes.", nullptr,
     nullptr, {}, {}, true},
    {Credentials::Unsupported, "unsupported", 0, 0, nullptr, nullptr, nullptr, {}, {}},
};

// The key-management tokens of every flag group [PROTO-KM+KM...-CIPHER...(-preauth)],
// upper case: a token such as EAP-SHA256 or SUITE-B-192 holds hyphens itself,
// so the ciphers are cut off first, then the tokens split at '+'.
QByteArrayList key_management(QByteArrayView flags)
{
    static const char* const ciphers[] = {"-CCMP", "-GCMP", "-TKIP", "-NONE", "-WEP", "-PREAUTH"};
    QByteArrayList tokens;
    const QByteArray upper = flags.toByteArray().toUpper();
    for (qsizetype open = upper.indexOf('['); open >= 0; open = upper.indexOf('[', open + 1)) {
        const qsizetype close = upper.indexOf(']', open);
        const QByteArray group = upper.mid(open + 1, close < 0 ? -1 : close - open - 1);
        const qsizetype dash = group.indexOf('-');
        if (dash < 0)
            continue;
        QByteArray methods = group.mid(dash + 1);
        for (const char* cipher : ciphers) {
            const qsizetype at = methods.indexOf(cipher);
            if (at >= 0)
                methods.truncate(at);
        }
        tokens += methods.split('+');
    }
    return tokens;
}

bool enterprise_token(const QByteArray& token)
{
    return token == "EAP" || token == "FT/EAP" || token == "EAP-SHA256";
}

// Tried in this order, the first match wins; flags without any is an open
// network. A network that offers a PSK is joined with one, even when it
// offers SAE too: mixed mode trips adapters without management-frame
// protection. WPA3 alone leaves SAE.
struct Recognition {
    std::initializer_list<const char*> words;
    Credentials credentials;
};
const Recognition recognitions[] = {
    {{"EAP", "WEP"}, Credentials::Unsupported},
    {{"PSK"}, Credentials::Psk},
    {{"SAE"}, Credentials::Sae},
    {{"WPA", "RSN"}, Credentials::Unsupported},
};

bool mentions(QByteArrayView flags, QByteArrayView word)
{
    const auto same = [](char flag, char letter) { return (flag >= 'a' && flag <= 'z' ? flag - 32 : flag) == letter; };
    return std::search(flags.begin(), flags.end(), word.begin(), word.end(), same) != flags.end();
}

struct NamedSetting {
    const char* name;
    const char* phrase;
};
const NamedSetting settings[] = {
    {"scan_ssid", "set hidden Wi-Fi network"},
    {"priority", "set Wi-Fi network priority"},
    {"key_mgmt", "set WPA enterprise security"},
    {"ieee80211w", "set management frame protection"},
    {"eap", "set enterprise method"},
    {"phase1", "set enterprise method"},
    {"identity", "set enterprise identity"},
    {"anonymous_identity", "set anonymous identity"},
    {"password", "set enterprise password"},
    {"phase2", "set inner method"},
    {"client_cert", "set client certificate"},
    {"private_key", "set private key"},
    {"private_key_passwd", "set key passphrase"},
    {"ca_cert", "set CA certificate"},
    {"ca_path", "set CA certificate"},
    {"domain_suffix_match", "set server domain"},
    {"domain_match", "set server domain"},
};

} // namespace

const Kind& kind_of(Credentials credentials)
{
    return kinds[size_t(credentials)];
}

Credentials recognise(QByteArrayView flags)
{
    // 802.1X by PEAP or TTLS; WPA3's 192-bit mode takes EAP-TLS only.
    if (mentions(flags, "EAP") && !mentions(flags, "WEP")) {
        const QByteArrayList tokens = key_management(flags);
        const bool suite_b = std::any_of(tokens.begin(), tokens.end(), [](const QByteArray& t) { return t.contains("SUITE-B"); });
        if (!suite_b && std::any_of(tokens.begin(), tokens.end(), enterprise_token))
            return Credentials::Enterprise;
    }
    for (const Recognition& recognition : recognitions) {
        for (const char* word : recognition.words) {
            if (mentions(flags, word))
                return recognition.credentials;
        }
    }
    return Credentials::Open;
}

void check_secret(const Kind& kind, const QByteArray& password)
{
    if (kind.longest_secret > 0 && (password.size() < kind.shortest_secret || password.size() > kind.longest_secret))
        throw failure(QString::fromUtf8(kind.secret_rule));
}

QByteArray encode_ssid(const QByteArray& ssid)
{
    return ssid.toHex();
}

// The daemon takes every byte between the outer quotes as it stands, so the
// password goes in unchanged; only bytes that would end the request are refused.
QByteArray encode_password(const QByteArray& password)
{
    check_line(password);
    return '"' + password + '"';
}

void check_line(const QByteArray& password)
{
    if (password.contains('\0') || password.contains('\n') || password.contains('\r'))
        throw failure(QStringLiteral("Wi-Fi passwords cannot contain NUL or newline characters."));
}

const char* setting_phrase(const char* name)
{
    for (const NamedSetting& setting : settings) {
        if (std::strcmp(setting.name, name) == 0)
            return setting.phrase;
    }
    return name;
}

bool takes_password(Credentials credentials)
{
    return kind_of(credentials).longest_secret > 0;
}

bool joinable(Credentials credentials)
{
    return credentials != Credentials::Unsupported;
}

Credentials with_password(Credentials scanned)
{
    return takes_password(scanned) ? scanned : Credentials::Psk;
}

bool sha256_only(const QByteArray& flags)
{
    const QByteArrayList tokens = key_management(flags);
    return tokens.contains("EAP-SHA256") && !tokens.contains("EAP") && !tokens.contains("FT/EAP");
}

QString Client::security_name(Credentials credentials)
{
    // Built once: a crowded list names a kind for every entry.
    static const std::vector<QString> names = [] {
        std::vector<QString> all;
        for (const Kind& kind : kinds)
            all.push_back(QString::fromLatin1(kind.security));
        return all;
    }();
    return names[size_t(credentials)];
}

} // namespace vtl::wifi
