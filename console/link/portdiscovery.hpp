#pragma once
// Serial port discovery for the port list, through Qt SerialPort's view of the system.

#include <QString>
#include <QStringList>

// One serial port as Qt SerialPort reports it; the ids are 0 when the port has none.
struct SerialPortDetails {
    QString device;  // the device node, e.g. /dev/ttyUSB0
    QString description;
    QString manufacturer;
    QString serialNumber;
    quint16 vendorId = 0;
    quint16 productId = 0;
};

// One line for the port list: manufacturer and description, then the serial number and the
// USB ids where known, e.g. "FTDI FT232R USB UART (A50285BI, 0403:6001)".
QString describeSerialPort(const SerialPortDetails& port);

// Clears both lists and fills them with one path per port (the stable name under byIdDir where
// one links to the port, else its device node) and its description.
void listSerialPorts(QStringList& ports, QStringList& descriptions,
                     const QString& byIdDir = QStringLiteral("/dev/serial/by-id"));
