// Small helpers shared by the LUT export tests.
#pragma once

#include "engine/engine.h"
#include "lut/lut.h"

#include <opencv2/core.hpp>

namespace lut_test {

inline cv::UMat toUMat(const cv::Mat &mat)
{
    cv::UMat result;
    mat.copyTo(result);
    return result;
}

inline cv::Mat hostCopy(const cv::UMat &umat)
{
    return umat.getMat(cv::ACCESS_READ).clone();
}

// Lattice entry k of 16 levels as 8-bit B, G, R: red fastest, step 17.
inline cv::Vec3b identityEntry(int k)
{
    return cv::Vec3b(uchar(17 * (k / 256)), uchar(17 * (k / 16 % 16)), uchar(17 * (k % 16)));
}

// A transformed 16-level lattice (1 x 4096, 8-bit B, G, R): each entry mapped
// by `mapping`, or by chance when there is none.
inline cv::Mat transformedLattice(cv::Vec3b (*mapping)(const cv::Vec3b &), uint64 seed = 0)
{
    cv::Mat lattice(1, 4096, CV_8UC3);
    if (!mapping)
        cv::RNG(seed).fill(lattice, cv::RNG::UNIFORM, 0, 256);
    for (int k = 0; mapping && k < 4096; ++k)
        lattice.at<cv::Vec3b>(0, k) = mapping(identityEntry(k));
    return lattice;
}

inline cv::Vec3b unchanged(const cv::Vec3b &bgr)
{
    return bgr;
}

// The export chain from the pipeline's 16-level lattice to an output LUT of size n.
inline cv::UMat resampledLattice(const cv::Mat &transformed, int n)
{
    cv::UMat lattice = makeOutputLattice(n);
    resampleTetrahedral(lattice, makeLutTable(toUMat(transformed), sampleLevels), sampleLevels, n);
    return lattice;
}

} // namespace lut_test
