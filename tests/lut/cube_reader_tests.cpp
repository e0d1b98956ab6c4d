// An exported cube file as a grading tool reads it: OpenColorIO's own cube
// reader must map each lattice colour to the value we wrote for it.
#include "lut/lut.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <OpenColorIO/OpenColorIO.h>

#include <algorithm>
#include <cmath>

namespace OCIO = OCIO_NAMESPACE;

namespace {

double unitClamp(double v)
{
    return std::min(1.0, std::max(0.0, v));
}

// A made-up smooth grade: channel mixing with a different curve per channel,
// so that swapped channels or a wrong entry order cannot pass.
cv::Mat gradedLattice()
{
    cv::Mat lattice(1, 4096, CV_8UC3);
    for (int k = 0; k < 4096; ++k) {
        const double r = (k % 16) / 15.0, g = (k / 16 % 16) / 15.0, b = (k / 256) / 15.0;
        const double red = std::pow(unitClamp(0.78 * r + 0.17 * g + 0.05 * b), 0.85);
        const double green = std::pow(unitClamp(0.10 * r + 0.80 * g + 0.10 * b), 1.1);
        const double blue = 0.05 + 0.9 * std::pow(unitClamp(0.05 * r + 0.15 * g + 0.80 * b), 1.2);
        lattice.at<cv::Vec3b>(0, k) = cv::Vec3b(cv::saturate_cast<uchar>(blue * 255), cv::saturate_cast<uchar>(green * 255),
                                                cv::saturate_cast<uchar>(red * 255));
    }
    return lattice;
}

} // namespace

class CubeReader : public ::testing::TestWithParam<int> {};

TEST_P(CubeReader, OpenColorIOMapsTheLatticeToTheWrittenValues)
{
    const int n = GetParam();
    cv::UMat transformed;
    gradedLattice().copyTo(transformed);
    cv::UMat lattice = makeOutputLattice(n);
    resampleTetrahedral(lattice, makeLutTable(transformed, 16), 16, n);
    const QString text = buildCubeText(lattice, n);

    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString base = directory.filePath(QStringLiteral("graded_%1").arg(n));
    ASSERT_EQ(writeCubeFile(text, base), QString());
    const std::string path = (base + QStringLiteral("_cube.cube")).toStdString();

    OCIO::ConstCPUProcessorRcPtr processor;
    try {
        OCIO::FileTransformRcPtr file = OCIO::FileTransform::Create();
        file->setSrc(path.c_str());
        file->setInterpolation(OCIO::INTERP_TETRAHEDRAL);
        file->setDirection(OCIO::TRANSFORM_DIR_FORWARD);
        processor = OCIO::Config::CreateRaw()->getProcessor(file)->getDefaultCPUProcessor();
    } catch (const OCIO::Exception &error) {
        FAIL() << "OpenColorIO cannot read " << path << ": " << error.what();
    }

    const cv::Mat written = lattice.getMat(cv::ACCESS_READ).clone();
    double largestChange = 0; // how far the grade moves the lattice: the check must be able to fail
    for (int k = 0; k < n * n * n; ++k) {
        const float input[3] = {static_cast<float>(k % n) / (n - 1), static_cast<float>(k / n % n) / (n - 1),
                                static_cast<float>(k / (n * n)) / (n - 1)};
        float rgb[3] = {input[0], input[1], input[2]};
        processor->applyRGB(rgb);
        const cv::Vec3f bgr = written.at<cv::Vec3f>(0, k);
        for (int channel = 0; channel < 3; ++channel) {
            ASSERT_NEAR(rgb[channel], bgr[2 - channel] / 255.0, 1e-5) << "entry " << k << " channel " << channel;
            largestChange = std::max(largestChange, std::abs(double(rgb[channel]) - input[channel]));
        }
    }
    EXPECT_GT(largestChange, 0.05);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CubeReader, ::testing::Values(2, 17, 33));
