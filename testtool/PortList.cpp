#include "PortList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <string>

#include "serial/PortNames.h"

namespace {

const QString kDevPrefix = QStringLiteral("/dev/");

// A 8250-style UART node exists for every possible port; only a known port type means
// hardware is behind it.
bool UartPresent(const QString& classEntry) {
    QFile type(classEntry + QStringLiteral("/type"));
    if (!type.open(QIODevice::ReadOnly)) {
        return false;
    }
    bool ok = false;
    const int value = type.readAll().trimmed().toInt(&ok);
    return ok && value != 0;
}

// The device behind port n, as shown in parentheses; empty when the port does not exist.
QString DeviceOf(int port, const QString& ttyClassDir) {
    const std::string path = serial::PortDevicePath(port);
    if (path.empty()) {
        return {};
    }
    const QString device = QString::fromStdString(path);
    if (path != serial::DefaultPortDevice(port)) {
        // An entry of the port folder, present by construction: show what it leads to.
        QString target = QFileInfo(device).canonicalFilePath();
        if (target.isEmpty()) {
            target = device;
        }
        return target.startsWith(kDevPrefix) ? target.mid(kDevPrefix.size()) : target;
    }
    const QString name = QFileInfo(device).fileName();
    const QString classEntry = ttyClassDir + '/' + name;
    if (!QFileInfo::exists(classEntry)) {
        return {};
    }
    if (name.startsWith(QStringLiteral("ttyS")) && !UartPresent(classEntry)) {
        return {};
    }
    return name;
}

}  // namespace

QStringList ListSerialPorts(const QString& ttyClassDir) {
    QStringList ports;
    for (int port = serial::kFirstPort; port <= serial::kLastPort; ++port) {
        const QString device = DeviceOf(port, ttyClassDir);
        if (!device.isEmpty()) {
            ports << QStringLiteral("COM%1 (%2)").arg(port).arg(device);
        }
    }
    return ports;
}
