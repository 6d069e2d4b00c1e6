#pragma once
// The line rates the settings window offers, in its order. The store keeps the chosen rate as
// an index into this list ("Settings"/"BaudRate"), 2 ("38400") by default.

#include <QStringList>

namespace baudrates {

inline const QStringList &list()
{
    static const QStringList rates = {"9600", "19200", "38400", "57600", "115200", "230400"};
    return rates;
}
constexpr int kDefaultIndex = 2;

} // namespace baudrates
