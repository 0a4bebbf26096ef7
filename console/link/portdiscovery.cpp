#include "link/portdiscovery.hpp"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSerialPortInfo>

QString describeSerialPort(const SerialPortDetails& port) {
    QString text = port.manufacturer;
    // Many adapters repeat their maker at the start of the product name.
    if (!port.description.isEmpty() && !port.description.startsWith(port.manufacturer)) {
        text += text.isEmpty() ? port.description : QLatin1Char(' ') + port.description;
    } else if (text.isEmpty()) {
        text = port.description;
    }
    QStringList details;
    if (!port.serialNumber.isEmpty()) {
        details.append(port.serialNumber);
    }
    if (port.vendorId != 0 || port.productId != 0) {
        details.append(QStringLiteral("%1:%2")
                           .arg(port.vendorId, 4, 16, QLatin1Char('0'))
                           .arg(port.productId, 4, 16, QLatin1Char('0')));
    }
    if (!details.isEmpty()) {
        text += (text.isEmpty() ? QStringLiteral("(") : QStringLiteral(" (")) +
                details.join(QStringLiteral(", ")) + QLatin1Char(')');
    }
    return text.isEmpty() ? QFileInfo(port.device).fileName() : text;
}

void listSerialPorts(QStringList& ports, QStringList& descriptions, const QString& byIdDir) {
    ports.clear();
    descriptions.clear();
    // Stable names, /dev/serial/by-id/<name> -> ../../ttyUSB0, survive replugging and
    // renumbering, so they are what the list offers where they exist.
    QHash<QString, QString> stableName;
    const QDir byId(byIdDir);
    for (const QFileInfo& link :
         byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        if (link.isSymLink()) {
            stableName.insert(QFileInfo(link.symLinkTarget()).canonicalFilePath(),
                              link.absoluteFilePath());
        }
    }
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SerialPortDetails port;
        port.device = info.systemLocation();
        port.description = info.description();
        port.manufacturer = info.manufacturer();
        port.serialNumber = info.serialNumber();
        port.vendorId = info.hasVendorIdentifier() ? info.vendorIdentifier() : 0;
        port.productId = info.hasProductIdentifier() ? info.productIdentifier() : 0;
        const QString canonical = QFileInfo(port.device).canonicalFilePath();
        ports.append(stableName.value(canonical.isEmpty() ? port.device : canonical, port.device));
        descriptions.append(describeSerialPort(port));
    }
}
