#include "hints.h"

namespace hints {

QString noReply(const NoReply &what) {
    if (what.lineLost)
        return QStringLiteral("Hint: the connection to %1 dropped during the update. Once it is "
                              "back, start the update again.")
            .arg(what.where);
    const QString speed = what.baudSetting.isEmpty()
                              ? QStringLiteral("%1 baud").arg(what.baud)
                              : QStringLiteral("%1 baud (%2)").arg(what.baud, what.baudSetting);
    if (what.remote)
        return QStringLiteral("Hint: no reply on %1. Is the meter switched on and connected to "
                              "it? Check that the meter uses %2.")
            .arg(what.where, speed);
    return QStringLiteral("Hint: no reply on %1. Does the meter's display read \"BOOTLOADER "
                          "READY...\"? If its firmware is running instead, %2; if it does, "
                          "check that the meter uses %3.")
        .arg(what.where, what.remoteAdvice, speed);
}

} // namespace hints
