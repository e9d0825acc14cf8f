#include "app/ServerOptions.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QRegularExpression>
#include <QtCore/QUrl>

namespace {

// "127.0.0.1:8760", "0.0.0.0:80", "[::1]:8760".
bool readAddress(const QString& text, QHostAddress& address, quint16& port)
{
    const QUrl url("http://" + text, QUrl::StrictMode);
    const int number = url.port();
    const QHostAddress host(url.host());
    if (!url.isValid() || number < 1 || number > 65535 || host.isNull() || !url.path().isEmpty() ||
        !url.userInfo().isEmpty() || text.contains('/') || text.contains('?') || text.contains('#'))
        return false;
    address = host;
    port = static_cast<quint16>(number);
    return true;
}

// "10.0.0.0/8", "192.168.1.20" (that address alone), "fd00::/8".
bool readSubnet(const QString& text, QPair<QHostAddress, int>& subnet)
{
    const QHostAddress single(text);
    if (!single.isNull()) {
        subnet = {single, single.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32};
        return true;
    }
    subnet = QHostAddress::parseSubnet(text);
    return !subnet.first.isNull() && subnet.second >= 0;
}

} // namespace

QString ServerOptions::helpText()
{
    return "Usage: kestrix-server [--listen ADDR:PORT] [--token-file PATH] [--mapping-file PATH]\n"
           "                      [--allowed-host NAME]... [--shows-dir PATH] [--tls-cert PATH --tls-key PATH]\n"
           "                      [--ember ADDR:PORT|off] [--ember-allow CIDR]...\n"
           "\n"
           "Kestrix without a window: the router, its routing page for any browser and its HTTP API.\n"
           "\n"
           "  --listen ADDR:PORT   Serve on this address and port (default 127.0.0.1:8760).\n"
           "                       Any address but the loopback is logged as a warning.\n"
           "  --token-file PATH    Keep the access token in this file (default: remote-access-token\n"
           "                       in the application-data folder). Made at the first start, mode 0600.\n"
           "  --mapping-file PATH  Read the routing from this file at start, write it there within a\n"
           "                       second of every change, on Save and at exit (default:\n"
           "                       sendersChannelMappings.ploverc in the application-data folder).\n"
           "  --allowed-host NAME  Also serve requests that name this host (as a proxy or a DNS name\n"
           "                       does); may be given more than once. Otherwise only the listening\n"
           "                       address (on the loopback: 127.0.0.1, localhost, [::1]) is served.\n"
           "  --shows-dir PATH     The folder the API loads and saves mapping files in (default: the\n"
           "                       folder of the mapping file).\n"
           "  --tls-cert PATH      Serve over HTTPS with this certificate (PEM) ...\n"
           "  --tls-key PATH       ... and its private key (PEM, unencrypted).\n"
           "  --ember ADDR:PORT    Serve the routing to Ember+ control systems here (default\n"
           "                       127.0.0.1:9000); --ember off serves no Ember+. Ember+ has no\n"
           "                       authentication: any address but the loopback is logged as a warning.\n"
           "  --ember-allow CIDR   Serve Ember+ only to clients in this network, as 10.0.0.0/8 or one\n"
           "                       address; may be given more than once.\n"
           "  -h, --help           Show this text.\n"
           "\n"
           "SIGTERM, SIGINT and SIGHUP end it, writing the routing. The README describes the API.\n";
}

std::optional<ServerOptions> ServerOptions::read(const QStringList& arguments, QString& why)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    // The descriptions are helpText's.
    const QCommandLineOption listen("listen", {}, "ADDR:PORT");
    const QCommandLineOption token("token-file", {}, "PATH");
    const QCommandLineOption mapping("mapping-file", {}, "PATH");
    const QCommandLineOption allowedHost("allowed-host", {}, "NAME");
    const QCommandLineOption shows("shows-dir", {}, "PATH");
    const QCommandLineOption certificate("tls-cert", {}, "PATH");
    const QCommandLineOption key("tls-key", {}, "PATH");
    const QCommandLineOption ember("ember", {}, "ADDR:PORT");
    const QCommandLineOption emberAllow("ember-allow", {}, "CIDR");
    const QCommandLineOption help(QStringList{"h", "help"});
    parser.addOptions({listen, token, mapping, allowedHost, shows, certificate, key, ember, emberAllow, help});
    if (!parser.parse(arguments)) {
        why = parser.errorText();
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        why = "Unexpected argument '" + parser.positionalArguments().first() + "'.";
        return std::nullopt;
    }
    ServerOptions options;
    options.help = parser.isSet(help);
    for (const QCommandLineOption& once : {listen, token, mapping, shows, certificate, key, ember})
        if (parser.values(once).size() > 1) {
            why = "--" + once.names().first() + " is given more than once.";
            return std::nullopt;
        }
    if (parser.isSet(listen) && !readAddress(parser.value(listen), options.address, options.port)) {
        why = "--listen needs an IP address and a port from 1 to 65535, as 127.0.0.1:8760 or [::1]:8760; got '" +
            parser.value(listen) + "'.";
        return std::nullopt;
    }
    options.ember = parser.value(ember) != "off";
    if (options.ember && parser.isSet(ember) &&
        !readAddress(parser.value(ember), options.emberAddress, options.emberPort)) {
        why = "--ember needs an IP address and a port from 1 to 65535, as 127.0.0.1:9000, or off; got '" +
            parser.value(ember) + "'.";
        return std::nullopt;
    }
    for (const QString& network : parser.values(emberAllow)) {
        QPair<QHostAddress, int> subnet;
        if (!readSubnet(network, subnet)) {
            why = "--ember-allow needs a network, as 10.0.0.0/8, or an address; got '" + network + "'.";
            return std::nullopt;
        }
        options.emberAllow.append(subnet);
    }
    options.tokenFile = parser.value(token);
    options.mappingFile = parser.value(mapping);
    options.showsFolder = parser.value(shows);
    options.tlsCertificate = parser.value(certificate);
    options.tlsKey = parser.value(key);
    for (const QCommandLineOption& path : {token, mapping, shows, certificate, key})
        if (parser.isSet(path) && parser.value(path).isEmpty()) {
            why = "--" + path.names().first() + " needs a path.";
            return std::nullopt;
        }
    if (options.tlsCertificate.isEmpty() != options.tlsKey.isEmpty()) {
        why = "--tls-cert and --tls-key go together.";
        return std::nullopt;
    }
    options.allowedHosts = parser.values(allowedHost);
    for (const QString& name : options.allowedHosts)
        if (name.isEmpty() || name.contains(QRegularExpression("[\\s/@?#]"))) {
            why = "--allowed-host needs a host name, as kestrix.example; got '" + name + "'.";
            return std::nullopt;
        }
    return options;
}
