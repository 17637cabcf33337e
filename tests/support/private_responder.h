#pragma once
// A private mDNS responder for tests: a D-Bus system bus of its own (a
// socket in a temporary folder) and avahi-daemon on it, the daemon in a
// network namespace of its own that holds only the loopback interface, so
// that no announcement or query reaches a real network. The test process
// reaches both through DBUS_SYSTEM_BUS_ADDRESS, which Start sets and the
// destructor restores.
//
// Needs root (namespaces, a daemon that owns a system bus name) and the
// programs dbus-daemon, avahi-daemon, unshare and ip; Start says what is
// missing instead.

#include <unistd.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <string>

namespace parlivo::testing {

class PrivateResponder {
 public:
  PrivateResponder() = default;
  ~PrivateResponder() {
    Stop(avahi_);
    Stop(bus_);
    if (hadAddress_) {
      qputenv("DBUS_SYSTEM_BUS_ADDRESS", previousAddress_);
    } else {
      qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
  }
  PrivateResponder(const PrivateResponder&) = delete;
  PrivateResponder& operator=(const PrivateResponder&) = delete;

  // Starts the bus and the responder and waits (5 s at most) until the
  // responder serves. Empty on success, else why it could not start.
  std::string Start() {
    if (::geteuid() != 0) return "needs root to run avahi-daemon on a private D-Bus in a network namespace";
    for (const char* program : {"dbus-daemon", "avahi-daemon", "unshare", "ip"}) {
      if (Find(program).isEmpty()) return std::string(program) + " is not installed";
    }
    if (!dir_.isValid()) return "no temporary folder";
    const QString bus = dir_.filePath("bus");
    if (!Write("bus.conf", BusConfig(bus)) || !Write("avahi.conf", kAvahiConfig)) return "cannot write the configs";

    hadAddress_ = qEnvironmentVariableIsSet("DBUS_SYSTEM_BUS_ADDRESS");
    previousAddress_ = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + bus).toUtf8());

    bus_.setProcessChannelMode(QProcess::MergedChannels);
    bus_.start(Find("dbus-daemon"), {"--config-file=" + dir_.filePath("bus.conf"), "--nofork"});
    if (!bus_.waitForStarted(3000)) return "dbus-daemon did not start";
    if (!WaitFor([&] { return QFile::exists(bus); })) return "dbus-daemon made no socket";

    // Inside the new namespaces: loopback up and multicast-capable, and a
    // private /run/avahi-daemon so that the pid file of a responder that
    // runs on the machine does not stop this one.
    const QString script =
        "ip link set lo up && ip link set lo multicast on && mkdir -p /run/avahi-daemon && "
        "mount -t tmpfs tmpfs /run/avahi-daemon && exec avahi-daemon -f '" +
        dir_.filePath("avahi.conf") + "' --no-drop-root --no-chroot --no-rlimits";
    avahi_.setProcessChannelMode(QProcess::MergedChannels);
    avahi_.start(Find("unshare"), {"--net", "--mount", "sh", "-c", script});
    if (!avahi_.waitForStarted(3000)) return "avahi-daemon did not start";
    QByteArray output;
    const bool up = WaitFor([&] {
      avahi_.waitForReadyRead(50);
      output += avahi_.readAll();
      return output.contains("Server startup complete") || avahi_.state() == QProcess::NotRunning;
    });
    if (!up || !output.contains("Server startup complete"))
      return "avahi-daemon did not come up: " + output.right(400).toStdString();
    return {};
  }

 private:
  static constexpr const char* kAvahiConfig =
      "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\nenable-dbus=yes\n"
      "[wide-area]\nenable-wide-area=no\n"
      "[publish]\npublish-hinfo=no\npublish-workstation=no\n";

  static QString BusConfig(const QString& socket) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>system</type><listen>unix:path=" + socket + "</listen><auth>EXTERNAL</auth>"
           "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
  }

  static QString Find(const char* program) {
    QString path = QStandardPaths::findExecutable(program);
    if (path.isEmpty()) path = QStandardPaths::findExecutable(program, {"/usr/sbin", "/sbin", "/usr/bin"});
    return path;
  }

  bool Write(const QString& name, const QString& text) {
    QFile file(dir_.filePath(name));
    return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) == text.toUtf8().size();
  }

  template <typename Predicate>
  static bool WaitFor(Predicate done) {
    const QDeadlineTimer deadline(5000);
    while (!done()) {
      if (deadline.hasExpired()) return false;
      QThread::msleep(20);
    }
    return true;
  }

  static void Stop(QProcess& process) {
    if (process.state() == QProcess::NotRunning) return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
      process.kill();
      process.waitForFinished(1000);
    }
  }

  QTemporaryDir dir_;
  QProcess bus_;
  QProcess avahi_;
  bool hadAddress_ = false;
  QByteArray previousAddress_;
};

}  // namespace parlivo::testing
