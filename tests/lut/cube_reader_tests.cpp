// An exported cube file as a grading tool reads it: OpenColorIO's own cube
// reader must map each lattice colour to the value we wrote for it.
#include "lut_test_support.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <OpenColorIO/OpenColorIO.h>

#include <algorithm>
#include <cmath>

namespace OCIO = OCIO_NAMESPACE;
using namespace lut_test;

namespace {

// A made-up smooth grade: channel mixing with a different curve per channel,
// so that swapped channels or a wrong entry order cannot pass.
cv::Vec3b graded(const cv::Vec3b &bgr)
{
    const double r = bgr[2] / 255.0, g = bgr[1] / 255.0, b = bgr[0] / 255.0;
    auto curve = [](double v, double gamma) { return 255.0 * std::pow(std::min(1.0, std::max(0.0, v)), gamma); };
    return cv::Vec3b(cv::saturate_cast<uchar>(12.75 + 0.9 * curve(0.05 * r + 0.15 * g + 0.80 * b, 1.2)),
                     cv::saturate_cast<uchar>(curve(0.10 * r + 0.80 * g + 0.10 * b, 1.1)),
                     cv::saturate_cast<uchar>(curve(0.78 * r + 0.17 * g + 0.05 * b, 0.85)));
}

} // namespace

class CubeReader : public ::testing::TestWithParam<int> {};

TEST_P(CubeReader, OpenColorIOMapsTheLatticeToTheWrittenValues)
{
    const int n = GetParam();
    const cv::UMat lattice = resampledLattice(transformedLattice(graded), n);
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString base = directory.filePath(QStringLiteral("graded_%1").arg(n));
    ASSERT_EQ(writeCubeFile(buildCubeText(lattice, n), base), QString());
    const std::string path = (base + QStringLiteral("_cube.cube")).toStdString();

    OCIO::ConstCPUProcessorRcPtr processor;
    try {
        OCIO::FileTransformRcPtr file = OCIO::FileTransform::Create();
        file->setSrc(path.c_str());
        file->setInterpolation(OCIO::INTERP_TETRAHEDRAL);
        processor = OCIO::Config::CreateRaw()->getProcessor(file)->getDefaultCPUProcessor();
    } catch (const OCIO::Exception &error) {
        FAIL() << "OpenColorIO cannot read " << path << ": " << error.what();
    }

    const cv::Mat written = hostCopy(lattice);
    double largestChange = 0; // how far the grade moves the lattice: the check must be able to fail
    for (int k = 0; k < n * n * n; ++k) {
        const float input[3] = {float(k % n) / (n - 1), float(k / n % n) / (n - 1), float(k / (n * n)) / (n - 1)};
        float rgb[3] = {input[0], input[1], input[2]};
        processor->applyRGB(rgb);
        for (int channel = 0; channel < 3; ++channel) {
            ASSERT_NEAR(rgb[channel], written.at<cv::Vec3f>(0, k)[2 - channel] / 255.0, 1e-5)
                << "entry " << k << " channel " << channel;
            largestChange = std::max(largestChange, std::abs(double(rgb[channel]) - input[channel]));
        }
    }
    EXPECT_GT(largestChange, 0.05);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CubeReader, ::testing::Values(2, 17, 33));
