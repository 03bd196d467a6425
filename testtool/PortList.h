// The serial ports offered in the port box.
#pragma once

#include <QString>
#include <QStringList>

// The ports that exist, in the order of their numbers, each as "COM<n> (<device>)" so that
// the number follows the first three characters: serial UARTs with hardware behind them,
// USB serial and ACM devices, and the COM<n> entries of $TARVIK_PORT_DIR. Port numbers map
// to devices through the library's own table. `ttyClassDir` is the kernel's tty class
// folder, which tells which devices exist.
QStringList ListSerialPorts(const QString& ttyClassDir);
