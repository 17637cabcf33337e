#include "chatclient/connect_values.h"

#include <QCommandLineParser>
#include <QSettings>

#include "chatclient/wire_text.h"

namespace parlivo {
namespace {

constexpr const char* kOrganisation = "Mossfold";
constexpr const char* kApplication = "parlivo-client";

// A nickname or room for the wire, or nullopt with `problem` set.
std::optional<std::string> NameForWire(const QString& name, const QString& what, QString& problem) {
  if (HasControlCharacter(name)) {
    problem = "The " + what + " must not contain control characters.";
    return std::nullopt;
  }
  QString missing;
  std::optional<std::string> wire = ToWire(name, missing);
  if (!wire) problem = "The " + what + " cannot be used. " + MissingCharacterHint(missing);
  return wire;
}

QSettings Settings() { return QSettings(kOrganisation, kApplication); }

}  // namespace

std::optional<ConnectTarget> CheckConnectValues(const ConnectValues& values, QString& problem) {
  const QString server = values.server.trimmed();
  if (server.isEmpty()) {
    problem = "Enter the server's address (HOST or HOST:PORT).";
    return std::nullopt;
  }
  std::string error;
  std::optional<ServerAddress> address = ParseServerAddress(server.toStdString(), error);
  if (!address) {
    problem = "The server address is not usable: " + QString::fromStdString(error) + ".";
    return std::nullopt;
  }
  if (values.tls && !address->portGiven) address->port = kDefaultTlsServerPort;
  if (values.nick.isEmpty()) {
    problem = "Enter a nickname.";
    return std::nullopt;
  }
  std::optional<std::string> nick = NameForWire(values.nick, "nickname", problem);
  if (!nick) return std::nullopt;
  std::optional<std::string> room = NameForWire(values.room, "room", problem);
  if (!room) return std::nullopt;
  return ConnectTarget{*address, values.tls, *nick, *room, values.service.toStdString()};
}

RememberedValues LoadRememberedValues() {
  QSettings settings = Settings();
  RememberedValues remembered;
  remembered.values.server = settings.value("server", "127.0.0.1").toString();
  remembered.values.nick = settings.value("nick", qEnvironmentVariable("USER")).toString();
  remembered.values.room = settings.value("room").toString();
  remembered.values.tls = settings.value("tls", false).toBool();
  remembered.values.service = settings.value("service").toString();
  remembered.joinAtStart = settings.value("joinAtStart", false).toBool();
  return remembered;
}

void RememberValues(const ConnectValues& values, bool joined) {
  QSettings settings = Settings();
  settings.setValue("server", values.server.trimmed());
  settings.setValue("nick", values.nick);
  settings.setValue("room", values.room);
  settings.setValue("tls", values.tls);
  settings.setValue("service", values.service);
  settings.setValue("joinAtStart", joined);
}

ClientCommandLine ParseClientCommandLine(const QStringList& arguments, const RememberedValues& remembered,
                                         const QString& version) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      "A chat client for a Parlivo server. Without arguments it opens with the values of\n"
      "the last run, and joins at once when they led to a join then.");
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption versionOption = parser.addVersionOption();
  const QCommandLineOption tls("tls",
                               "Connect encrypted, to the server's TLS port (65534 when PORT is omitted); the "
                               "server's key is remembered at the first connection and must not change.");
  parser.addOption(tls);
  parser.addPositionalArgument("server", "The server: HOST, HOST:PORT or [IPV6]:PORT (port 65535 when omitted).",
                               "[HOST[:PORT]");
  parser.addPositionalArgument("nick", "Your nickname.", "[NICK");
  parser.addPositionalArgument("room", "The room to join (none when omitted).", "[ROOM]]]");
  ClientCommandLine result;
  result.start = remembered;
  if (!parser.parse(arguments)) {
    result.exitStatus = 2;
    result.error = "parlivo-client: " + parser.errorText() + "\nTry 'parlivo-client --help'.\n";
    return result;
  }
  if (parser.isSet(help)) {
    result.exitStatus = 0;
    result.output = parser.helpText().replace("<executable_name>", "parlivo-client");
    return result;
  }
  if (parser.isSet(versionOption)) {
    result.exitStatus = 0;
    result.output = "parlivo-client " + version + "\n";
    return result;
  }
  const QStringList given = parser.positionalArguments();
  if (given.size() > 3) {
    result.exitStatus = 2;
    result.error = "parlivo-client: too many arguments\nTry 'parlivo-client --help'.\n";
    return result;
  }
  if (given.size() >= 1) {
    result.start.values.server = given[0];
    result.start.values.service.clear();
  }
  if (given.size() >= 2) {
    result.start.values.nick = given[1];
    result.start.values.room = given.value(2);  // no room unless one is given
  }
  if (!given.isEmpty()) result.start.joinAtStart = given.size() >= 2;
  if (parser.isSet(tls)) result.start.values.tls = true;
  return result;
}

}  // namespace parlivo
