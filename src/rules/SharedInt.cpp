#include "rules/SharedInt.h"

namespace orvel {

SharedInt::SharedInt(QObject* parent)
    : QObject(parent)
{}

void SharedInt::setVal(qint64 value)
{
    val_ = value;
    Q_EMIT changed();
}

} // namespace orvel
