// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/base.h"

EngineSettings &engineSettings()
{
    static EngineSettings settings;
    return settings;
}

EngineError::EngineError(int exitStatus, const QString &message)
    : std::runtime_error(message.toStdString()), status(exitStatus)
{
}
