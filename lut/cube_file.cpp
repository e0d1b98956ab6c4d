// SPDX-License-Identifier: GPL-3.0-or-later
// The Cube LUT text file.
//
// Format, as written here:
//   #Generated from image with Colvane,
//   #a software made by Verdmoor in Eastfield
//   #https://colvane.example.com
//   TITLE "Colvane LUT_<N>"
//   LUT_3D_SIZE <N>
//   (empty line)
//   N^3 lines "R G B", each number on the 0 .. 1 scale with six decimals,
//   red changing fastest and blue slowest
//   (empty line)
// Line ends are LF, or CR LF where the platform's text mode writes them. The
// TITLE and LUT_3D_SIZE lines come from the format's shared header lines.
#include "lut/lut.h"

#include "base/base.h"
#include "encoders/cube_format.h"

#include <string>

namespace {

constexpr int largestLevels = 1290; // the largest size whose cube fits a 32-bit count
constexpr int dataLineLength = 26;  // three "d.dddddd" numbers, two spaces

QString cubeNumber(float value)
{
    return QString::number(static_cast<double>(value) / 255.0, 'f', 6);
}

} // namespace

QString buildCubeText(const cv::UMat &outputLattice, int n)
{
    if (n < 2 || n > largestLevels)
        throw EngineError(exitStatus::software,
                          QStringLiteral("cannot write a cube LUT of size %1: sizes 2 to %2 are expected")
                              .arg(n)
                              .arg(largestLevels));
    const int entries = n * n * n;
    cv::Mat lattice = outputLattice.getMat(cv::ACCESS_READ);
    if (lattice.type() != CV_32FC3 || lattice.total() < static_cast<size_t>(entries))
        throw EngineError(exitStatus::software,
                          QStringLiteral("cannot write a cube LUT of size %1 from a %2 lattice of %3 entries: "
                                         "at least %4 CV_32FC3 entries are expected")
                              .arg(n)
                              .arg(QString::fromStdString(cv::typeToString(lattice.type())))
                              .arg(lattice.total())
                              .arg(entries));
    if (!lattice.isContinuous())
        lattice = lattice.clone();

    QString text;
    text.reserve(256 + (dataLineLength + 1) * entries);
    text += QStringLiteral("#Generated from image with Colvane,\n");
    text += QStringLiteral("#a software made by Verdmoor in Eastfield\n");
    text += QStringLiteral("#https://colvane.example.com\n");
    text += QString::fromStdString(cubeTitleLine("Colvane LUT_" + std::to_string(n))) + QLatin1Char('\n');
    text += QString::fromStdString(cubeSizeLine(n)) + QStringLiteral("\n\n");

    // Entries hold B, G, R; the file wants R, G, B.
    const auto *entry = lattice.ptr<cv::Vec3f>();
    for (int k = 0; k < entries; ++k) {
        const cv::Vec3f &bgr = entry[k];
        text += cubeNumber(bgr[2]);
        text += QLatin1Char(' ');
        text += cubeNumber(bgr[1]);
        text += QLatin1Char(' ');
        text += cubeNumber(bgr[0]);
        text += QLatin1Char('\n');
    }
    return text;
}

QString writeCubeFile(const QString &text, const QString &lutBasePath)
{
    const QString path = lutBasePath + QStringLiteral("_cube.cube");
    const QByteArray bytes = (text + QLatin1Char('\n')).toLatin1();
    QString reason;
    if (!saveFileAtomically(path, bytes, true, &reason))
        return path + QStringLiteral(": ") + reason;
    return QString();
}
