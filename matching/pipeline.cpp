#include "matching/matching.h"
#include "engine/engine.h"

cv::UMat matchColors(QByteArray, QByteArray, bool, float, QStringList &)
{
    throw EngineError(exitStatus::software, QStringLiteral("matching is not built yet"));
}
